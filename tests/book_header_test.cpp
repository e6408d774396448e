#include "book/format/book_header.h"
#include "book/base/text_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace folio {
namespace {

std::uint32_t u32At(const BookHeader& h, std::size_t off) {
    const auto& b = h.serialize();
    return std::uint32_t{b[off]} | std::uint32_t{b[off + 1]} << 8 |
           std::uint32_t{b[off + 2]} << 16 | std::uint32_t{b[off + 3]} << 24;
}

TEST(BookHeaderLayout, EmptyHeaderBytes) {
    BookHeader h;
    const auto& b = h.serialize();
    ASSERT_EQ(b.size(), 4216u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "QFBS");
    EXPECT_EQ(b[4], 0xE8);
    EXPECT_EQ(b[5], 0x03);
    for (std::size_t i = 6; i < b.size(); ++i)
        ASSERT_EQ(b[i], 0) << "byte " << i;
    EXPECT_EQ(h.pageCount(), 0u);
}

struct TextCase {
    std::size_t titleLen, authorLen;
};

class TextFields : public ::testing::TestWithParam<TextCase> {};

// Lengths around the 100-byte field: a shorter text is zero-padded, a longer one cut, and a
// full field never spills into its neighbour.
TEST_P(TextFields, StoredByByteRule) {
    const auto [tl, al] = GetParam();
    const std::string title(tl, 't'), author(al, 'a');
    BookHeader h;
    h.setTitle(title);
    h.setAuthor(author);
    const auto& b = h.serialize();
    for (std::size_t i = 0; i < 100; ++i) {
        EXPECT_EQ(b[6 + i], i < tl ? 't' : 0) << "title byte " << i;
        EXPECT_EQ(b[106 + i], i < al ? 'a' : 0) << "author byte " << i;
    }
    EXPECT_EQ(b[206], 0);
    for (std::size_t i = 207; i < 216; ++i)
        EXPECT_EQ(b[i], 0);
}

INSTANTIATE_TEST_SUITE_P(Lengths, TextFields,
                         ::testing::Values(TextCase{0, 0}, TextCase{3, 3}, TextCase{99, 1},
                                           TextCase{100, 0}, TextCase{100, 100}, TextCase{120, 100},
                                           TextCase{150, 150}));

TEST(BookHeaderText, SettingOneFieldLeavesTheOtherAlone) {
    BookHeader h;
    h.setAuthor("writer");
    h.setTitle(std::string(150, 'x'));
    h.setTitle("abc");
    const auto& b = h.serialize();
    EXPECT_EQ(std::string(b.begin() + 6, b.begin() + 9), "abc");
    for (std::size_t i = 9; i < 106; ++i)
        EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(std::string(b.begin() + 106, b.begin() + 112), "writer");
}

TEST(BookHeaderText, CutNeverSplitsADoubleByteCharacter) {
    // 99 ASCII bytes then a two-byte character: the cut falls before it.
    const std::string zhong = utf8ToCp936("中");
    ASSERT_EQ(zhong.size(), 2u);
    BookHeader h;
    h.setTitle(std::string(99, 'x') + zhong + "tail");
    const auto& b = h.serialize();
    EXPECT_EQ(b[6 + 98], 'x');
    EXPECT_EQ(b[6 + 99], 0);
    // 50 double-byte characters fill the field exactly.
    std::string fifty;
    for (int i = 0; i < 51; ++i)
        fifty += zhong;
    h.setAuthor(fifty);
    EXPECT_EQ(static_cast<std::uint8_t>(h.serialize()[106 + 99]),
              static_cast<std::uint8_t>(zhong[1]));
    EXPECT_EQ(h.serialize()[206], 0);
}

TEST(BookHeaderText, CutLengthTable) {
    const std::string d = "\xD6\xD0"; // a two-byte GBK character
    EXPECT_EQ(cp936CutLength("abc", 100), 3u);
    EXPECT_EQ(cp936CutLength(std::string(100, 'a'), 100), 100u);
    EXPECT_EQ(cp936CutLength(std::string(101, 'a'), 100), 100u);
    EXPECT_EQ(cp936CutLength(std::string(99, 'a') + d, 100), 99u);
    EXPECT_EQ(cp936CutLength(std::string(98, 'a') + d + "z", 100), 100u);
    // A trail byte in the ASCII range (0x40-0x7E) still belongs to its lead byte.
    EXPECT_EQ(cp936CutLength(std::string(99, 'a') + "\x81\x40", 100), 99u);
}

TEST(BookHeaderPages, ThreePagesAndTheSlotBound) {
    BookHeader h;
    EXPECT_TRUE(h.addPageSize(1000));
    EXPECT_TRUE(h.addPageSize(2000));
    EXPECT_TRUE(h.addPageSize(500));
    EXPECT_FALSE(h.addPageSize(0));
    EXPECT_EQ(u32At(h, 212), 3u);
    EXPECT_EQ(u32At(h, 216), 1000u);
    EXPECT_EQ(u32At(h, 220), 2000u);
    EXPECT_EQ(u32At(h, 224), 500u);
    for (std::size_t off = 228; off < 4216; off += 4)
        ASSERT_EQ(u32At(h, off), 0u) << off;

    BookHeader full;
    for (std::uint32_t i = 1; i <= 1000; ++i)
        ASSERT_TRUE(full.addPageSize(i));
    EXPECT_FALSE(full.addPageSize(7));
    EXPECT_EQ(full.pageCount(), 1000u);
    EXPECT_EQ(u32At(full, 212), 1000u);
    EXPECT_EQ(u32At(full, 4212), 1000u);
    EXPECT_EQ(full.serialize()[4], 0xE8);
    EXPECT_EQ(full.serialize()[5], 0x03);
}

TEST(TextEncoding, Cp936RoundTripAndReplacement) {
    EXPECT_EQ(utf8ToCp936("abc"), "abc");
    EXPECT_EQ(utf8ToCp936("中文"), "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(cp936ToUtf8("\xD6\xD0\xCE\xC4"), "中文");
    // Characters GBK cannot hold, and malformed UTF-8, become '?'.
    EXPECT_EQ(utf8ToCp936("a\xF0\x9F\x98\x80z"), "a?z");
    EXPECT_EQ(utf8ToCp936("a\xFFz"), "a?z");
    EXPECT_EQ(utf8ToCp936("a\xE4\xB8"), "a?");
}

} // namespace
} // namespace folio
