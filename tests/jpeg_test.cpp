// JPEG, PNG and GIF decoders: files made here with the libraries' own writers, hostile
// variants of them, and the shared corpus.
#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>

namespace {

using folio::Image;
using folio::Rgb;
using Bytes = std::vector<std::uint8_t>;
using folio::test::Decoder;
using folio::test::expectPrefixesFail;

int absDiff(int a, int b) {
    return a > b ? a - b : b - a;
}

bool near(Rgb a, Rgb b, int tol) {
    return absDiff(a.r, b.r) <= tol && absDiff(a.g, b.g) <= tol && absDiff(a.b, b.b) <= tol;
}

std::string show(Rgb c) {
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

// ---------------------------------------------------------------------------------------
// JPEG writer (libjpeg compress into memory)

struct JpegShape {
    int w = 32, h = 32;
    J_COLOR_SPACE in = JCS_RGB;       // JCS_GRAYSCALE, JCS_RGB or JCS_CMYK samples
    J_COLOR_SPACE stored = JCS_YCbCr; // the file's colour space
    bool adobeMarker = true;          // only changes CMYK files
    bool progressive = false, arith = false;
    int progressiveScans = 0; // gray only: a valid script of this many scans (64..704)
    int restartRows = 0;
    int densityUnit = 0, xDensity = 1, yDensity = 1;
};

struct TestJpegErr {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

struct JpegWriter {
    jpeg_compress_struct c{};
    TestJpegErr err{};
    std::array<jpeg_scan_info, 704> script{};
    bool created = false;
    unsigned char* buf = nullptr; // owned by the caller once compressed
    unsigned long size = 0;
    ~JpegWriter() {
        if (created) jpeg_destroy_compress(&c);
    }
};

[[noreturn]] void testJpegError(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<TestJpegErr*>(cinfo->err)->jump, 1);
}

bool compressJpeg(JpegWriter& w, const JpegShape& s, const std::uint8_t* px, int comps) {
    w.c.err = jpeg_std_error(&w.err.pub);
    w.err.pub.error_exit = testJpegError;
    if (setjmp(w.err.jump)) return false;
    jpeg_create_compress(&w.c);
    w.created = true;
    jpeg_mem_dest(&w.c, &w.buf, &w.size);
    w.c.image_width = static_cast<JDIMENSION>(s.w);
    w.c.image_height = static_cast<JDIMENSION>(s.h);
    w.c.input_components = comps;
    w.c.in_color_space = s.in;
    jpeg_set_defaults(&w.c);
    jpeg_set_colorspace(&w.c, s.stored);
    if (s.in == JCS_CMYK && !s.adobeMarker) w.c.write_Adobe_marker = FALSE;
    jpeg_set_quality(&w.c, 95, TRUE);
    if (s.progressive) jpeg_simple_progression(&w.c);
    if (s.progressiveScans > 0) {
        // First passes of DC and of each AC coefficient at Al 10, then refinements one bit at
        // a time until the count is reached: every script of 64..704 scans is valid.
        int n = 0;
        auto add = [&](int ss, int se, int ah, int al) {
            if (n < s.progressiveScans)
                w.script[static_cast<std::size_t>(n++)] = jpeg_scan_info{1, {0}, ss, se, ah, al};
        };
        for (int k = 0; k < 64; ++k)
            add(k, k, 0, 10);
        for (int k = 0; k < 64; ++k)
            for (int ah = 10; ah > 0; --ah)
                add(k, k, ah, ah - 1);
        w.c.scan_info = w.script.data();
        w.c.num_scans = n;
    }
    w.c.arith_code = s.arith ? TRUE : FALSE;
    w.c.restart_in_rows = s.restartRows;
    w.c.density_unit = static_cast<UINT8>(s.densityUnit);
    w.c.X_density = static_cast<UINT16>(s.xDensity);
    w.c.Y_density = static_cast<UINT16>(s.yDensity);
    jpeg_start_compress(&w.c, TRUE);
    while (w.c.next_scanline < w.c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(px + static_cast<std::size_t>(w.c.next_scanline) *
                                                     static_cast<std::size_t>(s.w * comps));
        jpeg_write_scanlines(&w.c, &row, 1);
    }
    jpeg_finish_compress(&w.c);
    return true;
}

Bytes makeJpeg(const JpegShape& s, const Bytes& px) {
    const int comps = s.in == JCS_GRAYSCALE ? 1 : (s.in == JCS_CMYK ? 4 : 3);
    EXPECT_EQ(px.size(), static_cast<std::size_t>(s.w * s.h * comps));
    JpegWriter w;
    const bool ok = compressJpeg(w, s, px.data(), comps);
    std::unique_ptr<unsigned char, decltype(&std::free)> owner(w.buf, &std::free);
    EXPECT_TRUE(ok) << "test JPEG writer failed";
    if (!ok || !w.buf) return {};
    return Bytes(w.buf, w.buf + w.size);
}

// Four 16x16 blocks of flat colour on a 32x32 picture: flat blocks keep JPEG loss small.
constexpr std::array<Rgb, 4> kBlockColors = {Rgb{230, 30, 30}, Rgb{30, 200, 50}, Rgb{40, 50, 220},
                                             Rgb{240, 235, 190}};
int blockOf(int x, int y) {
    return (y / 16) * 2 + (x / 16);
}

Bytes rgbBlocks(int w, int h) {
    Bytes px;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgb c = kBlockColors[blockOf(x % 32, y % 32)];
            px.insert(px.end(), {c.r, c.g, c.b});
        }
    return px;
}

void expectBlocks(const Image& img, const std::array<Rgb, 4>& want, int tol) {
    for (int b = 0; b < 4; ++b) {
        const std::uint32_t x = (b % 2) * 16 + 8, y = (b / 2) * 16 + 8;
        const Rgb got = img.PixelColor(x, y);
        EXPECT_TRUE(near(got, want[b], tol))
            << "block " << b << " got " << show(got) << " want " << show(want[b]);
    }
}

// The SOF marker's offset in a JPEG file, read by walking the marker segments.
// (Header segments only: the frame header always comes before the first scan.)
std::size_t findSof(const Bytes& f) {
    std::size_t p = 2;
    while (p + 4 <= f.size()) {
        if (f[p] != 0xFF || f[p + 1] == 0xFF || f[p + 1] == 0x00) { // stray or fill bytes
            ++p;
            continue;
        }
        const std::uint8_t m = f[p + 1];
        const std::size_t len = (static_cast<std::size_t>(f[p + 2]) << 8) | f[p + 3];
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) return p;
        p += 2 + len;
    }
    return 0;
}

