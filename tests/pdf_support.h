// PDFs for the tests and the fuzz seeds, written with cairo's PDF surface, and one the
// standard security handler locks, written by hand (cairo cannot encrypt).
#pragma once

#include "test_support.h"

#include <cstdint>
#include <string>
#include <vector>

namespace folio::test {

struct PdfPage {
    double width = 0, height = 0; // points
    // A "scan": scanWidth x scanHeight pixels of `pixel`, painted over the whole page.
    std::uint32_t scanWidth = 0, scanHeight = 0;
    Color (*pixel)(std::uint32_t x, std::uint32_t y) = nullptr;
    std::vector<std::string> lines; // text, from the top, with a frame drawn round it
};

// title and author go into the document information when not empty.
std::vector<std::uint8_t> pdfBytes(const std::vector<PdfPage>& pages, const std::string& title = {},
                                   const std::string& author = {});

// One page, locked by a user password: poppler opens it only as locked.
std::vector<std::uint8_t> lockedPdf();

} // namespace folio::test
