// The PNG decoder: files made here with libpng's writer, hostile variants of them, and the
// shared corpus.
#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <png.h>

namespace {

using folio::Image;
using folio::Rgb;
using Bytes = std::vector<std::uint8_t>;
using folio::test::show;

// ---------------------------------------------------------------------------------------
// PNG writer (libpng write into memory)

struct PngShape {
    std::uint32_t w = 13, h = 11;
    int colorType = PNG_COLOR_TYPE_GRAY;
    int depth = 8;
    bool interlaced = false;
    std::vector<Rgb> palette;
    int physUnit = -1; // -1: no pHYs
    std::uint32_t physX = 0, physY = 0;
};

struct PngWriter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    Bytes out;
    ~PngWriter() {
        if (png) png_destroy_write_struct(&png, info ? &info : nullptr);
    }
};

void pngCollect(png_structp png, png_bytep data, png_size_t n) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}
void pngFlush(png_structp) {}
[[noreturn]] void pngTestError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void pngTestWarning(png_structp, png_const_charp) {}

bool writePng(PngWriter& w, const PngShape& s, png_bytepp rows, const png_color* plte) {
    if (setjmp(png_jmpbuf(w.png))) return false;
    png_set_write_fn(w.png, &w.out, pngCollect, pngFlush);
    png_set_IHDR(w.png, w.info, s.w, s.h, s.depth, s.colorType,
                 s.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (plte) png_set_PLTE(w.png, w.info, plte, static_cast<int>(s.palette.size()));
    if (s.physUnit >= 0) png_set_pHYs(w.png, w.info, s.physX, s.physY, s.physUnit);
    png_write_info(w.png, w.info);
    png_write_image(w.png, rows);
    png_write_end(w.png, nullptr);
    return true;
}

int channelsOf(int colorType) {
    switch (colorType) {
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        return 2;
    case PNG_COLOR_TYPE_RGB:
        return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA:
        return 4;
    default:
        return 1;
    }
}

// Sample c of pixel (x, y): any value of the depth, so packing and stripping both show.
std::uint32_t pngSample(const PngShape& s, std::uint32_t x, std::uint32_t y, int c) {
    if (s.colorType == PNG_COLOR_TYPE_PALETTE)
        return (x * 7 + y * 3) % static_cast<std::uint32_t>(s.palette.size());
    const std::uint32_t hi = (x * 37 + y * 11 + static_cast<std::uint32_t>(c) * 71) & 0xFF;
    if (s.depth == 16) return (hi << 8) | ((x * 5 + y * 29 + 3) & 0xFF);
    return hi % (1u << s.depth);
}

// The colour a decoder must show: high byte of 16-bit samples, low depths spread over 0..255.
Rgb pngExpected(const PngShape& s, std::uint32_t x, std::uint32_t y) {
    if (s.colorType == PNG_COLOR_TYPE_PALETTE) return s.palette[pngSample(s, x, y, 0)];
    auto to8 = [&](std::uint32_t v) {
        if (s.depth == 16) return static_cast<std::uint8_t>(v >> 8);
        return static_cast<std::uint8_t>(v * 255 / ((1u << s.depth) - 1));
    };
    if (channelsOf(s.colorType) <= 2) {
        const auto g = to8(pngSample(s, x, y, 0));
        return Rgb{g, g, g};
    }
    return Rgb{to8(pngSample(s, x, y, 0)), to8(pngSample(s, x, y, 1)), to8(pngSample(s, x, y, 2))};
}

Bytes makePng(const PngShape& s) {
    const int ch = channelsOf(s.colorType);
    const std::size_t rowBytes = (static_cast<std::size_t>(s.w) * ch * s.depth + 7) / 8;
    std::vector<Bytes> rows(s.h, Bytes(rowBytes, 0));
    for (std::uint32_t y = 0; y < s.h; ++y) {
        std::size_t bit = 0;
        for (std::uint32_t x = 0; x < s.w; ++x)
            for (int c = 0; c < ch; ++c, bit += s.depth) {
                const std::uint32_t v = pngSample(s, x, y, c);
                if (s.depth == 16) {
                    rows[y][bit / 8] = static_cast<std::uint8_t>(v >> 8);
                    rows[y][bit / 8 + 1] = static_cast<std::uint8_t>(v);
                } else {
                    const int shift = 8 - s.depth - static_cast<int>(bit % 8);
                    rows[y][bit / 8] |= static_cast<std::uint8_t>(v << shift);
                }
            }
    }
    std::vector<png_bytep> rowPtrs;
    for (auto& r : rows)
        rowPtrs.push_back(r.data());
    std::vector<png_color> plte;
    for (Rgb c : s.palette)
        plte.push_back(png_color{c.r, c.g, c.b});
    PngWriter w;
    w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngTestError, pngTestWarning);
    w.info = w.png ? png_create_info_struct(w.png) : nullptr;
    EXPECT_TRUE(w.png && w.info);
    if (!w.png || !w.info) return {};
    const bool ok = writePng(w, s, rowPtrs.data(), plte.empty() ? nullptr : plte.data());
    EXPECT_TRUE(ok) << "test PNG writer failed";
    return ok ? w.out : Bytes{};
}

