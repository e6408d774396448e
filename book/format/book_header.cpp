#include "book/format/book_header.h"

#include <algorithm>

namespace folio {

BookHeader::BookHeader() {
    bytes_[0] = 'Q';
    bytes_[1] = 'F';
    bytes_[2] = 'B';
    bytes_[3] = 'S';
    bytes_[4] = static_cast<std::uint8_t>(kSlotCount & 0xFF);
    bytes_[5] = static_cast<std::uint8_t>(kSlotCount >> 8);
}

void BookHeader::putU32(std::size_t offset, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        bytes_[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void BookHeader::setText(std::size_t offset, std::string_view text) {
    const std::size_t n = cp936CutLength(text, kTextBytes);
    std::fill_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), kTextBytes, 0);
    std::copy_n(text.begin(), n, bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
}

bool BookHeader::addPageSize(std::uint32_t size) {
    if (full() || size == 0) return false;
    putU32(kPageSizesOffset + 4 * std::size_t{pageCount_}, size);
    ++pageCount_;
    putU32(kPageCountOffset, pageCount_);
    return true;
}

std::size_t cp936CutLength(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return text.size();
    // Walk characters from the start: a lead byte 0x81-0xFE opens a two-byte character.
    std::size_t i = 0;
    while (i < limit) {
        const auto b = static_cast<std::uint8_t>(text[i]);
        const std::size_t len = (b >= 0x81 && b <= 0xFE) ? 2 : 1;
        if (i + len > limit) break;
        i += len;
    }
    return i;
}

} // namespace folio
