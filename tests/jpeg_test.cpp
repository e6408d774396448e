// The JPEG decoder: files made here with libjpeg's writer, hostile variants of them, and
// the shared corpus.
#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace {

using folio::Image;
using folio::Rgb;
using Bytes = std::vector<std::uint8_t>;
using folio::test::expectPrefixesFail;
using folio::test::show;

int absDiff(int a, int b) {
    return a > b ? a - b : b - a;
}

bool near(Rgb a, Rgb b, int tol) {
    return absDiff(a.r, b.r) <= tol && absDiff(a.g, b.g) <= tol && absDiff(a.b, b.b) <= tol;
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

// Baseline files are cut by the codec contract over the seeds; these two are not among them.
TEST(JpegDecode, EveryTruncationFails) {
    for (const JpegShape& s : {jpegWith([](JpegShape& j) { j.progressive = true; }),
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
    folio::test::expectRefusedAtOnce(folio::codecs::decodeJpeg, file, "too large");
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
        SCOPED_TRACE(c.comps);
        folio::test::expectRefusedAtOnce(folio::codecs::decodeJpeg, file, "memory budget");
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

// ---------------------------------------------------------------------------------------
// The shared corpus

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
        const Bytes file = folio::test::corpusBytes(folder, name);
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
    EXPECT_EQ(readJpegHeader(folio::test::corpusBytes("jpg", "pil_hopper_gray.jpg")).components, 1);
    EXPECT_EQ(readJpegHeader(folio::test::corpusBytes("jpg", "pil_pil_sample_cmyk.jpg")).components,
              4);

    Image img;
    std::string err;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(folio::codecs::decodeJpeg(
        folio::test::corpusBytes("jpg", "pil_truncated_jpeg.jpg"), img, err));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(JpegCorpus, CmykSampleLooksLikeTheRgbSample) {
    FOLIO_REQUIRE_CORPUS();
    Image cmyk, rgb;
    std::string err;
    ASSERT_TRUE(folio::codecs::decodeJpeg(
        folio::test::corpusBytes("jpg", "pil_pil_sample_cmyk.jpg"), cmyk, err))
        << err;
    ASSERT_TRUE(folio::codecs::decodeJpeg(folio::test::corpusBytes("jpg", "pil_pil_sample_rgb.jpg"),
                                          rgb, err))
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

} // namespace