struct JpegCase {
    const char* name;
    JpegShape shape;
};

class JpegVariants : public testing::TestWithParam<JpegCase> {};

TEST_P(JpegVariants, RgbBlocksDecodeWithinTolerance) {
    const JpegShape& s = GetParam().shape;
    const Bytes file = makeJpeg(s, rgbBlocks(s.w, s.h));
    ASSERT_FALSE(file.empty());
    Image img;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodeJpeg(file, img, err)) << err;
    EXPECT_EQ(folio::test::imageFault(img), "");
    EXPECT_EQ(img.GetWidth(), 32u);
    EXPECT_EQ(img.GetHeight(), 32u);
    EXPECT_EQ(img.GetBpp(), 24);
    expectBlocks(img, kBlockColors, 12);
}

JpegShape jpegWith(std::function<void(JpegShape&)> f) {
    JpegShape s;
    f(s);
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Jpeg, JpegVariants,
    testing::Values(JpegCase{"baseline", JpegShape{}},
                    JpegCase{"rgbStored", jpegWith([](JpegShape& s) { s.stored = JCS_RGB; })},
                    JpegCase{"progressive", jpegWith([](JpegShape& s) { s.progressive = true; })},
                    JpegCase{"arithmetic", jpegWith([](JpegShape& s) { s.arith = true; })},
                    JpegCase{"progressiveArithmetic", jpegWith([](JpegShape& s) {
                                 s.progressive = true;
                                 s.arith = true;
                             })},
                    JpegCase{"restartMarkers", jpegWith([](JpegShape& s) { s.restartRows = 1; })}),
    [](const testing::TestParamInfo<JpegCase>& i) { return std::string(i.param.name); });

TEST(JpegDecode, GrayscaleIsEightBitGrayRamp) {
    const std::array<std::uint8_t, 4> levels = {20, 100, 180, 250};
    Bytes px;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            px.push_back(levels[blockOf(x, y)]);
    JpegShape s;
    s.in = JCS_GRAYSCALE;
    s.stored = JCS_GRAYSCALE;
    Image img;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodeJpeg(makeJpeg(s, px), img, err)) << err;
    EXPECT_EQ(folio::test::imageFault(img), "");
    EXPECT_EQ(img.GetBpp(), 8);
    EXPECT_TRUE(img.IsGrayRamp());
    for (int b = 0; b < 4; ++b) {
        const int v = img.Row((b / 2) * 16 + 8)[(b % 2) * 16 + 8];
        EXPECT_LE(absDiff(v, levels[b]), 4) << b;
    }
}

// Ink amounts (0 = none) and the light they leave: each channel times (1 - K).
struct Ink {
    std::uint8_t c, m, y, k;
};
constexpr std::array<Ink, 4> kInks = {Ink{0, 200, 200, 30}, Ink{220, 0, 180, 0},
                                      Ink{200, 160, 0, 60}, Ink{10, 10, 40, 10}};
Rgb inkToRgb(Ink i) {
    auto ch = [&](int v) { return static_cast<std::uint8_t>((255 - v) * (255 - i.k) / 255); };
    return Rgb{ch(i.c), ch(i.m), ch(i.y)};
}

struct CmykCase {
    const char* name;
    J_COLOR_SPACE stored;
    bool adobe; // Adobe files hold the inks inverted
};

class JpegCmyk : public testing::TestWithParam<CmykCase> {};

TEST_P(JpegCmyk, FourComponentsBecomeRgb) {
    const CmykCase& p = GetParam();
    Bytes px;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            const Ink i = kInks[blockOf(x, y)];
            if (p.adobe)
                px.insert(px.end(), {static_cast<std::uint8_t>(255 - i.c),
                                     static_cast<std::uint8_t>(255 - i.m),
                                     static_cast<std::uint8_t>(255 - i.y),
                                     static_cast<std::uint8_t>(255 - i.k)});
            else
                px.insert(px.end(), {i.c, i.m, i.y, i.k});
        }
    JpegShape s;
    s.in = JCS_CMYK;
    s.stored = p.stored;
    s.adobeMarker = p.adobe;
    Image img;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodeJpeg(makeJpeg(s, px), img, err)) << err;
    EXPECT_EQ(folio::test::imageFault(img), "");
    EXPECT_EQ(img.GetBpp(), 24);
    std::array<Rgb, 4> want{};
    for (int b = 0; b < 4; ++b)
        want[b] = inkToRgb(kInks[b]);
    expectBlocks(img, want, 12);
}

INSTANTIATE_TEST_SUITE_P(Jpeg, JpegCmyk,
                         testing::Values(CmykCase{"adobeCmyk", JCS_CMYK, true},
                                         CmykCase{"adobeYcck", JCS_YCCK, true},
                                         CmykCase{"plainCmyk", JCS_CMYK, false}),
                         [](const testing::TestParamInfo<CmykCase>& i) {
                             return std::string(i.param.name);
                         });

TEST(JpegDecode, JfifDensityBecomesDpi) {
    struct Case {
        int unit, x, y;
        std::uint32_t wantX, wantY;
    };
    // Unit 2 is dots per centimetre: 118/cm is 299.72 dpi, 40/cm is 101.6.
    for (const Case c : {Case{1, 300, 150, 300, 150}, Case{2, 118, 40, 300, 102},
                         Case{0, 1, 1, 96, 96}, Case{1, 0, 0, 96, 96}}) {
        JpegShape s;
        s.densityUnit = c.unit;
        s.xDensity = c.x;
        s.yDensity = c.y;
        Image img;
        std::string err;
        ASSERT_TRUE(folio::codecs::decodeJpeg(makeJpeg(s, rgbBlocks(32, 32)), img, err)) << err;
        EXPECT_EQ(img.GetXDpi(), c.wantX) << c.unit << " " << c.x;
        EXPECT_EQ(img.GetYDpi(), c.wantY) << c.unit << " " << c.y;
    }
}

TEST(JpegDecode, OddSizeDecodesWholly) {
    JpegShape s;
    s.w = 37;
    s.h = 21;
    Image img;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodeJpeg(makeJpeg(s, rgbBlocks(37, 21)), img, err)) << err;
    EXPECT_EQ(img.GetWidth(), 37u);
    EXPECT_EQ(img.GetHeight(), 21u);
    // (36, 20) repeats the 32x32 pattern at (4, 20): the blue block.
    EXPECT_TRUE(near(img.PixelColor(36, 20), kBlockColors[2], 16)) << show(img.PixelColor(36, 20));
}

