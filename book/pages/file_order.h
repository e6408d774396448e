// The image files of a folder, and what a list of paths given by the user stands for.
#pragma once

#include "book/base/report.h"

#include <string>
#include <string_view>
#include <vector>

namespace folio {

// The files directly in dir whose names give an image type, in natural order of their names
// (hidden files left out). Empty when dir cannot be read.
std::vector<std::string> imageFilesIn(const std::string& dir);

// What a list of paths given by the user stands for.
struct Expansion {
    std::vector<std::string> pages;  // in the order given
    std::vector<SkippedRow> leftOut; // row -1: items that stand for no page, with the reason
};

// The one expansion of the command line, drops and `make`: every path keeps its place; a folder
// stands for its image files in natural order, an archive or book for its pages in natural
// member order, any other path for itself (whether it is a usable page is for the caller's
// load to tell). A folder that cannot be read or holds no image file is left out, and so is
// what a container's listing leaves out.
Expansion expandPaths(const std::vector<std::string>& paths);

} // namespace folio
