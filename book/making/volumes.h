// A book with more pages than one file may hold becomes volumes: where it is cut, what the
// files are called and what their titles say.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace folio {

// The first page of every volume after the first, for `pages` pages at most `limit` a volume
// (empty when one book holds them all). As many volumes as needed, ceil(pages / limit), as even
// as can be: the break after volume k lies near k * pages / n, and moves to the nearest page
// that starts a source (startsSource[i]) within a tenth of a volume of it, never letting a
// volume pass the limit.
std::vector<std::size_t> volumeBreaks(std::size_t pages, std::size_t limit,
                                      const std::vector<bool>& startsSource);

// "STEM-1.QFB" ... for the book file "STEM.QFB" (its extension kept as given), the number
// zero-padded to the digits of the count: "-01" ... "-12" for twelve volumes.
std::string volumeFileName(const std::string& bookFile, std::size_t volume, std::size_t count);

// The title stored for volume k of n, as code page 936 bytes: the book's title cut (never
// inside a character) so that " (k/n)" fits whole within the header's 100 bytes.
std::string volumeTitleCp936(const std::string& titleCp936, std::size_t volume, std::size_t count);

} // namespace folio