TEST(JpegDecode, EveryTruncationFails) {
    for (const JpegShape& s : {JpegShape{}, jpegWith([](JpegShape& j) { j.progressive = true; }),
                               jpegWith([](JpegShape& j) { j.arith = true; })}) {
        const Bytes file = makeJpeg(s, rgbBlocks(32, 32));
        ASSERT_GT(file.size(), 100u);
        expectPrefixesFail(folio::codecs::decodeJpeg, file);
    }
}

TEST(JpegDecode, CorruptScanDataFailsSilently) {
    Bytes file = makeJpeg(JpegShape{}, rgbBlocks(32, 32));
    // A marker planted inside the entropy-coded data ends the segment early.
    std::size_t sos = 0;
    for (std::size_t i = 2; i + 1 < file.size(); ++i)
        if (file[i] == 0xFF && file[i + 1] == 0xDA) sos = i;
    ASSERT_GT(sos, 0u);
    const std::size_t mid = sos + (file.size() - sos) / 2;
    file[mid] = 0xFF;
    file[mid + 1] = 0xD0 + 5; // an out-of-sequence restart marker
    testing::internal::CaptureStderr();
    Image img;
    std::string err;
    EXPECT_FALSE(folio::codecs::decodeJpeg(file, img, err));
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(JpegDecode, StrayBytesBetweenHeaderSegmentsPass) {
    const Bytes clean = makeJpeg(JpegShape{}, rgbBlocks(32, 32));
    std::size_t dqt = 0;
    for (std::size_t i = 2; i + 1 < clean.size() && !dqt; ++i)
        if (clean[i] == 0xFF && clean[i + 1] == 0xDB) dqt = i;
    ASSERT_GT(dqt, 0u);
    Bytes file = clean;
    file.insert(file.begin() + static_cast<std::ptrdiff_t>(dqt), {0x00, 0x11, 0x22});
    testing::internal::CaptureStderr();
    Image img;
    std::string err;
    EXPECT_TRUE(folio::codecs::decodeJpeg(file, img, err)) << err;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    expectBlocks(img, kBlockColors, 12);
}

TEST(JpegDecode, HugeFrameHeaderIsRefusedAtOnce) {
    Bytes file = makeJpeg(JpegShape{}, rgbBlocks(32, 32));
    const std::size_t sof = findSof(file);
    ASSERT_GT(sof, 0u);
    // SOF: FF Cn, length(2), precision(1), height(2), width(2)
    for (std::size_t at : {sof + 5, sof + 7}) {
        file[at] = 65000 >> 8;
        file[at + 1] = 65000 & 0xFF;
    }
    const auto t0 = std::chrono::steady_clock::now();
    Image img;
    std::string err;
    EXPECT_FALSE(folio::codecs::decodeJpeg(file, img, err));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    EXPECT_NE(err.find("too large"), std::string::npos) << err;
}

TEST(JpegDecode, BeyondTheMemoryBudgetIsRefusedAtOnce) {
    // 20000 x 20000 is within the pixel limit, but not within the budget as RGB (1.2 GB), nor
    // as gray once a progressive file's coefficient buffer (800 MB) is counted.
    struct Case {
        JpegShape shape;
        int comps;
    };
    const Case cases[] = {
        {JpegShape{}, 3},
        {JpegShape{.in = JCS_GRAYSCALE, .stored = JCS_GRAYSCALE, .progressive = true}, 1}};
    for (const Case& c : cases) {
        Bytes file = makeJpeg(c.shape, Bytes(32 * 32 * static_cast<std::size_t>(c.comps), 128));
        const std::size_t sof = findSof(file);
        ASSERT_GT(sof, 0u);
        for (std::size_t at : {sof + 5, sof + 7}) {
            file[at] = 20000 >> 8;
            file[at + 1] = 20000 & 0xFF;
        }
        const auto t0 = std::chrono::steady_clock::now();
        Image img;
        std::string err;
        EXPECT_FALSE(folio::codecs::decodeJpeg(file, img, err)) << c.comps;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
        EXPECT_NE(err.find("memory budget"), std::string::npos) << err;
    }
}

TEST(JpegDecode, ScanCountIsBounded) {
    struct Case {
        int scans;
        bool loads;
    };
    for (const Case c : {Case{64, true}, Case{500, true}, Case{501, false}, Case{704, false}}) {
        JpegShape shape{.w = 16, .h = 16, .in = JCS_GRAYSCALE, .stored = JCS_GRAYSCALE};
        shape.progressiveScans = c.scans;
        Bytes px(16 * 16);
        for (std::size_t i = 0; i < px.size(); ++i)
            px[i] = static_cast<std::uint8_t>(i);
        const Bytes file = makeJpeg(shape, px);
        ASSERT_FALSE(file.empty());
        Image img;
        std::string err;
        testing::internal::CaptureStderr();
        EXPECT_EQ(folio::codecs::decodeJpeg(file, img, err), c.loads) << c.scans << ": " << err;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        if (!c.loads) {
            EXPECT_NE(err.find("progressive scans"), std::string::npos) << err;
        }
    }
}

TEST(JpegDecode, GarbageFailsSilently) {
    testing::internal::CaptureStderr();
    const std::vector<Bytes> inputs = {
        {}, {0xFF}, {0xFF, 0xD8}, {0xFF, 0xD8, 0xFF, 0xD9}, Bytes(300, 0xFF), [] {
            Bytes b{0xFF, 0xD8};
            for (int i = 0; i < 500; ++i)
                b.push_back(static_cast<std::uint8_t>(i * 131 + 7));
            return b;
        }()};
    for (const Bytes& in : inputs) {
        Image img;
        std::string err;
        EXPECT_FALSE(folio::codecs::decodeJpeg(in, img, err)) << in.size();
        EXPECT_FALSE(err.empty());
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

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

std::uint32_t getBe32(const Bytes& b, std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
           (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

// The offset of the first chunk of the given type, or 0.
std::size_t findChunk(const Bytes& f, const char* type) {
    std::size_t p = 8;
    while (p + 12 <= f.size()) {
        if (std::memcmp(&f[p + 4], type, 4) == 0) return p;
        p += 12 + getBe32(f, p);
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
        const auto t0 = std::chrono::steady_clock::now();
        testing::internal::CaptureStderr();
        Image img;
        std::string err;
        EXPECT_FALSE(folio::codecs::decodePng(file, img, err)) << c.w;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
        EXPECT_FALSE(err.empty());
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
        file[at + 8 + getBe32(file, at)] ^= 0x01; // first CRC byte
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

TEST(PngDecode, EveryTruncationFails) {
    PngShape s;
    s.w = 9;
    s.h = 7;
    expectPrefixesFail(folio::codecs::decodePng, makePng(s));
    s.colorType = PNG_COLOR_TYPE_PALETTE;
    s.depth = 4;
    s.palette = testPalette(16);
    s.interlaced = true;
    expectPrefixesFail(folio::codecs::decodePng, makePng(s));
}

TEST(PngDecode, GarbageFailsSilently) {
    const Bytes sig = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<Bytes> inputs = {{}, sig, Bytes(100, 0)};
    Bytes noise = sig;
    for (int i = 0; i < 400; ++i)
        noise.push_back(static_cast<std::uint8_t>(i * 97 + 13));
    inputs.push_back(noise);
    // A valid file with its pixel data scrambled (CRC repaired so that zlib sees the damage).
    Bytes scrambled = makePng(PngShape{});
    const std::size_t idat = findChunk(scrambled, "IDAT");
    ASSERT_GT(idat, 0u);
    const std::uint32_t len = getBe32(scrambled, idat);
    for (std::uint32_t i = 2; i < len; ++i)
        scrambled[idat + 8 + i] ^= 0x5A;
    folio::test::ByteWriter(scrambled).setU32be(
        idat + 8 + len, folio::test::crc32({&scrambled[idat + 4], len + 4}));
    inputs.push_back(scrambled);
    testing::internal::CaptureStderr();
    for (const Bytes& in : inputs) {
        Image img;
        std::string err;
        EXPECT_FALSE(folio::codecs::decodePng(in, img, err)) << in.size();
        EXPECT_FALSE(err.empty());
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// ---------------------------------------------------------------------------------------
// GIF writer (giflib EGif into memory)

struct GifFrameShape {
    int left = 0, top = 0, w = 0, h = 0;
    bool interlaced = false;
    int tableSize = 0; // 0: no local table
    int transparent = -1;
    std::function<std::uint8_t(int, int)> index; // pixel (x, y) of the frame
};

struct GifShape {
    int w = 0, h = 0;
    int globalSize = 0; // 0: no global table
    int background = 0;
    std::vector<GifFrameShape> frames;
};

// Table `seed` (0 global, frame number for local tables), entry i.
Rgb tableColor(int seed, int i) {
    return Rgb{static_cast<std::uint8_t>(i * 37 + seed * 50),
               static_cast<std::uint8_t>(i * 91 + seed * 20),
               static_cast<std::uint8_t>(255 - i + seed * 70)};
}

struct MapDeleter {
    void operator()(ColorMapObject* m) const { GifFreeMapObject(m); }
};
using MapPtr = std::unique_ptr<ColorMapObject, MapDeleter>;

MapPtr makeMap(int size, int seed) {
    if (size == 0) return nullptr;
    std::vector<GifColorType> colors;
    for (int i = 0; i < size; ++i) {
        const Rgb c = tableColor(seed, i);
        colors.push_back(GifColorType{c.r, c.g, c.b});
    }
    return MapPtr(GifMakeMapObject(size, colors.data()));
}

int gifCollect(GifFileType* gif, const GifByteType* data, int n) {
    auto* out = static_cast<Bytes*>(gif->UserData);
    out->insert(out->end(), data, data + n);
    return n;
}

struct GifWriterCloser {
    void operator()(GifFileType* g) const {
        int e = 0;
        EGifCloseFile(g, &e);
    }
};

// The order in which an interlaced frame of 10 rows is stored.
constexpr std::array<int, 10> kInterlaced10 = {0, 8, 4, 2, 6, 1, 3, 5, 7, 9};

std::vector<int> rowOrder(const GifFrameShape& f) {
    std::vector<int> order;
    if (f.interlaced) {
        EXPECT_EQ(f.h, 10) << "interlaced test frames are 10 rows";
        order.assign(kInterlaced10.begin(), kInterlaced10.end());
    } else {
        for (int y = 0; y < f.h; ++y)
            order.push_back(y);
    }
    return order;
}

Bytes makeGif(const GifShape& s) {
    Bytes out;
    int error = 0;
    std::unique_ptr<GifFileType, GifWriterCloser> gif(EGifOpen(&out, gifCollect, &error));
    EXPECT_TRUE(gif);
    if (!gif) return {};
    EGifSetGifVersion(gif.get(), true);
    MapPtr global = makeMap(s.globalSize, 0);
    EXPECT_EQ(EGifPutScreenDesc(gif.get(), s.w, s.h, 8, s.background, global.get()), GIF_OK);
    int n = 0;
    for (const GifFrameShape& f : s.frames) {
        ++n;
        if (f.transparent >= 0) {
            const std::uint8_t gce[4] = {0x01, 0, 0, static_cast<std::uint8_t>(f.transparent)};
            EXPECT_EQ(EGifPutExtension(gif.get(), GRAPHICS_EXT_FUNC_CODE, 4, gce), GIF_OK);
        }
        MapPtr local = makeMap(f.tableSize, n);
        EXPECT_EQ(EGifPutImageDesc(gif.get(), f.left, f.top, f.w, f.h, f.interlaced, local.get()),
                  GIF_OK);
        std::vector<GifPixelType> line(static_cast<std::size_t>(f.w));
        for (int y : rowOrder(f)) {
            for (int x = 0; x < f.w; ++x)
                line[x] = f.index(x, y);
            EXPECT_EQ(EGifPutLine(gif.get(), line.data(), f.w), GIF_OK);
        }
    }
    gif.reset(); // writes the trailer
    return out;
}

GifFrameShape frame(int left, int top, int w, int h, std::function<std::uint8_t(int, int)> index,
                    int tableSize = 0, int transparent = -1, bool interlaced = false) {
    GifFrameShape f;
    f.left = left;
    f.top = top;
    f.w = w;
    f.h = h;
    f.index = std::move(index);
    f.tableSize = tableSize;
    f.transparent = transparent;
    f.interlaced = interlaced;
    return f;
}

struct GifTableCase {
    int tableSize;
    bool local;
    std::uint16_t wantBpp;
};

class GifTables : public testing::TestWithParam<GifTableCase> {};

TEST_P(GifTables, DepthFollowsTheTableInForce) {
    const GifTableCase& c = GetParam();
    GifShape s;
    s.w = 12;
    s.h = 10;
    // A local table must win over a global one of another size.
    s.globalSize = c.local ? (c.tableSize == 256 ? 2 : 256) : c.tableSize;
    const int n = c.tableSize;
    s.frames.push_back(frame(
        0, 0, 12, 10, [n](int x, int y) { return static_cast<std::uint8_t>((x + 3 * y) % n); },
        c.local ? c.tableSize : 0));
    Image img;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodeGif(makeGif(s), img, err)) << err;
    EXPECT_EQ(folio::test::imageFault(img), "");
    EXPECT_EQ(img.GetWidth(), 12u);
    EXPECT_EQ(img.GetHeight(), 10u);
    EXPECT_EQ(img.GetBpp(), c.wantBpp);
    const int seed = c.local ? 1 : 0;
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 12; ++x)
            ASSERT_EQ(img.PixelColor(x, y), tableColor(seed, (x + 3 * y) % n)) << x << "," << y;
    // Entries past the file's table are black.
    for (std::size_t i = static_cast<std::size_t>(n); i < img.GetPalette().size(); ++i)
        EXPECT_EQ(img.GetPalette()[i], Rgb{}) << i;
}

INSTANTIATE_TEST_SUITE_P(Gif, GifTables,
                         testing::Values(GifTableCase{2, false, 1}, GifTableCase{4, false, 4},
                                         GifTableCase{8, false, 4}, GifTableCase{16, false, 4},
                                         GifTableCase{32, false, 8}, GifTableCase{256, false, 8},
                                         GifTableCase{2, true, 1}, GifTableCase{16, true, 4},
                                         GifTableCase{256, true, 8}),
                         [](const testing::TestParamInfo<GifTableCase>& i) {
                             return "size" + std::to_string(i.param.tableSize) +
                                    (i.param.local ? "Local" : "Global");
                         });

TEST(GifDecode, InterlacedRowsLandInPlace) {
    GifShape s;
    s.w = 6;
    s.h = 10;
    s.globalSize = 16;
    s.frames.push_back(frame(
        0, 0, 6, 10, [](int, int y) { return static_cast<std::uint8_t>(y); }, 0, -1, true));
    Image img;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodeGif(makeGif(s), img, err)) << err;
    for (std::uint32_t y = 0; y < 10; ++y)
        for (std::uint32_t x = 0; x < 6; ++x)
            ASSERT_EQ(img.Row(y)[x], y) << x << "," << y;
}

TEST(GifDecode, FrameIsPlacedOnTheScreenOverBackground) {
    GifShape s;
    s.w = 20;
    s.h = 16;
    s.globalSize = 16;
    s.background = 5;
    s.frames.push_back(frame(
        4, 3, 10, 8, [](int x, int y) { return static_cast<std::uint8_t>(x + y < 5 ? 9 : 12); }));
    Image img;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodeGif(makeGif(s), img, err)) << err;
    EXPECT_EQ(img.GetWidth(), 20u);
    EXPECT_EQ(img.GetHeight(), 16u);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 20; ++x) {
            const bool inside = x >= 4 && x < 14 && y >= 3 && y < 11;
            const int want = !inside ? 5 : ((x - 4) + (y - 3) < 5 ? 9 : 12);
            ASSERT_EQ(img.Row(y)[x], want) << x << "," << y;
        }
}

TEST(GifDecode, FrameStickingOutIsClipped) {
    GifShape s;
    s.w = 10;
    s.h = 10;
    s.globalSize = 4;
    s.background = 9; // outside the 4-entry table: index 0 instead
    s.frames.push_back(
        frame(6, 7, 8, 8, [](int x, int y) { return static_cast<std::uint8_t>(1 + (x + y) % 3); }));
    Image img;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodeGif(makeGif(s), img, err)) << err;
    EXPECT_EQ(img.GetWidth(), 10u);
    EXPECT_EQ(img.GetBpp(), 4);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x) {
            const int want = (x >= 6 && y >= 7) ? 1 + ((x - 6) + (y - 7)) % 3 : 0;
            ASSERT_EQ(img.Row(y)[x], want) << x << "," << y;
        }
}

// Rebuilds a file made with a 256-entry global table as one whose table has `entries`,
// leaving the frame's 8-bit code size (and so its indices) alone.
Bytes shrinkGlobalTable(const Bytes& file, int entries) {
    Bytes out(file.begin(), file.begin() + 13);
    int bits = 0;
    while ((2 << bits) < entries)
        ++bits;
    out[10] = static_cast<std::uint8_t>((out[10] & 0x78) | (entries ? 0x80 | bits : 0));
    out.insert(out.end(), file.begin() + 13, file.begin() + 13 + 3 * entries);
    out.insert(out.end(), file.begin() + 13 + 3 * 256, file.end());
    return out;
}

TEST(GifDecode, IndicesPastThePaletteBecomeZero) {
    GifShape s;
    s.w = 8;
    s.h = 4;
    s.globalSize = 256;
    s.frames.push_back(
        frame(0, 0, 8, 4, [](int x, int) { return static_cast<std::uint8_t>(x < 4 ? 200 : 3); }));
    const Bytes file = shrinkGlobalTable(makeGif(s), 4);
    Image img;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodeGif(file, img, err)) << err;
    EXPECT_EQ(folio::test::imageFault(img), "");
    EXPECT_EQ(img.GetBpp(), 4);
    EXPECT_EQ(img.Row(0)[0], 0);
    EXPECT_EQ(img.Row(0)[5], 3);
    EXPECT_EQ(img.PixelColor(5, 0), tableColor(0, 3));
}

TEST(GifDecode, FirstImageWithoutAnyTableFails) {
    GifShape s;
    s.w = 8;
    s.h = 4;
    s.globalSize = 256;
    s.frames.push_back(frame(0, 0, 8, 4, [](int x, int) { return static_cast<std::uint8_t>(x); }));
    Image img;
    std::string err;
    EXPECT_FALSE(folio::codecs::decodeGif(shrinkGlobalTable(makeGif(s), 0), img, err));
    EXPECT_FALSE(err.empty());
}

// No global table, several frames, the first smaller in both directions: one RGB picture.
GifShape composedShape() {
    GifShape s;
    s.w = 20;
    s.h = 20;
    s.frames.push_back(frame(
        0, 0, 10, 10, [](int, int) { return std::uint8_t{1}; }, 4));
    // Index 0 is transparent in the second frame: only its right half covers the canvas.
    s.frames.push_back(frame(
        5, 5, 10, 10, [](int x, int) { return static_cast<std::uint8_t>(x < 5 ? 0 : 2); }, 8, 0));
    s.frames.push_back(frame(
        16, 0, 8, 6, [](int, int) { return std::uint8_t{3}; }, 4));
    return s;
}

TEST(GifDecode, PiecesWithoutSharedTableAreComposed) {
    Image img;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodeGif(makeGif(composedShape()), img, err)) << err;
    EXPECT_EQ(folio::test::imageFault(img), "");
    EXPECT_EQ(img.GetWidth(), 20u);
    EXPECT_EQ(img.GetHeight(), 20u);
    EXPECT_EQ(img.GetBpp(), 24);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) {
            Rgb want{}; // uncovered: black
            if (x < 10 && y < 10) want = tableColor(1, 1);
            if (x >= 10 && x < 15 && y >= 5 && y < 15) want = tableColor(2, 2);
            if (x >= 16 && y < 6) want = tableColor(3, 3);
            ASSERT_EQ(img.PixelColor(x, y), want)
                << x << "," << y << " " << show(img.PixelColor(x, y));
        }
}

