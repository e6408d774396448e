// Reads a book file back and checks every rule of the format (used by `folioforge inspect`).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace folio {

struct BookPageInfo {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t width = 0, height = 0;
    int components = 0;  // 1 gray, 3 colour
    std::string problem; // why this page is not sound; empty when it is
};

struct BookInfo {
    std::string title, author; // raw code page 936 bytes, up to the first zero
    std::uint16_t slotCount = 0;
    std::uint32_t pageCount = 0;
    std::vector<BookPageInfo> pages;
    std::string violation; // the first broken rule; empty when the book is sound
    bool sound() const { return violation.empty(); }
};

BookInfo checkBook(std::span<const std::uint8_t> file);

// The page table of a book header (its first 4216 bytes): each page's offset and size, as
// the header gives them. False with a reason when the header is not a book's.
bool readPageTable(std::span<const std::uint8_t> header, std::vector<BookPageInfo>& pages,
                   std::string& why);

// Walks the markers of one JPEG stream: SOI first, EOI exactly at the end, a frame header
// before the scan. Fills size and components; false with a reason otherwise.
bool checkJpegStream(std::span<const std::uint8_t> jpeg, BookPageInfo& info, std::string& why);

} // namespace folio
