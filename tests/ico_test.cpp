// The ICO decoder: which entry it picks, PNG entries, refusals and the shared corpus.
#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"
#include "tests/dib_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace folio {
namespace {

using Buf = std::vector<std::uint8_t>;
using namespace test;

bool loadIco(const Buf& b, Image& img, std::string& err) {
    return codecs::decodeIco(b, img, err);
}

void expectFilled(const Image& img, std::uint32_t w, std::uint32_t h, std::uint16_t bpp, Rgb fill) {
    ASSERT_EQ(img.GetWidth(), w);
    ASSERT_EQ(img.GetHeight(), h);
    EXPECT_EQ(img.GetBpp(), bpp);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            ASSERT_EQ(img.PixelColor(x, y), fill) << x << "," << y;
}

TEST(IcoPick, LargestThenDeepestWhateverTheOrder) {
    auto entries = fiveEntries();
    std::vector<int> order(entries.size());
    std::iota(order.begin(), order.end(), 0);
    int tried = 0;
    do {
        std::vector<IcoEntry> shuffled;
        for (int i : order)
            shuffled.push_back(entries[static_cast<std::size_t>(i)]);
        Image img;
        std::string err;
        ASSERT_TRUE(loadIco(icoFile(shuffled), img, err)) << err;
        expectFilled(img, 32, 32, 24, kC);
        ++tried;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(tried, 120);
}

TEST(IcoPick, PaletteDepthFollowsTheChosenImage) {
    const std::pair<std::uint16_t, std::uint16_t> table[] = {{1, 1}, {4, 4}, {8, 8}, {24, 24}};
    for (const auto& [depth, stored] : table) {
        Image img;
        std::string err;
        ASSERT_TRUE(loadIco(
            icoFile({{8, 8, depth, iconDib(8, 8, depth, kE)}, {4, 4, 32, iconDib(4, 4, 32, kA)}}),
            img, err))
            << err;
        expectFilled(img, 8, 8, stored, kE);
    }
}

TEST(IcoPick, SizesComeFromTheEntryNotTheDirectory) {
    // The directory calls the 48x48 image 16x16 and the 32x32 one 255x255.
    Image img;
    std::string err;
    ASSERT_TRUE(loadIco(
        icoFile({{255, 255, 32, iconDib(32, 32, 32, kA)}, {16, 16, 8, iconDib(48, 48, 8, kB)}}),
        img, err))
        << err;
    expectFilled(img, 48, 48, 8, kB);
}

TEST(IcoPick, FallsBackWhenTheBestEntryIsBroken) {
    auto entries = fiveEntries();
    ByteWriter(entries[2].data).setU16le(12, 2); // planes of the 32x32x32 entry
    Image img;
    std::string err;
    ASSERT_TRUE(loadIco(icoFile(entries), img, err)) << err;
    expectFilled(img, 32, 32, 24, kD);
    for (auto& e : entries)
        ByteWriter(e.data).setU16le(12, 2);
    EXPECT_FALSE(loadIco(icoFile(entries), img, err));
    EXPECT_FALSE(err.empty());
}

TEST(IcoPick, CursorsToo) {
    Image img;
    std::string err;
    ASSERT_TRUE(loadIco(icoFile({{16, 16, 0, iconDib(16, 16, 4, kB)}}, 2), img, err)) << err;
    expectFilled(img, 16, 16, 4, kB);
}

TEST(IcoMask, MissingOrShortMaskAcceptedShortColourDataNot) {
    const Buf full = iconDib(5, 4, 24, kD);
    const std::size_t colourEnd = 40 + 16 * 4; // header, 4 rows of 15 bytes padded to 16
    ASSERT_EQ(full.size(), colourEnd + 4 * 4);
    for (std::size_t n = 0; n <= full.size(); ++n) {
        const Buf cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        Image img;
        std::string err;
        const bool ok = codecs::decodeIconDib(cut, img, err);
        // The last colour row may lack its padding byte.
        EXPECT_EQ(ok, n + 1 >= colourEnd) << n;
        if (ok) expectFilled(img, 5, 4, 24, kD);
    }
}

struct BadIco {
    const char* name;
    std::function<void(Buf&)> spoil;
};
void PrintTo(const BadIco& c, std::ostream* os) {
    *os << c.name;
}

class IcoRefuses : public ::testing::TestWithParam<BadIco> {};

TEST_P(IcoRefuses, FailsWithAReason) {
    Buf b = icoFile({{8, 8, 8, iconDib(8, 8, 8, kA)}, {4, 4, 8, iconDib(4, 4, 8, kB)}});
    GetParam().spoil(b);
    Image img;
    std::string err;
    EXPECT_FALSE(loadIco(b, img, err));
    EXPECT_FALSE(err.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Ico, IcoRefuses,
    ::testing::Values(
        BadIco{"ReservedSet", [](Buf& b) { b[0] = 1; }},
        BadIco{"TypeZero", [](Buf& b) { ByteWriter(b).setU16le(2, 0); }},
        BadIco{"TypeThree", [](Buf& b) { ByteWriter(b).setU16le(2, 3); }},
        BadIco{"NoEntries", [](Buf& b) { ByteWriter(b).setU16le(4, 0); }},
        BadIco{"DirectoryLongerThanFile", [](Buf& b) { ByteWriter(b).setU16le(4, 0xFFFF); }},
        BadIco{"OffsetPastEnd", [](Buf& b) { ByteWriter(b).setU32le(6 + 16 + 12, 0x7FFFFFFF); }},
        BadIco{"SizePastEnd", [](Buf& b) { ByteWriter(b).setU32le(6 + 8, 0x10000); }},
        BadIco{"OffsetPlusSizeWraps",
               [](Buf& b) {
                   ByteWriter(b).setU32le(6 + 8, 0x20);
                   ByteWriter(b).setU32le(6 + 12, 0xFFFFFFF0);
               }},
        BadIco{"EmptyEntry", [](Buf& b) { ByteWriter(b).setU32le(6 + 8, 0); }},
        BadIco{"NotAnIcon", [](Buf& b) { b[0] = 'B', b[1] = 'M'; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IcoRefuses, BombEntryRefusedBeforeAllocating) {
    Buf dib = iconDib(4, 4, 1, kA);
    ByteWriter(dib).setU32le(4, 100000);
    ByteWriter(dib).setU32le(8, 200000);
    Image img;
    std::string err;
    EXPECT_FALSE(loadIco(icoFile({{16, 16, 1, dib}}), img, err));
    EXPECT_EQ(err, "image too large");
}

TEST(IcoPng, PngEntryDecodedAndPreferredWhenLargest) {
    auto px = [](std::uint32_t x, std::uint32_t y) {
        return test::Color{static_cast<std::uint8_t>(40 * x), static_cast<std::uint8_t>(100 * y),
                           77};
    };
    const Buf png = test::png24(3, 3, px);
    {
        Image probe;
        std::string err;
        if (!codecs::decodePng(png, probe, err) && err == "not implemented")
            GTEST_SKIP() << "the PNG decoder has not landed yet";
    }
    Image img;
    std::string err;
    ASSERT_TRUE(loadIco(icoFile({{2, 2, 32, iconDib(2, 2, 32, kA)}, {3, 3, 0, png}}), img, err))
        << err;
    ASSERT_EQ(img.GetWidth(), 3u);
    ASSERT_EQ(img.GetHeight(), 3u);
    EXPECT_EQ(img.GetBpp(), 24);
    for (std::uint32_t y = 0; y < 3; ++y)
        for (std::uint32_t x = 0; x < 3; ++x) {
            const test::Color c = px(x, y);
            EXPECT_EQ(img.PixelColor(x, y), (Rgb{c.r, c.g, c.b}));
        }
}

// ---------------------------------------------------------------------------------------------
// Corpus

// The expected entry is worked out from the directory bytes: largest area, then depth.
TEST(IcoCorpus, KnownFilesPickTheLargestDeepestEntry) {
    FOLIO_REQUIRE_CORPUS();
    const char* names[] = {"irs_multiple_entries_with_different_bit_depth.ico",
                           "irs_truncated_mask_32bpp.ico",
                           "pil_hopper_256x256.ico",
                           "pil_python.ico",
                           "irs_smile.ico",
                           "pil_black_and_white.ico",
                           "pil_hopper.ico",
                           "irs_bmp-24bpp-mask.ico"};
    for (const char* name : names) {
        const Buf b = test::corpusBytes("ico", name);
        std::uint32_t bestW = 0, bestH = 0, bestDepth = 0;
        for (std::size_t i = 0; i < le16(b, 4); ++i) {
            const std::size_t e = 6 + 16 * i;
            const std::uint32_t w = b[e] ? b[e] : 256, h = b[e + 1] ? b[e + 1] : 256;
            // Some writers leave the directory depth 0; the DIB header has it.
            const std::uint32_t depth = le16(b, le32(b, e + 12) + 14);
            if (w * h > bestW * bestH || (w * h == bestW * bestH && depth > bestDepth))
                bestW = w, bestH = h, bestDepth = depth;
        }
        Image img;
        std::string err;
        ASSERT_TRUE(loadIco(b, img, err)) << name << ": " << err;
        EXPECT_EQ(img.GetWidth(), bestW) << name;
        EXPECT_EQ(img.GetHeight(), bestH) << name;
        EXPECT_EQ(img.GetBpp(), documentedStoredDepth(bestDepth)) << name;
    }
    Image img;
    std::string err;
    EXPECT_FALSE(loadIco(test::corpusBytes("ico", "pil_decompression_bomb.ico"), img, err));
    // Its 256x256 entry (width byte 0) is an RGBA PNG, the others are DIBs of 48 and less.
    ASSERT_TRUE(loadIco(test::corpusBytes("ico", "pil_pillow.ico"), img, err)) << err;
    EXPECT_EQ(img.GetWidth(), 256u);
    EXPECT_EQ(img.GetHeight(), 256u);
    EXPECT_EQ(img.GetBpp(), 24);
}

} // namespace
} // namespace folio