TEST(GifDecode, NotComposedUnlessAllConditionsHold) {
    struct Case {
        const char* name;
        GifShape shape;
        std::uint16_t wantBpp;
    };
    GifShape withGlobal = composedShape();
    withGlobal.globalSize = 2;
    GifShape sameWidth = composedShape();
    sameWidth.frames[0].w = 20;
    GifShape sameHeight = composedShape();
    sameHeight.frames[0].h = 20;
    GifShape single = composedShape();
    single.frames.resize(1);
    for (const Case& c : {Case{"global table", withGlobal, 4}, Case{"same width", sameWidth, 4},
                          Case{"same height", sameHeight, 4}, Case{"single frame", single, 4}}) {
        Image img;
        std::string err;
        ASSERT_TRUE(folio::codecs::decodeGif(makeGif(c.shape), img, err)) << c.name << err;
        EXPECT_EQ(img.GetBpp(), c.wantBpp) << c.name;
        EXPECT_EQ(img.GetWidth(), 20u) << c.name;
        EXPECT_EQ(img.PixelColor(0, 0), tableColor(1, 1)) << c.name; // the first frame only
        EXPECT_EQ(img.PixelColor(12, 12), img.PixelColor(19, 19)) << c.name;
    }
}

TEST(GifDecode, EveryTruncationFails) {
    GifShape s;
    s.w = 12;
    s.h = 10;
    s.globalSize = 16;
    s.frames.push_back(frame(
        1, 0, 10, 10, [](int x, int y) { return static_cast<std::uint8_t>((x * y) % 16); }, 0, 3,
        true));
    const Bytes one = makeGif(s);
    // Only the trailer byte is not needed: everything up to the end of the first image is.
    expectPrefixesFail(folio::codecs::decodeGif, one, 0, one.size() - 1);
    Image img;
    std::string err;
    EXPECT_TRUE(folio::codecs::decodeGif(Bytes(one.begin(), one.end() - 1), img, err)) << err;
    // A composed file needs every frame, up to its trailer.
    expectPrefixesFail(folio::codecs::decodeGif, makeGif(composedShape()));
}