std::vector<Rgb> testPalette(std::size_t n) {
    std::vector<Rgb> p;
    for (std::size_t i = 0; i < n; ++i)
        p.push_back(Rgb{static_cast<std::uint8_t>(i * 37 + 5), static_cast<std::uint8_t>(i * 91),
                        static_cast<std::uint8_t>(255 - i)});
    return p;
}

struct PngCase {
    int colorType, depth;
    std::size_t paletteSize;
    std::uint16_t wantBpp;
};

std::string pngCaseName(const testing::TestParamInfo<std::tuple<PngCase, bool>>& i) {
    const PngCase& c = std::get<0>(i.param);
    return "type" + std::to_string(c.colorType) + "depth" + std::to_string(c.depth) +
           (std::get<1>(i.param) ? "Interlaced" : "");
}

class PngVariants : public testing::TestWithParam<std::tuple<PngCase, bool>> {};

TEST_P(PngVariants, DepthAndEveryPixel) {
    const PngCase& c = std::get<0>(GetParam());
    PngShape s;
    s.colorType = c.colorType;
    s.depth = c.depth;
    s.interlaced = std::get<1>(GetParam());
    s.palette = testPalette(c.paletteSize);
    Image img;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodePng(makePng(s), img, err)) << err;
    EXPECT_EQ(folio::test::imageFault(img), "");
    EXPECT_EQ(img.GetWidth(), s.w);
    EXPECT_EQ(img.GetHeight(), s.h);
    EXPECT_EQ(img.GetBpp(), c.wantBpp);
    for (std::uint32_t y = 0; y < s.h; ++y)
        for (std::uint32_t x = 0; x < s.w; ++x)
            ASSERT_EQ(img.PixelColor(x, y), pngExpected(s, x, y))
                << x << "," << y << " got " << show(img.PixelColor(x, y)) << " want "
                << show(pngExpected(s, x, y));
    if (c.colorType == PNG_COLOR_TYPE_GRAY && c.depth == 8) {
        EXPECT_TRUE(img.IsGrayRamp());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Png, PngVariants,
    testing::Combine(
        testing::Values(
            PngCase{PNG_COLOR_TYPE_GRAY, 1, 0, 1}, PngCase{PNG_COLOR_TYPE_GRAY, 2, 0, 4},
            PngCase{PNG_COLOR_TYPE_GRAY, 4, 0, 4}, PngCase{PNG_COLOR_TYPE_GRAY, 8, 0, 8},
            PngCase{PNG_COLOR_TYPE_GRAY, 16, 0, 24}, PngCase{PNG_COLOR_TYPE_PALETTE, 1, 2, 1},
            PngCase{PNG_COLOR_TYPE_PALETTE, 2, 3, 4}, PngCase{PNG_COLOR_TYPE_PALETTE, 4, 16, 4},
            PngCase{PNG_COLOR_TYPE_PALETTE, 8, 200, 8}, PngCase{PNG_COLOR_TYPE_GRAY_ALPHA, 8, 0, 8},
            PngCase{PNG_COLOR_TYPE_GRAY_ALPHA, 16, 0, 24}, PngCase{PNG_COLOR_TYPE_RGB, 8, 0, 24},
            PngCase{PNG_COLOR_TYPE_RGB, 16, 0, 24}, PngCase{PNG_COLOR_TYPE_RGB_ALPHA, 8, 0, 24},
            PngCase{PNG_COLOR_TYPE_RGB_ALPHA, 16, 0, 24}),
        testing::Bool()),
    pngCaseName);

