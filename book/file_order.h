// Ordering of file names as a person reads them, and the image files of a folder.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace folio {

// "page2" before "page10": runs of digits compare by value, letters without regard to case;
// names equal that way fall back to plain byte order so the order is total.
bool naturalLess(std::string_view a, std::string_view b);

// The files directly in dir whose names give an image type, in natural order of their names
// (hidden files left out). Empty when dir cannot be read.
std::vector<std::string> imageFilesIn(const std::string& dir);

} // namespace folio