// Patches the first image descriptor of a file with a 2-entry global table and no extension.
Bytes withFrameSize(Bytes file, int w, int h) {
    const std::size_t desc = 13 + 6;
    EXPECT_EQ(file[desc], 0x2C);
    file[desc + 5] = static_cast<std::uint8_t>(w);
    file[desc + 6] = static_cast<std::uint8_t>(w >> 8);
    file[desc + 7] = static_cast<std::uint8_t>(h);
    file[desc + 8] = static_cast<std::uint8_t>(h >> 8);
    return file;
}

TEST(GifDecode, LyingSizesAreRefusedAtOnce) {
    GifShape s;
    s.w = 4;
    s.h = 4;
    s.globalSize = 2;
    s.frames.push_back(frame(0, 0, 1, 1, [](int, int) { return std::uint8_t{1}; }));
    Bytes screenBomb = makeGif(s);
    screenBomb[6] = screenBomb[7] = screenBomb[8] = screenBomb[9] = 0xFF; // 65535 x 65535
    const Bytes frameBomb = withFrameSize(makeGif(s), 65535, 65535);
    for (const Bytes& file : {screenBomb, frameBomb}) {
        const auto t0 = std::chrono::steady_clock::now();
        Image img;
        std::string err;
        EXPECT_FALSE(folio::codecs::decodeGif(file, img, err));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
        EXPECT_NE(err.find("too large"), std::string::npos) << err;
    }
}