TEST(PngDecode, LowDepthGrayPalettes) {
    struct Case {
        int depth;
        std::vector<std::uint8_t> levels; // the first entries; the rest of the palette is black
    };
    for (const Case& c :
         {Case{1, {0, 255}}, Case{2, {0, 85, 170, 255}},
          Case{4, {0, 17, 34, 51, 68, 85, 102, 119, 136, 153, 170, 187, 204, 221, 238, 255}}}) {
        PngShape s;
        s.depth = c.depth;
        Image img;
        std::string err;
        ASSERT_TRUE(folio::codecs::decodePng(makePng(s), img, err)) << err;
        const auto& pal = img.GetPalette();
        for (std::size_t i = 0; i < pal.size(); ++i) {
            const std::uint8_t v = i < c.levels.size() ? c.levels[i] : 0;
            EXPECT_EQ(pal[i], (Rgb{v, v, v})) << "depth " << c.depth << " entry " << i;
        }
    }
}

TEST(PngDecode, PhysInMetresBecomesDpi) {
    struct Case {
        int unit;
        std::uint32_t x, y, wantX, wantY;
    };
    // 11811 px/m is 299.99 dpi; 3937 px/m is 99.99.
    for (const Case c :
         {Case{PNG_RESOLUTION_METER, 11811, 3937, 300, 100},
          Case{PNG_RESOLUTION_UNKNOWN, 11811, 3937, 96, 96}, Case{-1, 0, 0, 96, 96}}) {
        PngShape s;
        s.physUnit = c.unit;
        s.physX = c.x;
        s.physY = c.y;
        Image img;
        std::string err;
        ASSERT_TRUE(folio::codecs::decodePng(makePng(s), img, err)) << err;
        EXPECT_EQ(img.GetXDpi(), c.wantX) << c.unit;
        EXPECT_EQ(img.GetYDpi(), c.wantY) << c.unit;
    }
}

// The offset of the first chunk of the given type, or 0.
std::size_t findChunk(const Bytes& f, const char* type) {
    std::size_t p = 8;
    while (p + 12 <= f.size()) {
        if (std::memcmp(&f[p + 4], type, 4) == 0) return p;
        p += 12 + folio::test::be32(f, p);
    }
    return 0;
}

TEST(PngDecode, LyingHeaderSizeIsRefusedAtOnce) {
    struct Case {
        std::uint32_t w, h;
    };
    // Past the side limit, and within it but past the pixel limit.
    for (const Case c : {Case{100000, 100000}, Case{25000, 20000}}) {
        Bytes file = makePng(PngShape{});
        folio::test::ByteWriter(file).setU32be(16, c.w);
        folio::test::ByteWriter(file).setU32be(20, c.h);
        folio::test::ByteWriter(file).setU32be(
            29, folio::test::crc32({&file[12], 17})); // IHDR type + data
        SCOPED_TRACE(c.w);
        folio::test::expectRefusedAtOnce(folio::codecs::decodePng, file);
    }
}

