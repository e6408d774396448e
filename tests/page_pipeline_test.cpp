// The page pipeline's shortcuts against the straightforward order (turn, gray, scale) and
// the reduced JPEG decode of --fast against the exact path.
#include "book/making/book_builder.h"
#include "book/image/codecs/Codecs.h"
#include "book/image/kernels.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace folio {
namespace {

// Smooth shading with a fine deterministic texture: what scanned and photographed pages
// look like to a resampler (pure gradients would hide rounding, pure noise exaggerate it).
std::uint8_t texture(std::uint32_t x, std::uint32_t y, std::uint32_t salt) {
    std::uint32_t v = (x * 73856093u) ^ (y * 19349663u) ^ (salt * 83492791u);
    v ^= v >> 13;
    v *= 0x5bd1e995u;
    v ^= v >> 15;
    return static_cast<std::uint8_t>(v & 31u);
}

Image photo(std::uint32_t w, std::uint32_t h) {
    Image im;
    EXPECT_TRUE(im.Create(w, h, 24));
    for (std::uint32_t y = 0; y < h; ++y) {
        std::uint8_t* p = im.Row(y);
        for (std::uint32_t x = 0; x < w; ++x, p += 3) {
            const double fx = double(x) / w, fy = double(y) / h;
            p[0] = static_cast<std::uint8_t>(30 + 180 * fx + texture(x, y, 1));
            p[1] = static_cast<std::uint8_t>(40 + 150 * fy + texture(x, y, 2));
            p[2] = static_cast<std::uint8_t>(60 + 120 * std::fabs(std::sin(7 * fx + 5 * fy)) +
                                             texture(x, y, 3));
        }
    }
    return im;
}

Image palettePicture(std::uint32_t w, std::uint32_t h, bool grayRamp) {
    Image im;
    EXPECT_TRUE(im.Create(w, h, 8));
    if (grayRamp) {
        im.SetGrayPalette();
    } else {
        std::vector<Rgb> colors(256);
        for (unsigned i = 0; i < 256; ++i)
            colors[i] = Rgb{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                            static_cast<std::uint8_t>((i * 7) & 255)};
        im.SetPalette(colors);
    }
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            im.Row(y)[x] = static_cast<std::uint8_t>((x + y) / 4 + texture(x, y, 4));
    return im;
}

// Turn, gray and scale in that order, one whole-picture step after another.
Image straightforwardPage(Image im, bool gray) {
    bool ok = true;
    if (im.GetWidth() < im.GetHeight()) ok = im.RotateLeft();
    if (gray)
        ok = ok && im.GrayScale();
    else if (im.IsIndexed() && !im.IsGrayRamp())
        ok = ok && im.IncreaseBpp24();
    EXPECT_TRUE(ok);
    if (im.GetHeight() != kPageHeight) {
        const auto w =
            static_cast<std::uint32_t>(std::uint64_t{im.GetWidth()} * kPageHeight / im.GetHeight());
        EXPECT_TRUE(im.Resample2(w, kPageHeight));
    }
    return im;
}

int maxDifference(const Image& a, const Image& b) {
    int worst = 0;
    for (std::size_t i = 0; i < a.Pixels().size(); ++i)
        worst = std::max(worst, std::abs(int(a.Pixels()[i]) - int(b.Pixels()[i])));
    return worst;
}

double psnr(const Image& a, const Image& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.Pixels().size(); ++i) {
        const double d = double(a.Pixels()[i]) - double(b.Pixels()[i]);
        sum += d * d;
    }
    const double mse = sum / double(a.Pixels().size());
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

struct PageCase {
    const char* name;
    std::uint32_t w, h;
    int kind; // 0 true colour, 1 gray ramp, 2 colour palette
    bool gray;
};

class PreparedPage : public ::testing::TestWithParam<PageCase> {};

TEST_P(PreparedPage, MatchesTheStraightforwardOrderWithinRounding) {
    const PageCase c = GetParam();
    const Image src = c.kind == 0 ? photo(c.w, c.h) : palettePicture(c.w, c.h, c.kind == 1);
    const Image want = straightforwardPage(src, c.gray);
    Image got = src;
    std::string reason;
    ASSERT_TRUE(preparePageImage(got, c.gray, reason)) << reason;
    ASSERT_EQ(got.GetWidth(), want.GetWidth());
    ASSERT_EQ(got.GetHeight(), want.GetHeight());
    ASSERT_EQ(got.GetBpp(), want.GetBpp());
    EXPECT_EQ(got.IsGrayRamp(), want.IsGrayRamp());
    EXPECT_LE(maxDifference(got, want), 1);
}

const PageCase kPageCases[] = {
    {"PortraitColour", 900, 1300, 0, false},    {"PortraitGray", 900, 1300, 0, true},
    {"LandscapeGray", 1500, 1000, 0, true},     {"SmallPortraitEnlarged", 300, 420, 0, false},
    {"SquareGray", 700, 700, 0, true},          {"AlreadyPageHigh", 1000, 640, 0, true},
    {"GrayRampPortrait", 700, 1100, 1, true},   {"PalettePortraitColour", 700, 1100, 2, false},
    {"PalettePortraitGray", 700, 1100, 2, true}};

std::string caseName(const ::testing::TestParamInfo<PageCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Pages, PreparedPage, ::testing::ValuesIn(kPageCases), caseName);

struct ReduceCase {
    std::uint32_t sw, sh, dw, dh;
    int channels;
};

// Exact area average along one axis: output i covers source [i * n / m, (i + 1) * n / m).
std::vector<std::vector<double>> areaWeights(std::uint32_t n, std::uint32_t m) {
    std::vector<std::vector<double>> w(m, std::vector<double>(n, 0.0));
    for (std::uint32_t i = 0; i < m; ++i) {
        const double lo = double(i) * n / m, hi = double(i + 1) * n / m;
        for (std::uint32_t j = 0; j < n; ++j)
            w[i][j] = std::max(0.0, std::min(hi, j + 1.0) - std::max(lo, double(j))) / (hi - lo);
    }
    return w;
}

// Rows fed one at a time, top to bottom, give the exact area average within one level.
TEST(RowReducer, MatchesTheExactAreaAverage) {
    for (const ReduceCase c : {ReduceCase{700, 700, 640, 640, 1}, ReduceCase{700, 700, 640, 640, 3},
                               ReduceCase{245, 327, 64, 85, 3}, ReduceCase{327, 245, 85, 64, 1},
                               ReduceCase{50, 1000, 50, 640, 1}, ReduceCase{51, 999, 51, 7, 3},
                               ReduceCase{640, 641, 639, 640, 3}, ReduceCase{9, 2000, 3, 1, 3},
                               ReduceCase{300, 90, 17, 20, 3}}) {
        const Image src = c.channels == 3 ? photo(c.sw, c.sh) : palettePicture(c.sw, c.sh, true);
        std::vector<std::uint8_t> rows(std::size_t{c.dw} * c.dh * c.channels, 0xAA);
        kernels::RowReducer reducer(c.sw, c.sh, c.channels, c.dw, c.dh, rows.data());
        for (std::uint32_t y = 0; y < c.sh; ++y) {
            EXPECT_FALSE(reducer.finished());
            reducer.push(src.Row(y));
        }
        EXPECT_TRUE(reducer.finished());

        const auto wx = areaWeights(c.sw, c.dw), wy = areaWeights(c.sh, c.dh);
        const auto ch = static_cast<std::size_t>(c.channels);
        int worst = 0;
        for (std::uint32_t Y = 0; Y < c.dh; ++Y)
            for (std::uint32_t X = 0; X < c.dw; ++X)
                for (std::size_t k = 0; k < ch; ++k) {
                    double v = 0;
                    // Only the source span the output covers (plus a pixel either side).
                    const std::uint32_t y0 = Y * c.sh / c.dh,
                                        y1 = std::min(c.sh, (Y + 1) * c.sh / c.dh + 2);
                    const std::uint32_t x0 = X * c.sw / c.dw,
                                        x1 = std::min(c.sw, (X + 1) * c.sw / c.dw + 2);
                    for (std::uint32_t y = y0; y < y1; ++y)
                        for (std::uint32_t x = x0; x < x1; ++x)
                            v += wy[Y][y] * wx[X][x] * src.Row(y)[x * ch + k];
                    const int got = rows[(std::size_t{Y} * c.dw + X) * ch + k];
                    worst = std::max(worst, std::abs(got - int(std::lround(v))));
                }
        EXPECT_LE(worst, 1) << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh << " x"
                            << c.channels;
    }
}

std::string writeJpeg(const test::TempDir& dir, const char* name, const Image& picture) {
    return test::writeJpegFile(dir, name, picture, 95);
}

// A JPEG page is reduced while it decodes; the page is the one the whole-picture steps make,
// up to rounding, and smaller JPEGs and other formats take the ordinary path unchanged.
class JpegPage : public ::testing::TestWithParam<PageCase> {};

TEST_P(JpegPage, ReducedWhileDecodingMatchesTheWholePictureSteps) {
    const PageCase c = GetParam();
    test::TempDir dir;
    const std::string path = writeJpeg(dir, "page.jpg", photo(c.w, c.h));
    Image whole;
    ASSERT_TRUE(whole.Load(path, kFormatJpeg));
    const Image want = straightforwardPage(whole, c.gray);

    Image got;
    ASSERT_TRUE(got.LoadForPage(path, kFormatJpeg, kPageHeight, c.gray, false));
    const bool reduced = std::min(c.w, c.h) > kPageHeight;
    EXPECT_EQ(got.GetHeight() < whole.GetHeight(), reduced);
    EXPECT_EQ(got.GetBpp(), whole.GetBpp());
    std::string reason;
    ASSERT_TRUE(preparePageImage(got, c.gray, reason)) << reason;
    ASSERT_EQ(got.GetWidth(), want.GetWidth());
    ASSERT_EQ(got.GetHeight(), want.GetHeight());
    ASSERT_EQ(got.GetBpp(), want.GetBpp());
    EXPECT_LE(maxDifference(got, want), 1);
}

// JPEG holds true colour (or gray), never a palette.
INSTANTIATE_TEST_SUITE_P(Pages, JpegPage, ::testing::ValuesIn(kPageCases, kPageCases + 6),
                         caseName);

// --fast: a JPEG at least twice the page height is decoded reduced; the page stays close.
TEST(FastJpegPage, LargePhotoDecodesReducedAndStaysClose) {
    test::TempDir dir;
    const std::string path = writeJpeg(dir, "photo.jpg", photo(2260, 2400));
    const std::vector<std::uint8_t> bytes = test::readFile(path);
    for (bool gray : {false, true}) {
        // The DCT-domain step alone: 1/2, as 1/4 would leave the average less than 7/4 to do.
        Image reduced;
        std::string err;
        ASSERT_TRUE(codecs::decodeJpegReduced(bytes, codecs::JpegReduction{kPageHeight, gray},
                                              reduced, err))
            << err;
        EXPECT_EQ(reduced.GetWidth(), 1130u);
        EXPECT_EQ(reduced.GetHeight(), 1200u);
        EXPECT_EQ(reduced.GetBpp(), gray ? 8 : 24);

        Image exact, fast;
        ASSERT_TRUE(exact.LoadForPage(path, kFormatJpeg, kPageHeight, gray, false));
        ASSERT_TRUE(fast.LoadForPage(path, kFormatJpeg, kPageHeight, gray, true));
        std::string reason;
        ASSERT_TRUE(preparePageImage(exact, gray, reason)) << reason;
        ASSERT_TRUE(preparePageImage(fast, gray, reason)) << reason;
        ASSERT_EQ(fast.GetWidth(), exact.GetWidth());
        ASSERT_EQ(fast.GetHeight(), kPageHeight);
        ASSERT_EQ(fast.GetBpp(), exact.GetBpp());
        EXPECT_GT(psnr(fast, exact), 38.0) << (gray ? "gray" : "colour");
    }
}

TEST(FastJpegPage, SmallJpegAndOtherFormatsLoadExactly) {
    test::TempDir dir;
    const std::string jpg = writeJpeg(dir, "small.jpg", photo(1000, 1270));
    const std::string bmp = dir.file("big.bmp");
    test::writeFile(
        bmp, test::bmp24(1400, 1500, [](std::uint32_t x, std::uint32_t y) {
            return test::Color{static_cast<std::uint8_t>(x), 9, static_cast<std::uint8_t>(y)};
        }));
    for (auto [path, type] : {std::pair{jpg, kFormatJpeg}, std::pair{bmp, kFormatBmp}}) {
        // Colour pages of a small JPEG and of any BMP: exactly the picture Load gives, as
        // no DCT-domain reduction fits and only JPEGs are reduced while decoding.
        Image exact, page;
        ASSERT_TRUE(exact.Load(path, type));
        ASSERT_TRUE(page.LoadForPage(path, type, 2000, false, true));
        EXPECT_EQ(page.GetWidth(), exact.GetWidth()) << path;
        EXPECT_EQ(page.GetHeight(), exact.GetHeight()) << path;
        EXPECT_EQ(page.Pixels(), exact.Pixels()) << path;
    }
    Image missing;
    EXPECT_FALSE(missing.LoadForPage(dir.file("gone.jpg"), kFormatJpeg, kPageHeight, true, true));
    EXPECT_FALSE(missing.GetLastError().empty());
}

} // namespace
} // namespace folio