TEST(GifDecode, GarbageFailsSilently) {
    std::vector<Bytes> inputs = {{}, {'G', 'I', 'F'}, {'G', 'I', 'F', '8', '9', 'a'}, Bytes(64, 0)};
    Bytes noise = {'G', 'I', 'F', '8', '9', 'a', 8, 0, 8, 0, 0x80, 0, 0, 0, 0, 0, 255, 255, 255};
    for (int i = 0; i < 300; ++i)
        noise.push_back(static_cast<std::uint8_t>(i * 53 + 1));
    inputs.push_back(noise);
    testing::internal::CaptureStderr();
    for (const Bytes& in : inputs) {
        Image img;
        std::string err;
        EXPECT_FALSE(folio::codecs::decodeGif(in, img, err)) << in.size();
        EXPECT_FALSE(err.empty());
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(JpegPngGifThreads, DecodersAreReentrant) {
    JpegShape js;
    js.progressive = true;
    const Bytes jpeg = makeJpeg(js, rgbBlocks(32, 32));
    PngShape ps;
    ps.colorType = PNG_COLOR_TYPE_RGB;
    ps.interlaced = true;
    const Bytes png = makePng(ps);
    const Bytes gif = makeGif(composedShape());
    const std::vector<std::pair<Decoder, const Bytes*>> jobs = {{folio::codecs::decodeJpeg, &jpeg},
                                                                {folio::codecs::decodePng, &png},
                                                                {folio::codecs::decodeGif, &gif}};
    std::vector<std::vector<std::uint8_t>> reference;
    for (const auto& [decode, file] : jobs) {
        Image img;
        std::string err;
        ASSERT_TRUE(decode(*file, img, err)) << err;
        reference.push_back(img.Pixels());
    }
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round)
                for (std::size_t j = 0; j < jobs.size(); ++j) {
                    Image img;
                    std::string err;
                    if (!jobs[j].first(*jobs[j].second, img, err) || img.Pixels() != reference[j])
                        ++mismatches[t];
                }
        });
    for (auto& th : threads)
        th.join();
    for (int m : mismatches)
        EXPECT_EQ(m, 0);
}