TEST(PngDecode, CrcErrorsFail) {
    PngShape s;
    s.physUnit = PNG_RESOLUTION_METER;
    s.physX = s.physY = 2835;
    const Bytes good = makePng(s);
    for (const char* chunk : {"IHDR", "pHYs", "IDAT", "IEND"}) {
        Bytes file = good;
        const std::size_t at = findChunk(file, chunk);
        ASSERT_GT(at, 0u) << chunk;
        file[at + 8 + folio::test::be32(file, at)] ^= 0x01; // first CRC byte
        testing::internal::CaptureStderr();
        Image img;
        std::string err;
        EXPECT_FALSE(folio::codecs::decodePng(file, img, err)) << chunk;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << chunk;
    }
    Image img;
    std::string err;
    EXPECT_TRUE(folio::codecs::decodePng(good, img, err)) << err;
}

TEST(PngDecode, WarningsStaySilent) {
    // A second pHYs is a benign error: reported as a warning, which must not print.
    PngShape s;
    s.physUnit = PNG_RESOLUTION_METER;
    s.physX = s.physY = 11811;
    Bytes file = makePng(s);
    const std::size_t at = findChunk(file, "pHYs");
    ASSERT_GT(at, 0u);
    const Bytes phys(file.begin() + static_cast<std::ptrdiff_t>(at),
                     file.begin() + static_cast<std::ptrdiff_t>(at + 12 + 9));
    file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), phys.begin(), phys.end());
    testing::internal::CaptureStderr();
    Image img;
    std::string err;
    EXPECT_TRUE(folio::codecs::decodePng(file, img, err)) << err;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(img.GetXDpi(), 300u);
}

