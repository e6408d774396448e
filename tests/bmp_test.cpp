// The BMP decoder: files written field by field (every header, depth, mask and RLE kind),
// refusals, damaged files and the shared corpus.
#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"
#include "tests/dib_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace folio {
namespace {

using Buf = std::vector<std::uint8_t>;
using namespace test;

bool loadBmp(const Buf& b, Image& img, std::string& err) {
    return codecs::decodeBmp(b, img, err);
}

// ---------------------------------------------------------------------------------------------
// Palette images

struct PaletteCase {
    unsigned bpp;
    std::uint16_t stored;
    bool topDown;
};
void PrintTo(const PaletteCase& c, std::ostream* os) {
    *os << c.bpp << "-bit" << (c.topDown ? " top-down" : "");
}

class BmpPalette : public ::testing::TestWithParam<PaletteCase> {};

TEST_P(BmpPalette, SizeDepthAndEveryPixel) {
    const auto& c = GetParam();
    const std::uint32_t w = 7, h = 3, n = 1u << c.bpp;
    auto index = [n](std::uint32_t x, std::uint32_t y) { return (x * 3 + y * 5 + 1) % n; };
    Dib d;
    d.width = w;
    d.height = c.topDown ? -static_cast<std::int32_t>(h) : static_cast<std::int32_t>(h);
    d.bpp = static_cast<std::uint16_t>(c.bpp);
    d.palette = colours(n);
    d.xppm = 3937; // 100 dpi
    d.yppm = 2835; // 72 dpi
    d.pixels = packRows(w, h, c.bpp, c.topDown, index);
    Image img;
    std::string err;
    ASSERT_TRUE(loadBmp(bmpFile(d), img, err)) << err;
    EXPECT_EQ(img.GetWidth(), w);
    EXPECT_EQ(img.GetHeight(), h);
    EXPECT_EQ(img.GetBpp(), c.stored);
    EXPECT_EQ(img.GetPalette().size(), std::size_t{1} << c.stored);
    EXPECT_EQ(img.GetXDpi(), 100u);
    EXPECT_EQ(img.GetYDpi(), 72u);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            EXPECT_EQ(img.PixelColor(x, y), colour(index(x, y))) << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(Bmp, BmpPalette,
                         ::testing::Values(PaletteCase{1, 1, false}, PaletteCase{2, 4, false},
                                           PaletteCase{4, 4, false}, PaletteCase{8, 8, false},
                                           PaletteCase{1, 1, true}, PaletteCase{4, 4, true},
                                           PaletteCase{8, 8, true}));

// ---------------------------------------------------------------------------------------------
// 16- and 32-bit pixels: raw values and the colours they stand for.

struct FieldCase {
    const char* name;
    std::uint16_t bpp;
    std::uint32_t headerSize;
    std::uint32_t compression;
    std::vector<std::uint32_t> masks;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> samples; // raw -> 0xRRGGBB
};
void PrintTo(const FieldCase& c, std::ostream* os) {
    *os << c.name;
}

class BmpFields : public ::testing::TestWithParam<FieldCase> {};

TEST_P(BmpFields, ChannelsScaledToEightBits) {
    const auto& c = GetParam();
    const auto w = static_cast<std::uint32_t>(c.samples.size());
    // Row 0 left to right, row 1 reversed: catches row-order slips as well.
    auto at = [&](std::uint32_t x, std::uint32_t y) { return y == 0 ? x : w - 1 - x; };
    Dib d;
    d.headerSize = c.headerSize;
    d.width = static_cast<std::int32_t>(w);
    d.height = 2;
    d.bpp = c.bpp;
    d.compression = c.compression;
    d.masks = c.masks;
    d.pixels = packRows(w, 2, c.bpp, false, [&](std::uint32_t x, std::uint32_t y) {
        return c.samples[at(x, y)].first;
    });
    Image img;
    std::string err;
    ASSERT_TRUE(loadBmp(bmpFile(d), img, err)) << err;
    EXPECT_EQ(img.GetBpp(), 24);
    ASSERT_EQ(img.GetWidth(), w);
    ASSERT_EQ(img.GetHeight(), 2u);
    for (std::uint32_t y = 0; y < 2; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            EXPECT_EQ(img.PixelColor(x, y), rgb(c.samples[at(x, y)].second))
                << "raw " << std::hex << c.samples[at(x, y)].first;
}

INSTANTIATE_TEST_SUITE_P(
    Bmp, BmpFields,
    ::testing::Values(
        FieldCase{"Rgb555Default",
                  16,
                  40,
                  0,
                  {},
                  {{0x7FFF, 0xFFFFFF},
                   {0x7C00, 0xFF0000},
                   {0x03E0, 0x00FF00},
                   {0x001F, 0x0000FF},
                   {0x4210, 0x848484}, // 16 of 31 -> 132
                   {0x8000, 0x000000}}},
        FieldCase{"Rgb565Bitfields",
                  16,
                  40,
                  3,
                  {0xF800, 0x07E0, 0x001F},
                  {{0xF800, 0xFF0000},
                   {0x07E0, 0x00FF00},
                   {0x0400, 0x008200}, // 32 of 63 -> 130
                   {0x8410, 0x848284},
                   {0xFFFF, 0xFFFFFF}}},
        FieldCase{"Rgb565InV3Header",
                  16,
                  56,
                  3,
                  {0xF800, 0x07E0, 0x001F, 0},
                  {{0x001F, 0x0000FF}, {0x8410, 0x848284}}},
        FieldCase{"Argb4444AlphaBitfields",
                  16,
                  40,
                  6,
                  {0x0F00, 0x00F0, 0x000F, 0xF000},
                  {{0xF800, 0x880000}, {0x1234, 0x223344}, {0x0FFF, 0xFFFFFF}}},
        FieldCase{"Argb1555InV5Header",
                  16,
                  124,
                  3,
                  {0x7C00, 0x03E0, 0x001F, 0x8000},
                  {{0xFC00, 0xFF0000}, {0x83E0, 0x00FF00}, {0x4210, 0x848484}}},
        FieldCase{"Rgb231", // 2-3-1 bits
                  16,
                  40,
                  3,
                  {0x30, 0x0E, 0x01},
                  {{0x3F, 0xFFFFFF}, {0x20, 0xAA0000}, {0x08, 0x009200}, {0x01, 0x0000FF}}},
        FieldCase{"Bgrx32Default", 32, 40, 0, {}, {{0xAB112233, 0x112233}, {0x00FFFFFF, 0xFFFFFF}}},
        FieldCase{"Rgbx32Bitfields",
                  32,
                  40,
                  3,
                  {0x0000FF, 0x00FF00, 0xFF0000},
                  {{0xAB112233, 0x332211}, {0x000000FF, 0xFF0000}}},
        FieldCase{"Rgb111110", // 11-11-10 bits: 1024 of 2047 -> 128, 512 of 1023 -> 128
                  32,
                  40,
                  3,
                  {0xFFE00000, 0x001FFC00, 0x000003FF},
                  {{0xFFE00000, 0xFF0000}, {0x00100000, 0x008000}, {0x00000200, 0x000080}}},
        FieldCase{"Argb32InV4Header",
                  32,
                  108,
                  3,
                  {0xFF0000, 0xFF00, 0xFF, 0xFF000000},
                  {{0x80102030, 0x102030}}},
        FieldCase{"FullWidthRedField",
                  32,
                  40,
                  3,
                  {0xFFFFFFFF, 0, 0},
                  {{0xFFFFFFFF, 0xFF0000}, {0x80000000, 0x800000}, {0, 0}}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Header flavours: OS/2 1.x and 2.x, Windows V2 to V5, 24-bit.

struct HeaderCase {
    std::uint32_t headerSize;
    std::uint16_t bpp;
    bool topDown;
};
void PrintTo(const HeaderCase& c, std::ostream* os) {
    *os << c.headerSize << "-byte header, " << c.bpp << "-bit";
}

class BmpHeaders : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(BmpHeaders, DecodeAlike) {
    const auto& c = GetParam();
    const std::uint32_t w = 5, h = 3;
    Dib d;
    d.headerSize = c.headerSize;
    d.width = w;
    d.height = c.topDown ? -3 : 3;
    d.bpp = c.bpp;
    Sample sample;
    std::function<Rgb(std::uint32_t, std::uint32_t)> expected;
    if (c.bpp <= 8) {
        const std::uint32_t n = 1u << c.bpp;
        d.palette = colours(n);
        sample = [n](std::uint32_t x, std::uint32_t y) { return (x + 4 * y) % n; };
        expected = [n](std::uint32_t x, std::uint32_t y) { return colour((x + 4 * y) % n); };
    } else {
        sample = [](std::uint32_t x, std::uint32_t y) { return x * 0x321001 + y * 0x004050; };
        expected = [](std::uint32_t x, std::uint32_t y) {
            return rgb(x * 0x321001 + y * 0x004050);
        };
    }
    d.pixels = packRows(w, h, c.bpp, c.topDown, sample);
    Image img;
    std::string err;
    ASSERT_TRUE(loadBmp(bmpFile(d), img, err)) << err;
    EXPECT_EQ(img.GetWidth(), w);
    EXPECT_EQ(img.GetHeight(), h);
    EXPECT_EQ(img.GetBpp(), storedBpp(c.bpp));
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            EXPECT_EQ(img.PixelColor(x, y), expected(x, y)) << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(Bmp, BmpHeaders,
                         ::testing::Values(HeaderCase{12, 8, false}, HeaderCase{12, 1, false},
                                           HeaderCase{12, 24, false}, HeaderCase{16, 8, false},
                                           HeaderCase{64, 4, false}, HeaderCase{40, 24, false},
                                           HeaderCase{40, 24, true}, HeaderCase{52, 8, false},
                                           HeaderCase{56, 24, true}, HeaderCase{108, 8, true},
                                           HeaderCase{124, 24, false}));

TEST(BmpDpi, PelsPerMeterRoundedToDpi) {
    const std::pair<std::int32_t, std::uint32_t> table[] = {{0, 96},      {-100, 96}, {3780, 96},
                                                            {11811, 300}, {2834, 72}, {39, 1}};
    for (const auto& [ppm, dpi] : table) {
        Dib d;
        d.width = 1;
        d.height = 1;
        d.bpp = 24;
        d.xppm = ppm;
        d.yppm = 3937;
        d.pixels = {1, 2, 3, 0};
        Image img;
        std::string err;
        ASSERT_TRUE(loadBmp(bmpFile(d), img, err)) << err;
        EXPECT_EQ(img.GetXDpi(), dpi) << ppm;
        EXPECT_EQ(img.GetYDpi(), 100u);
    }
}

// ---------------------------------------------------------------------------------------------
// Palettes that do not match the indices, and pixel offsets.

TEST(BmpPaletteSize, IndicesPastAShortPaletteAreBlack) {
    Dib d;
    d.width = 6;
    d.height = 1;
    d.clrUsed = 3;
    d.palette = colours(3);
    d.pixels = {0, 1, 2, 3, 4, 255, 0, 0};
    Image img;
    std::string err;
    ASSERT_TRUE(loadBmp(bmpFile(d), img, err)) << err;
    ASSERT_EQ(img.GetPalette().size(), 256u);
    for (std::uint32_t x = 0; x < 3; ++x)
        EXPECT_EQ(img.PixelColor(x, 0), colour(x));
    for (std::uint32_t x = 3; x < 6; ++x)
        EXPECT_EQ(img.PixelColor(x, 0), Rgb{}) << x;
}

struct OffsetCase {
    const char* name;
    std::uint32_t clrUsed;
    std::size_t paletteEntries;
    std::size_t gap;
    std::optional<std::uint32_t> offBits; // nullopt: the true offset
    std::size_t expectedColours;          // palette entries that must come out
};
void PrintTo(const OffsetCase& c, std::ostream* os) {
    *os << c.name;
}

class BmpOffsets : public ::testing::TestWithParam<OffsetCase> {};

TEST_P(BmpOffsets, PixelsFoundAndPaletteClamped) {
    const auto& c = GetParam();
    Dib d;
    d.width = 4;
    d.height = 2;
    d.clrUsed = c.clrUsed;
    d.palette = colours(c.paletteEntries);
    auto index = [](std::uint32_t x, std::uint32_t y) { return x * 60 + y + 1; };
    d.pixels = packRows(4, 2, 8, false, index);
    Image img;
    std::string err;
    ASSERT_TRUE(loadBmp(bmpFile(d, c.offBits, Buf(c.gap, 0xEE)), img, err)) << err;
    for (std::uint32_t y = 0; y < 2; ++y)
        for (std::uint32_t x = 0; x < 4; ++x) {
            const std::uint32_t i = index(x, y);
            EXPECT_EQ(img.PixelColor(x, y), i < c.expectedColours ? colour(i) : Rgb{})
                << x << "," << y;
        }
}

INSTANTIATE_TEST_SUITE_P(
    Bmp, BmpOffsets,
    ::testing::Values(OffsetCase{"Exact", 0, 256, 0, std::nullopt, 256},
                      OffsetCase{"GapBeforePixels", 0, 256, 6, std::nullopt, 256},
                      OffsetCase{"ZeroOffBitsFallsBackToPaletteEnd", 0, 256, 0, 0u, 256},
                      OffsetCase{"OversizedPalette", 300, 300, 0, std::nullopt, 256},
                      // Header claims 256 colours, only 62 fit before the pixels.
                      OffsetCase{"PaletteCutByOffBits", 0, 62, 0, std::nullopt, 62}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// RLE

Dib rle8Dib() {
    Dib d;
    d.width = 8;
    d.height = 4;
    d.compression = 1;
    d.clrUsed = 16;
    d.palette = colours(16);
    d.pixels = {
        3,  5, 0, 3, 1, 2, 3, 0, 2, 7, 0, 0, // bottom row: run, absolute (padded), run, EOL
        0,  2, 2, 1,                         // delta: skips the second row, lands at x=2
        4,  9, 0, 0,                         // run, EOL
        10, 6, 0, 1,                         // a run past the right edge, end of bitmap
    };
    return d;
}

TEST(BmpRle, Rle8RunsAbsoluteDeltaAndEscapes) {
    Image img;
    std::string err;
    ASSERT_TRUE(loadBmp(bmpFile(rle8Dib()), img, err)) << err;
    ASSERT_EQ(img.GetWidth(), 8u);
    ASSERT_EQ(img.GetHeight(), 4u);
    EXPECT_EQ(img.GetBpp(), 8);
    const std::uint8_t expected[4][8] = {{6, 6, 6, 6, 6, 6, 6, 6},
                                         {0, 0, 9, 9, 9, 9, 0, 0},
                                         {0, 0, 0, 0, 0, 0, 0, 0},
                                         {5, 5, 5, 1, 2, 3, 7, 7}};
    for (std::uint32_t y = 0; y < 4; ++y)
        for (std::uint32_t x = 0; x < 8; ++x)
            EXPECT_EQ(img.PixelColor(x, y), colour(expected[y][x])) << x << "," << y;
}

Dib rle4Dib() {
    Dib d;
    d.width = 7;
    d.height = 3;
    d.bpp = 4;
    d.compression = 2;
    d.palette = colours(16);
    d.pixels = {
        5, 0x12, 0,    3,    0x34, 0x50, 0, 0, // alternating run; absolute run cut at the edge
        0, 2,    3,    0,                      // delta right by 3
        2, 0xAB, 0,    0,                      // run, EOL
        0, 5,    0xCD, 0xEF, 0x10, 0,          // absolute run of 5 (3 bytes + pad)
        2, 0x77, 0,    1,                      // run, end of bitmap
    };
    return d;
}

TEST(BmpRle, Rle4RunsAbsoluteDeltaAndEscapes) {
    Image img;
    std::string err;
    ASSERT_TRUE(loadBmp(bmpFile(rle4Dib()), img, err)) << err;
    ASSERT_EQ(img.GetWidth(), 7u);
    ASSERT_EQ(img.GetHeight(), 3u);
    EXPECT_EQ(img.GetBpp(), 4);
    const std::uint8_t expected[3][7] = {
        {12, 13, 14, 15, 1, 7, 7}, {0, 0, 0, 10, 11, 0, 0}, {1, 2, 1, 2, 1, 3, 4}};
    for (std::uint32_t y = 0; y < 3; ++y)
        for (std::uint32_t x = 0; x < 7; ++x)
            EXPECT_EQ(img.PixelColor(x, y), colour(expected[y][x])) << x << "," << y;
}

TEST(BmpRle, EndOfBitmapEarlyLeavesIndexZero) {
    Dib d = rle8Dib();
    d.pixels = {2, 3, 0, 1};
    Image img;
    std::string err;
    ASSERT_TRUE(loadBmp(bmpFile(d), img, err)) << err;
    EXPECT_EQ(img.PixelColor(1, 3), colour(3));
    EXPECT_EQ(img.PixelColor(2, 3), colour(0));
    EXPECT_EQ(img.PixelColor(7, 0), colour(0));
}

TEST(BmpRle, DeltaAndLinesPastTheTopAreClipped) {
    Dib d = rle8Dib();
    d.pixels = {0, 2, 255, 255, 5, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    Image img;
    std::string err;
    EXPECT_TRUE(loadBmp(bmpFile(d), img, err)) << err;
    EXPECT_EQ(img.PixelColor(0, 0), colour(0));
}

// ---------------------------------------------------------------------------------------------
// Refusals

Dib small8() {
    Dib d;
    d.width = 5;
    d.height = 3;
    d.palette = colours(256);
    d.pixels = packRows(5, 3, 8, false, [](std::uint32_t x, std::uint32_t y) { return x ^ y; });
    return d;
}

struct BadCase {
    const char* name;
    std::function<void(Buf&)> spoil; // offsets are those of a 40-byte header
};
void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.name;
}

class BmpRefuses : public ::testing::TestWithParam<BadCase> {};

TEST_P(BmpRefuses, FailsWithAReason) {
    Buf b = bmpFile(small8());
    GetParam().spoil(b);
    Image img;
    std::string err;
    EXPECT_FALSE(loadBmp(b, img, err));
    EXPECT_FALSE(err.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Bmp, BmpRefuses,
    ::testing::Values(
        BadCase{"NotBM", [](Buf& b) { b[1] = 'A'; }},
        BadCase{"TwoPlanes", [](Buf& b) { ByteWriter(b).setU16le(26, 2); }},
        BadCase{"HeaderSize44", [](Buf& b) { ByteWriter(b).setU32le(14, 44); }},
        BadCase{"HeaderSize0", [](Buf& b) { ByteWriter(b).setU32le(14, 0); }},
        BadCase{"BitCount3", [](Buf& b) { ByteWriter(b).setU16le(28, 3); }},
        BadCase{"BitCount0", [](Buf& b) { ByteWriter(b).setU16le(28, 0); }},
        BadCase{"BitCount64", [](Buf& b) { ByteWriter(b).setU16le(28, 64); }},
        BadCase{"WidthZero", [](Buf& b) { ByteWriter(b).setU32le(18, 0); }},
        BadCase{"WidthNegative", [](Buf& b) { ByteWriter(b).setU32le(18, 0xFFFFFFFB); }},
        BadCase{"HeightZero", [](Buf& b) { ByteWriter(b).setU32le(22, 0); }},
        BadCase{"HeightMostNegative", [](Buf& b) { ByteWriter(b).setU32le(22, 0x80000000); }},
        BadCase{"HeightHuge", [](Buf& b) { ByteWriter(b).setU32le(22, 0x7FFFFFFF); }},
        BadCase{"EmbeddedJpeg", [](Buf& b) { ByteWriter(b).setU32le(30, 4); }},
        BadCase{"EmbeddedPng", [](Buf& b) { ByteWriter(b).setU32le(30, 5); }},
        BadCase{"UnknownCompression", [](Buf& b) { ByteWriter(b).setU32le(30, 7); }},
        BadCase{"Rle4On8Bit", [](Buf& b) { ByteWriter(b).setU32le(30, 2); }},
        BadCase{"BitfieldsOn8Bit", [](Buf& b) { ByteWriter(b).setU32le(30, 3); }},
        BadCase{"RleTopDown",
                [](Buf& b) {
                    ByteWriter(b).setU32le(30, 1);
                    ByteWriter(b).setU32le(22, 0xFFFFFFFD);
                }},
        BadCase{"OffBitsPastTheEnd", [](Buf& b) { ByteWriter(b).setU32le(10, 0xFFFFFFF0); }},
        BadCase{"PixelsOneByteShort",
                [](Buf& b) {
                    b.pop_back();
                    b.pop_back();
                    b.pop_back();
                    b.pop_back();
                }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BmpRefuses, LastRowPaddingMayBeMissingButNotItsPixels) {
    Buf b = bmpFile(small8()); // rows of 5 pixels + 3 padding bytes
    b.resize(b.size() - 3);
    Image img;
    std::string err;
    EXPECT_TRUE(loadBmp(b, img, err)) << err;
    b.pop_back();
    EXPECT_FALSE(loadBmp(b, img, err));
}

TEST(BmpRefuses, BombHeaderRefusedBeforeAllocating) {
    Dib d;
    d.width = 100000;
    d.height = 100000;
    d.bpp = 24;
    Image img;
    std::string err;
    EXPECT_FALSE(loadBmp(bmpFile(d), img, err));
    EXPECT_EQ(err, "image too large");
    EXPECT_FALSE(img.IsValid());
    // Inside the limits but with no pixel data: refused before the 400 MB buffer exists.
    d.width = 20000;
    d.height = 20000;
    d.bpp = 8;
    d.palette = colours(256);
    EXPECT_FALSE(loadBmp(bmpFile(d), img, err));
    EXPECT_EQ(err, "truncated pixel data");
    EXPECT_FALSE(img.IsValid());
}

TEST(BmpRefuses, EveryTruncationFails) {
    Dib rgb16;
    rgb16.width = 3;
    rgb16.height = 2;
    rgb16.bpp = 16;
    rgb16.compression = 3;
    rgb16.masks = {0xF800, 0x07E0, 0x001F};
    rgb16.pixels = packRows(3, 2, 16, false, [](std::uint32_t x, std::uint32_t) { return x; });
    Dib core = small8();
    core.headerSize = 12;
    struct Case {
        const char* name;
        Buf file;
        std::size_t lastRowPadding; // the only bytes a cut may take without failing
    };
    const Case files[] = {{"pal8", bmpFile(small8()), 3},
                          {"rgb16", bmpFile(rgb16), 2},
                          {"core", bmpFile(core), 3},
                          {"rle8", bmpFile(rle8Dib()), 0},
                          {"rle4", bmpFile(rle4Dib()), 0}};
    for (const auto& [name, full, padding] : files) {
        Image img;
        std::string err;
        ASSERT_TRUE(loadBmp(full, img, err)) << name << ": " << err;
        for (std::size_t n = 0; n < full.size(); ++n) {
            const Buf cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
            Image part;
            EXPECT_EQ(loadBmp(cut, part, err), n >= full.size() - padding)
                << name << " cut to " << n;
        }
    }
}

// Flipped bytes in every kind of generated file: whatever loads must be a sane image.
TEST(BmpIcoMutations, DamagedFilesLoadSanelyOrFail) {
    Dib rgb16;
    rgb16.width = 3;
    rgb16.height = 2;
    rgb16.bpp = 16;
    rgb16.compression = 3;
    rgb16.masks = {0xF800, 0x07E0, 0x001F};
    rgb16.pixels = packRows(3, 2, 16, false, [](std::uint32_t x, std::uint32_t) { return x; });
    const std::pair<Buf, bool> files[] = {
        {bmpFile(small8()), false},     {bmpFile(rle8Dib()), false},
        {bmpFile(rle4Dib()), false},    {bmpFile(rgb16), false},
        {icoFile(fiveEntries()), true}, {icoFile({{8, 8, 4, iconDib(8, 8, 4, kB)}}), true}};
    std::mt19937 rng(7);
    int loaded = 0, failed = 0;
    for (const auto& [original, ico] : files) {
        for (int round = 0; round < 300; ++round) {
            Buf b = original;
            for (int k = 0; k < 3; ++k)
                b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
            Image img;
            std::string err;
            if (ico ? codecs::decodeIco(b, img, err) : loadBmp(b, img, err)) {
                ++loaded;
                ASSERT_TRUE(img.IsValid());
                ASSERT_LE(std::uint64_t{img.GetWidth()} * img.GetHeight(), kMaxImagePixels);
                ASSERT_EQ(img.Pixels().size(),
                          std::size_t{img.GetWidth()} * img.GetHeight() * img.BytesPerPixel());
                if (img.IsIndexed()) {
                    for (auto v : img.Pixels()) {
                        ASSERT_LT(v, img.GetPalette().size());
                    }
                }
            } else {
                ++failed;
                EXPECT_FALSE(err.empty());
            }
        }
    }
    // Most flips land in pixel data; header flips must be refused.
    EXPECT_GT(loaded, 0);
    EXPECT_GT(failed, 0);
}

// ---------------------------------------------------------------------------------------------
// Corpus

TEST(BmpCorpus, EveryFileLoadsOrFailsCleanly) {
    FOLIO_REQUIRE_CORPUS();
    // bmpsuite's "g" folder holds files every reader must take, "b" files it must not
    // (badrle only writes out of bounds, which clipping tolerates). The codec contract checks
    // that the rest loads sanely or fails cleanly.
    for (const auto& path : test::corpusFiles({"bmp"})) {
        const std::string name = path.filename().string();
        Image img;
        std::string err;
        const bool ok = loadBmp(test::readFile(path.string()), img, err);
        if (name.starts_with("pil_g_")) {
            EXPECT_TRUE(ok) << name << ": " << err;
        }
        if (name.starts_with("pil_b_") && name != "pil_b_badrle.bmp") {
            EXPECT_FALSE(ok) << name;
        }
    }
}

// What a BMP file's own header says: width, |height|, bit count.
struct HeaderFacts {
    std::uint32_t width, height;
    unsigned bitCount;
    bool topDown;
};
HeaderFacts headerFacts(const Buf& b) {
    if (le32(b, 14) == 12) return {le16(b, 18), le16(b, 20), le16(b, 24), false};
    const auto h = static_cast<std::int32_t>(le32(b, 22));
    return {le32(b, 18), static_cast<std::uint32_t>(h < 0 ? -h : h), le16(b, 28), h < 0};
}

TEST(BmpCorpus, KnownFilesMatchTheirHeaders) {
    FOLIO_REQUIRE_CORPUS();
    const char* names[] = {
        "pil_g_pal8.bmp",     "pil_g_rgb16-565.bmp",    "pil_q_pal2.bmp",
        "pil_g_pal1.bmp",     "pil_g_pal4rle.bmp",      "pil_g_pal8os2.bmp",
        "pil_g_pal8w126.bmp", "pil_g_rgb32bf.bmp",      "pil_q_rgba16-4444.bmp",
        "irs_Core_1_Bit.bmp", "irs_V5_A1_R5_G5_B5.bmp", "irs_Info_8_Bit_Top_Down.bmp",
        "irs_pal4rlecut.bmp"};
    for (const char* name : names) {
        const Buf b = test::corpusBytes("bmp", name);
        const HeaderFacts f = headerFacts(b);
        Image img;
        std::string err;
        ASSERT_TRUE(loadBmp(b, img, err)) << name << ": " << err;
        EXPECT_EQ(img.GetWidth(), f.width) << name;
        EXPECT_EQ(img.GetHeight(), f.height) << name;
        EXPECT_EQ(img.GetBpp(), documentedStoredDepth(f.bitCount)) << name;
    }
    // Stated outright by the suite's documentation.
    Image img;
    std::string err;
    ASSERT_TRUE(loadBmp(test::corpusBytes("bmp", "pil_g_pal8.bmp"), img, err)) << err;
    EXPECT_EQ(img.GetWidth(), 127u);
    EXPECT_EQ(img.GetHeight(), 64u);
    EXPECT_EQ(img.GetBpp(), 8);
    EXPECT_EQ(img.GetXDpi(), 72u); // 2835 pixels per metre
    ASSERT_TRUE(loadBmp(test::corpusBytes("bmp", "pil_g_rgb16-565.bmp"), img, err)) << err;
    EXPECT_EQ(img.GetBpp(), 24);
    ASSERT_TRUE(loadBmp(test::corpusBytes("bmp", "pil_q_pal2.bmp"), img, err)) << err;
    EXPECT_EQ(img.GetBpp(), 4);
}

TEST(BmpCorpus, TopDownEightBitPixelsFromItsOwnBytes) {
    FOLIO_REQUIRE_CORPUS();
    const Buf b = test::corpusBytes("bmp", "irs_Info_8_Bit_Top_Down.bmp");
    const HeaderFacts f = headerFacts(b);
    ASSERT_TRUE(f.topDown);
    ASSERT_EQ(f.bitCount, 8u);
    const std::uint32_t offBits = le32(b, 10), paletteAt = 14 + le32(b, 14);
    const std::uint32_t rowBytes = (f.width + 3) / 4 * 4;
    Image img;
    std::string err;
    ASSERT_TRUE(loadBmp(b, img, err)) << err;
    ASSERT_EQ(img.GetWidth(), 6u);
    ASSERT_EQ(img.GetHeight(), 6u);
    for (std::uint32_t y = 0; y < f.height; ++y)
        for (std::uint32_t x = 0; x < f.width; ++x) {
            const std::size_t e = paletteAt + 4 * b[offBits + y * rowBytes + x];
            EXPECT_EQ(img.PixelColor(x, y), (Rgb{b[e + 2], b[e + 1], b[e]})) << x << "," << y;
        }
}

// The suite documents these as one picture stored in different ways.
TEST(BmpCorpus, EncodingsOfTheSamePictureAgree) {
    FOLIO_REQUIRE_CORPUS();
    const std::vector<std::vector<const char*>> groups = {
        {"pil_g_pal8.bmp", "pil_g_pal8os2.bmp", "pil_g_pal8v4.bmp", "pil_g_pal8v5.bmp",
         "pil_g_pal8topdown.bmp", "pil_g_pal8rle.bmp", "pil_q_pal8offs.bmp",
         "pil_q_pal8oversizepal.bmp", "pil_q_pal8os2v2.bmp"},
        {"pil_g_pal4.bmp", "pil_g_pal4rle.bmp"},
        {"pil_g_rgb24.bmp", "pil_g_rgb32.bmp", "pil_g_rgb32bf.bmp", "pil_g_rgb24pal.bmp"},
        {"pil_g_rgb16-565.bmp", "pil_g_rgb16-565pal.bmp"}};
    for (const auto& group : groups) {
        Image first;
        std::string err;
        ASSERT_TRUE(loadBmp(test::corpusBytes("bmp", group[0]), first, err)) << err;
        for (std::size_t i = 1; i < group.size(); ++i) {
            Image other;
            ASSERT_TRUE(loadBmp(test::corpusBytes("bmp", group[i]), other, err))
                << group[i] << ": " << err;
            ASSERT_EQ(other.GetWidth(), first.GetWidth()) << group[i];
            ASSERT_EQ(other.GetHeight(), first.GetHeight()) << group[i];
            int differing = 0;
            for (std::uint32_t y = 0; y < first.GetHeight(); ++y)
                for (std::uint32_t x = 0; x < first.GetWidth(); ++x)
                    differing += first.PixelColor(x, y) != other.PixelColor(x, y);
            EXPECT_EQ(differing, 0) << group[i] << " vs " << group[0];
        }
    }
}

} // namespace
} // namespace folio