// ---------------------------------------------------------------------------------------
// The shared corpus

Bytes corpusFile(const char* folder, const char* name) {
    return folio::test::readFile((folio::test::corpusDir() / folder / name).string());
}

// Loads every file of the folders: success must look sane, failure must say why, and
// nothing may be printed either way.
void sweepCorpus(Decoder decode, std::initializer_list<const char*> folders) {
    int seen = 0;
    for (const char* folder : folders)
        for (const auto& path : folio::test::corpusFiles({folder})) {
            ++seen;
            const Bytes file = folio::test::readFile(path.string());
            testing::internal::CaptureStderr();
            Image img;
            std::string err;
            const bool ok = decode(file, img, err);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << path;
            if (ok) {
                SCOPED_TRACE(path.string());
                EXPECT_EQ(folio::test::imageFault(img), "");
                EXPECT_LE(img.GetWidth(), 10000u);
                EXPECT_LE(img.GetHeight(), 10000u);
            } else {
                EXPECT_FALSE(err.empty()) << path;
            }
        }
    EXPECT_GT(seen, 0);
}

TEST(JpegCorpus, EveryFileLoadsOrFailsCleanly) {
    FOLIO_REQUIRE_CORPUS();
    sweepCorpus(folio::codecs::decodeJpeg, {"jpg", "jpeg"});
}

TEST(PngCorpus, EveryFileLoadsOrFailsCleanly) {
    FOLIO_REQUIRE_CORPUS();
    sweepCorpus(folio::codecs::decodePng, {"png"});
}

TEST(GifCorpus, EveryFileLoadsOrFailsCleanly) {
    FOLIO_REQUIRE_CORPUS();
    sweepCorpus(folio::codecs::decodeGif, {"gif"});
}

// Size and component count from the frame header, density from the JFIF segment.
struct JpegHeader {
    std::uint32_t w = 0, h = 0;
    int components = 0;
    int unit = -1;
    std::uint32_t xDensity = 0, yDensity = 0;
};

JpegHeader readJpegHeader(const Bytes& f) {
    JpegHeader h;
    const std::size_t sof = findSof(f);
    if (sof && sof + 10 <= f.size()) {
        h.h = (std::uint32_t{f[sof + 5]} << 8) | f[sof + 6];
        h.w = (std::uint32_t{f[sof + 7]} << 8) | f[sof + 8];
        h.components = f[sof + 9];
    }
    if (f.size() > 18 && f[2] == 0xFF && f[3] == 0xE0 && std::memcmp(&f[6], "JFIF", 5) == 0) {
        h.unit = f[13];
        h.xDensity = (std::uint32_t{f[14]} << 8) | f[15];
        h.yDensity = (std::uint32_t{f[16]} << 8) | f[17];
    }
    return h;
}

TEST(JpegCorpus, KnownFilesMatchTheirHeaders) {
    FOLIO_REQUIRE_CORPUS();
    const std::vector<std::pair<const char*, const char*>> good = {
        {"jpg", "pil_hopper.jpg"},
        {"jpg", "pil_hopper_gray.jpg"},
        {"jpg", "pil_pil_sample_cmyk.jpg"},
        {"jpg", "pil_pil_sample_rgb.jpg"},
        {"jpg", "irs_progressive_3.jpg"},
        {"jpg", "pil_flower.jpg"},
        {"jpg", "irs_cat.jpg"},
        {"jpg", "pil_icc-after-SOF.jpg"},
        {"jpg", "pil_junk_jpeg_header.jpg"},
        {"jpeg", "pil_renamed_hopper_gray.jpeg"},
        {"jpeg", "pil_renamed_pil_sample_cmyk.jpeg"}};
    for (const auto& [folder, name] : good) {
        const Bytes file = corpusFile(folder, name);
        const JpegHeader h = readJpegHeader(file);
        ASSERT_GT(h.components, 0) << name;
        Image img;
        std::string err;
        ASSERT_TRUE(folio::codecs::decodeJpeg(file, img, err)) << name << ": " << err;
        EXPECT_EQ(img.GetWidth(), h.w) << name;
        EXPECT_EQ(img.GetHeight(), h.h) << name;
        EXPECT_EQ(img.GetBpp(), h.components == 1 ? 8 : 24) << name;
        if (h.components == 1) {
            EXPECT_TRUE(img.IsGrayRamp()) << name;
        }
        if (h.unit == 1 && h.xDensity > 0) {
            EXPECT_EQ(img.GetXDpi(), h.xDensity) << name;
        }
    }
    // Named by what they are: gray and CMYK.
    EXPECT_EQ(readJpegHeader(corpusFile("jpg", "pil_hopper_gray.jpg")).components, 1);
    EXPECT_EQ(readJpegHeader(corpusFile("jpg", "pil_pil_sample_cmyk.jpg")).components, 4);

    Image img;
    std::string err;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(folio::codecs::decodeJpeg(corpusFile("jpg", "pil_truncated_jpeg.jpg"), img, err));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(JpegCorpus, CmykSampleLooksLikeTheRgbSample) {
    FOLIO_REQUIRE_CORPUS();
    Image cmyk, rgb;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodeJpeg(corpusFile("jpg", "pil_pil_sample_cmyk.jpg"), cmyk, err))
        << err;
    ASSERT_TRUE(folio::codecs::decodeJpeg(corpusFile("jpg", "pil_pil_sample_rgb.jpg"), rgb, err))
        << err;
    ASSERT_EQ(cmyk.GetWidth(), rgb.GetWidth());
    ASSERT_EQ(cmyk.GetHeight(), rgb.GetHeight());
    // Same picture through different colour models: close on average, nowhere near a negative.
    double diff = 0, negativeDiff = 0;
    const auto& a = cmyk.Pixels();
    const auto& b = rgb.Pixels();
    for (std::size_t i = 0; i < a.size(); ++i) {
        diff += absDiff(a[i], b[i]);
        negativeDiff += absDiff(255 - a[i], b[i]);
    }
    diff /= static_cast<double>(a.size());
    negativeDiff /= static_cast<double>(a.size());
    EXPECT_LT(diff, 25.0);
    EXPECT_GT(negativeDiff, 3 * diff);
}

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
        EXPECT_EQ(img.GetWidth(), getBe32(file, 16)) << stem;
        EXPECT_EQ(img.GetHeight(), getBe32(file, 20)) << stem;
        EXPECT_EQ(file[24], sn.depth) << stem;
        EXPECT_EQ(file[25], sn.colorType) << stem;
        EXPECT_EQ(img.GetBpp(), suiteBpp(sn)) << stem;
        if (sn.colorType == 0 && sn.depth == 8) {
            EXPECT_TRUE(img.IsGrayRamp()) << stem;
        }
        if (sn.colorType == 3) {
            const std::size_t plte = findChunk(file, "PLTE");
            ASSERT_GT(plte, 0u) << stem;
            const std::uint32_t n = getBe32(file, plte) / 3;
            for (std::uint32_t i = 0; i < n && i < img.GetPalette().size(); ++i) {
                const std::size_t at = plte + 8 + 3 * i;
                EXPECT_EQ(img.GetPalette()[i], (Rgb{file[at], file[at + 1], file[at + 2]}))
                    << stem << " entry " << i;
            }
        }
        const std::size_t phys = findChunk(file, "pHYs");
        if (phys && file[phys + 16] == 1) {
            EXPECT_EQ(img.GetXDpi(), (getBe32(file, phys + 8) * 254 + 5000) / 10000) << stem;
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
        ASSERT_TRUE(folio::codecs::decodePng(corpusFile("png", n.c_str()), plain, err)) << n;
        ASSERT_TRUE(folio::codecs::decodePng(corpusFile("png", i.c_str()), interlaced, err)) << i;
        EXPECT_EQ(plain.GetBpp(), interlaced.GetBpp()) << kind;
        EXPECT_TRUE(plain.Pixels() == interlaced.Pixels()) << kind;
        EXPECT_TRUE(plain.GetPalette() == interlaced.GetPalette()) << kind;
    }
}

