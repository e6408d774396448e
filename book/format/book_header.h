// The fixed 4216-byte header of a book file, built in memory and written twice.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace folio {

class BookHeader {
  public:
    static constexpr std::size_t kSize = 4216;
    static constexpr std::uint16_t kSlotCount = 1000;
    static constexpr std::size_t kTextBytes = 100;
    static constexpr std::size_t kTitleOffset = 6;
    static constexpr std::size_t kAuthorOffset = 106;
    static constexpr std::size_t kPageCountOffset = 212;
    static constexpr std::size_t kPageSizesOffset = 216;

    BookHeader();

    // Stores code page 936 bytes, cut to 100 bytes but never inside a double-byte character.
    void setTitle(std::string_view text) { setText(kTitleOffset, text); }
    void setAuthor(std::string_view text) { setText(kAuthorOffset, text); }
    // False (nothing stored) when the table is full or size is 0.
    bool addPageSize(std::uint32_t size);

    std::uint32_t pageCount() const { return pageCount_; }
    bool full() const { return pageCount_ >= kSlotCount; }
    const std::array<std::uint8_t, kSize>& serialize() const { return bytes_; }

  private:
    void setText(std::size_t offset, std::string_view text);
    void putU32(std::size_t offset, std::uint32_t v);

    std::array<std::uint8_t, kSize> bytes_{};
    std::uint32_t pageCount_ = 0;
};

// Length of the longest prefix of at most limit bytes that does not split a double-byte
// code page 936 character.
std::size_t cp936CutLength(std::string_view text, std::size_t limit);

} // namespace folio