TEST(PngDecode, ScrambledPixelDataFailsSilently) {
    // A valid file with its pixel data scrambled (CRC repaired so that zlib sees the damage).
    Bytes scrambled = makePng(PngShape{});
    const std::size_t idat = findChunk(scrambled, "IDAT");
    ASSERT_GT(idat, 0u);
    const std::uint32_t len = folio::test::be32(scrambled, idat);
    for (std::uint32_t i = 2; i < len; ++i)
        scrambled[idat + 8 + i] ^= 0x5A;
    folio::test::ByteWriter(scrambled).setU32be(
        idat + 8 + len, folio::test::crc32({&scrambled[idat + 4], len + 4}));
    testing::internal::CaptureStderr();
    Image img;
    std::string err;
    EXPECT_FALSE(folio::codecs::decodePng(scrambled, img, err));
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// ---------------------------------------------------------------------------------------
// The shared corpus

// PngSuite names: [b|s..][a-z][n|i]<colour type digit><kind letter><two-digit depth>.
struct SuiteName {
    bool interlaced;
    int colorType, depth;
};

bool parseSuiteName(const std::string& stem, SuiteName& out) {
    // stem like "pngsuite_basn0g16"
    const auto p = stem.find('_');
    if (p == std::string::npos || stem.size() != p + 9) return false;
    const std::string n = stem.substr(p + 1);
    out.interlaced = n[3] == 'i';
    out.colorType = n[4] - '0';
    out.depth = std::stoi(n.substr(6, 2));
    return true;
}

// Gray deeper than 8 bits (with or without alpha) is stored as true colour.
std::uint16_t suiteBpp(const SuiteName& s) {
    switch (s.colorType) {
    case 0:
        return s.depth == 1 ? 1 : (s.depth <= 4 ? 4 : s.depth == 8 ? 8 : 24);
    case 3:
        return s.depth == 1 ? 1 : (s.depth <= 4 ? 4 : 8);
    case 4:
        return s.depth == 8 ? 8 : 24;
    default:
        return 24;
    }
}

TEST(PngCorpus, SuiteFilesFollowTheirNames) {
    FOLIO_REQUIRE_CORPUS();
    int checked = 0;
    for (const auto& path : folio::test::corpusFiles({"png"})) {
        const std::string stem = path.stem().string();
        if (stem.rfind("pngsuite_", 0) != 0) continue;
        SuiteName sn;
        ASSERT_TRUE(parseSuiteName(stem, sn)) << stem;
        const Bytes file = folio::test::readFile(path.string());
        Image img;
        std::string err;
        const bool ok = folio::codecs::decodePng(file, img, err);
        if (stem[9] == 'x') { // the suite's deliberately broken files
            EXPECT_FALSE(ok) << stem;
            continue;
        }
        ASSERT_TRUE(ok) << stem << ": " << err;
        ++checked;
        EXPECT_EQ(img.GetWidth(), folio::test::be32(file, 16)) << stem;
        EXPECT_EQ(img.GetHeight(), folio::test::be32(file, 20)) << stem;
        EXPECT_EQ(file[24], sn.depth) << stem;
        EXPECT_EQ(file[25], sn.colorType) << stem;
        EXPECT_EQ(img.GetBpp(), suiteBpp(sn)) << stem;
        if (sn.colorType == 0 && sn.depth == 8) {
            EXPECT_TRUE(img.IsGrayRamp()) << stem;
        }
        if (sn.colorType == 3) {
            const std::size_t plte = findChunk(file, "PLTE");
            ASSERT_GT(plte, 0u) << stem;
            const std::uint32_t n = folio::test::be32(file, plte) / 3;
            for (std::uint32_t i = 0; i < n && i < img.GetPalette().size(); ++i) {
                const std::size_t at = plte + 8 + 3 * i;
                EXPECT_EQ(img.GetPalette()[i], (Rgb{file[at], file[at + 1], file[at + 2]}))
                    << stem << " entry " << i;
            }
        }
        const std::size_t phys = findChunk(file, "pHYs");
        if (phys && file[phys + 16] == 1) {
            EXPECT_EQ(img.GetXDpi(), (folio::test::be32(file, phys + 8) * 254 + 5000) / 10000)
                << stem;
        }
    }
    EXPECT_GT(checked, 20);
}

TEST(PngCorpus, InterlacedTwinsDecodeAlike) {
    FOLIO_REQUIRE_CORPUS();
    for (const char* kind : {"0g01", "0g16", "2c16", "3p08", "4a08", "6a16"}) {
        const std::string n = std::string("pngsuite_basn") + kind + ".png";
        const std::string i = std::string("pngsuite_basi") + kind + ".png";
        Image plain, interlaced;
        std::string err;
        ASSERT_TRUE(
            folio::codecs::decodePng(folio::test::corpusBytes("png", n.c_str()), plain, err))
            << n;
        ASSERT_TRUE(
            folio::codecs::decodePng(folio::test::corpusBytes("png", i.c_str()), interlaced, err))
            << i;
        EXPECT_EQ(plain.GetBpp(), interlaced.GetBpp()) << kind;
        EXPECT_TRUE(plain.Pixels() == interlaced.Pixels()) << kind;
        EXPECT_TRUE(plain.GetPalette() == interlaced.GetPalette()) << kind;
    }
}

TEST(PngCorpus, LowDepthGrayPalettes) {
    FOLIO_REQUIRE_CORPUS();
    Image img;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodePng(folio::test::corpusBytes("png", "pngsuite_basn0g02.png"),
                                         img, err));
    EXPECT_EQ(img.GetBpp(), 4);
    EXPECT_EQ(img.GetPalette()[1], (Rgb{85, 85, 85}));
    EXPECT_EQ(img.GetPalette()[3], (Rgb{255, 255, 255}));
    ASSERT_TRUE(folio::codecs::decodePng(folio::test::corpusBytes("png", "pngsuite_basn0g01.png"),
                                         img, err));
    EXPECT_EQ(img.GetBpp(), 1);
    EXPECT_EQ(img.GetPalette()[1], (Rgb{255, 255, 255}));
}

} // namespace