TEST(PngCorpus, LowDepthGrayPalettes) {
    FOLIO_REQUIRE_CORPUS();
    Image img;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodePng(corpusFile("png", "pngsuite_basn0g02.png"), img, err));
    EXPECT_EQ(img.GetBpp(), 4);
    EXPECT_EQ(img.GetPalette()[1], (Rgb{85, 85, 85}));
    EXPECT_EQ(img.GetPalette()[3], (Rgb{255, 255, 255}));
    ASSERT_TRUE(folio::codecs::decodePng(corpusFile("png", "pngsuite_basn0g01.png"), img, err));
    EXPECT_EQ(img.GetBpp(), 1);
    EXPECT_EQ(img.GetPalette()[1], (Rgb{255, 255, 255}));
}

// What a GIF's own bytes say: screen size and the table in force for its first image.
struct GifHeader {
    std::uint32_t w = 0, h = 0;
    int firstTable = 0; // entries, 0 when the first image has none
    bool hasImage = false;
};

GifHeader readGifHeader(const Bytes& f) {
    GifHeader g;
    if (f.size() < 13) return g;
    g.w = f[6] | (f[7] << 8);
    g.h = f[8] | (f[9] << 8);
    const int global = (f[10] & 0x80) ? (2 << (f[10] & 7)) : 0;
    std::size_t p = 13 + 3 * static_cast<std::size_t>(global);
    while (p < f.size()) {
        if (f[p] == 0x21) { // extension: label, then sub-blocks
            p += 2;
            while (p < f.size() && f[p] != 0)
                p += f[p] + 1u;
            ++p;
        } else if (f[p] == 0x2C && p + 10 <= f.size()) {
            const int local = (f[p + 9] & 0x80) ? (2 << (f[p + 9] & 7)) : 0;
            g.firstTable = local ? local : global;
            g.hasImage = true;
            return g;
        } else {
            return g;
        }
    }
    return g;
}

TEST(GifCorpus, KnownFilesMatchTheirHeaders) {
    FOLIO_REQUIRE_CORPUS();
    const char* good[] = {"im_input.gif",
                          "irs_interlaced.gif",
                          "irs_issue_1455_oversized.gif",
                          "irs_sample_1.gif",
                          "pil_background_outside_palette.gif",
                          "pil_chi.gif",
                          "pil_first_frame_transparency.gif",
                          "pil_hopper.gif",
                          "pil_iss634.gif",
                          "pil_no_palette_after_rgb.gif",
                          "pil_test.colors.gif",
                          "pil_test_extents.gif",
                          "pil_text_mono.gif",
                          "pil_transparent.gif"};
    for (const char* name : good) {
        const Bytes file = corpusFile("gif", name);
        const GifHeader h = readGifHeader(file);
        ASSERT_TRUE(h.hasImage && h.firstTable > 0) << name;
        Image img;
        std::string err;
        ASSERT_TRUE(folio::codecs::decodeGif(file, img, err)) << name << ": " << err;
        EXPECT_EQ(img.GetWidth(), h.w) << name;
        EXPECT_EQ(img.GetHeight(), h.h) << name;
        EXPECT_EQ(img.GetBpp(), h.firstTable == 2 ? 1 : (h.firstTable <= 16 ? 4 : 8)) << name;
    }
    // No table for the first image, no image at all, an empty screen, junk after the header.
    for (const char* name : {"pil_no_palette.gif", "pil_decompression_bomb.gif",
                             "pil_zero_width.gif", "irs_zero-loop-count.gif"}) {
        Image img;
        std::string err;
        EXPECT_FALSE(folio::codecs::decodeGif(corpusFile("gif", name), img, err)) << name;
    }
}

TEST(GifCorpus, FirstFrameOffsetLeavesBackground) {
    FOLIO_REQUIRE_CORPUS();
    // A 50x50 frame at x = 25 on a 75x50 screen whose background index is 0.
    const Bytes file = corpusFile("gif", "pil_first_frame_transparency.gif");
    ASSERT_EQ(file[11], 0); // background index
    Image img;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodeGif(file, img, err)) << err;
    ASSERT_EQ(img.GetWidth(), 75u);
    for (std::uint32_t y = 0; y < img.GetHeight(); ++y)
        for (std::uint32_t x = 0; x < 25; ++x)
            ASSERT_EQ(img.Row(y)[x], 0) << x << "," << y;
}

} // namespace
