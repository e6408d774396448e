// Transforms of the page pipeline (turn, gray, scale, true colour) and the JPEG writer. Scaling
// is checked against a plain double-precision model; JPEG output is read back with libjpeg
// itself and its quantisation tables are parsed straight from the bytes.
#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <thread>

namespace folio {
namespace {

Image blank(std::uint32_t w, std::uint32_t h, std::uint16_t bpp) {
    Image im;
    EXPECT_TRUE(im.Create(w, h, bpp));
    return im;
}

// Random pixels; indexed images also get a random palette, so any mix-up of entries shows.
Image randomImage(std::uint32_t w, std::uint32_t h, std::uint16_t bpp, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Image im = blank(w, h, bpp);
    const std::uint32_t limit = bpp == 24 ? 256 : (1u << bpp);
    for (std::uint8_t& p : im.Pixels())
        p = static_cast<std::uint8_t>(rng() % limit);
    if (bpp != 24) {
        std::vector<Rgb> palette(limit);
        for (Rgb& c : palette)
            c = Rgb{static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                    static_cast<std::uint8_t>(rng())};
        im.SetPalette(palette);
    }
    return im;
}

Image randomGray(std::uint32_t w, std::uint32_t h, std::uint32_t seed) {
    Image im = randomImage(w, h, 8, seed);
    im.SetGrayPalette();
    return im;
}

double bt601(Rgb c) {
    return 0.299 * c.r + 0.587 * c.g + 0.114 * c.b;
}

// ---------------------------------------------------------------------------------------------
// RotateLeft

TEST(RotateLeft, TopEdgeBecomesLeftEdge) {
    // A B C      C F
    // D E F  ->  B E
    //            A D
    Image im = blank(3, 2, 8);
    const std::uint8_t src[2][3] = {{1, 2, 3}, {4, 5, 6}};
    for (std::uint32_t y = 0; y < 2; ++y)
        std::copy_n(src[y], 3, im.Row(y));
    ASSERT_TRUE(im.RotateLeft());
    ASSERT_EQ(im.GetWidth(), 2u);
    ASSERT_EQ(im.GetHeight(), 3u);
    const std::uint8_t expected[3][2] = {{3, 6}, {2, 5}, {1, 4}};
    for (std::uint32_t y = 0; y < 3; ++y)
        for (std::uint32_t x = 0; x < 2; ++x)
            EXPECT_EQ(im.Row(y)[x], expected[y][x]) << x << "," << y;
}

struct RotateCase {
    std::uint32_t w, h;
    std::uint16_t bpp;
};

class RotateSizes : public ::testing::TestWithParam<RotateCase> {};

TEST_P(RotateSizes, EveryPixelLandsWhereTheQuarterTurnPutsIt) {
    const auto [w, h, bpp] = GetParam();
    const Image src = randomImage(w, h, bpp, w * 7919 + h);
    Image im = src;
    ASSERT_TRUE(im.RotateLeft());
    ASSERT_EQ(im.GetWidth(), h);
    ASSERT_EQ(im.GetHeight(), w);
    EXPECT_EQ(im.GetBpp(), bpp);
    EXPECT_EQ(im.GetPalette(), src.GetPalette());
    const std::size_t bytes = src.BytesPerPixel();
    std::size_t wrong = 0;
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint8_t* s = src.Row(y) + x * bytes;
            const std::uint8_t* d = im.Row(w - 1 - x) + std::size_t{y} * bytes;
            wrong += !std::equal(s, s + bytes, d);
        }
    EXPECT_EQ(wrong, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RotateSizes,
                         ::testing::Values(RotateCase{1, 1, 24}, RotateCase{1, 1, 8},
                                           RotateCase{1, 37, 24}, RotateCase{37, 1, 24},
                                           RotateCase{1, 100, 8}, RotateCase{100, 1, 1},
                                           RotateCase{64, 64, 24}, RotateCase{65, 130, 24},
                                           RotateCase{130, 67, 8}, RotateCase{200, 129, 4},
                                           RotateCase{129, 200, 24}, RotateCase{3, 200, 24},
                                           RotateCase{255, 257, 8}));

TEST(RotateLeft, SwapsDpiAndKeepsPalette) {
    Image im = randomImage(40, 30, 4, 5);
    im.SetDpi(300, 150);
    const auto palette = im.GetPalette();
    ASSERT_TRUE(im.RotateLeft());
    EXPECT_EQ(im.GetXDpi(), 150u);
    EXPECT_EQ(im.GetYDpi(), 300u);
    EXPECT_EQ(im.GetPalette(), palette);
    EXPECT_EQ(im.GetBpp(), 4);
}

TEST(RotateLeft, FourTurnsRestoreTheImage) {
    const Image src = randomImage(77, 45, 24, 11);
    Image im = src;
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(im.RotateLeft());
    EXPECT_EQ(im.GetWidth(), 77u);
    EXPECT_EQ(im.Pixels(), src.Pixels());
}

TEST(RotateLeft, EmptyImageIsRefused) {
    Image im;
    EXPECT_FALSE(im.RotateLeft());
    EXPECT_FALSE(im.IsValid());
}

// ---------------------------------------------------------------------------------------------
// GrayScale

void expectGrayRampOf(const Image& im, std::uint32_t w, std::uint32_t h) {
    EXPECT_EQ(im.GetBpp(), 8);
    EXPECT_TRUE(im.IsGrayRamp());
    EXPECT_EQ(im.GetWidth(), w);
    EXPECT_EQ(im.GetHeight(), h);
}

TEST(GrayScale, TrueColourTakesRoundedBt601Luma) {
    Image im = randomImage(97, 31, 24, 3);
    // Cube corners and mid grey in the first row, so the extremes are always covered.
    const Rgb corners[] = {{0, 0, 0},     {255, 0, 0},   {0, 255, 0},     {0, 0, 255},
                           {255, 255, 0}, {0, 255, 255}, {255, 255, 255}, {128, 128, 128}};
    for (std::size_t i = 0; i < std::size(corners); ++i) {
        im.Row(0)[3 * i] = corners[i].r;
        im.Row(0)[3 * i + 1] = corners[i].g;
        im.Row(0)[3 * i + 2] = corners[i].b;
    }
    im.SetDpi(200, 100);
    const Image src = im;
    ASSERT_TRUE(im.GrayScale());
    expectGrayRampOf(im, 97, 31);
    EXPECT_EQ(im.GetXDpi(), 200u);
    double worst = 0;
    for (std::uint32_t y = 0; y < 31; ++y)
        for (std::uint32_t x = 0; x < 97; ++x)
            worst = std::max(worst, std::abs(im.Row(y)[x] - bt601(src.PixelColor(x, y))));
    // Rounded to nearest: never more than half a level from the exact luma.
    EXPECT_LE(worst, 0.501);
    EXPECT_EQ(im.Row(0)[0], 0);
    EXPECT_EQ(im.Row(0)[1], 76);  // 0.299 * 255 = 76.2
    EXPECT_EQ(im.Row(0)[2], 150); // 0.587 * 255 = 149.7
    EXPECT_EQ(im.Row(0)[3], 29);  // 0.114 * 255 = 29.1
    EXPECT_EQ(im.Row(0)[6], 255);
    EXPECT_EQ(im.Row(0)[7], 128);
}

class GrayScalePalettes : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(GrayScalePalettes, EachIndexTakesTheLevelOfItsColour) {
    const std::uint16_t bpp = GetParam();
    const Image src = randomImage(53, 19, bpp, bpp);
    Image im = src;
    ASSERT_TRUE(im.GrayScale());
    expectGrayRampOf(im, 53, 19);
    for (std::uint32_t y = 0; y < 19; ++y)
        for (std::uint32_t x = 0; x < 53; ++x)
            ASSERT_NEAR(im.Row(y)[x], bt601(src.PixelColor(x, y)), 0.501) << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(Depths, GrayScalePalettes, ::testing::Values(1, 4, 8));

TEST(GrayScale, GrayRampIsLeftAlone) {
    Image im = randomGray(31, 17, 9);
    const Image before = im;
    ASSERT_TRUE(im.GrayScale());
    EXPECT_EQ(im.Pixels(), before.Pixels());
    EXPECT_EQ(im.GetPalette(), before.GetPalette());
}

TEST(GrayScale, ReversedGrayPaletteIsMappedToTheRamp) {
    Image im = randomImage(16, 16, 8, 2);
    std::vector<Rgb> reversed(256);
    for (int i = 0; i < 256; ++i) {
        const auto v = static_cast<std::uint8_t>(255 - i);
        reversed[i] = Rgb{v, v, v};
    }
    im.SetPalette(reversed);
    const Image src = im;
    ASSERT_TRUE(im.GrayScale());
    ASSERT_TRUE(im.IsGrayRamp());
    for (std::size_t i = 0; i < im.Pixels().size(); ++i)
        ASSERT_EQ(im.Pixels()[i], 255 - src.Pixels()[i]) << i;
}

TEST(GrayScale, BlackAndWhiteBecomesZeroAnd255) {
    Image im = blank(8, 1, 1);
    im.SetGrayPalette();
    im.Row(0)[3] = 1;
    ASSERT_TRUE(im.GrayScale());
    EXPECT_EQ(im.Row(0)[0], 0);
    EXPECT_EQ(im.Row(0)[3], 255);
}

TEST(GrayScale, EmptyImageIsRefused) {
    Image im;
    EXPECT_FALSE(im.GrayScale());
    EXPECT_FALSE(im.IsValid());
}

// ---------------------------------------------------------------------------------------------
// Resample2 against a double-precision model

// One channel of an image as doubles, row-major.
struct Plane {
    std::uint32_t w = 0, h = 0;
    std::vector<double> v;
    double at(std::int64_t x, std::int64_t y) const {
        x = std::clamp<std::int64_t>(x, 0, w - 1);
        y = std::clamp<std::int64_t>(y, 0, h - 1);
        return v[static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x)];
    }
};

Plane planeOf(const Image& im, int channel) {
    Plane p{im.GetWidth(), im.GetHeight(), {}};
    for (std::uint32_t y = 0; y < p.h; ++y)
        for (std::uint32_t x = 0; x < p.w; ++x) {
            const Rgb c = im.PixelColor(x, y);
            p.v.push_back(channel == 0 ? c.r : channel == 1 ? c.g : c.b);
        }
    return p;
}

// Source weights of output o along one axis: the covered interval when shrinking, the two
// nearest samples (edge repeated) when growing, the sample itself when unchanged.
std::vector<std::pair<std::int64_t, double>> axisTaps(std::uint32_t src, std::uint32_t dst,
                                                      std::uint32_t o) {
    if (src == dst) return {{o, 1.0}};
    if (dst < src) {
        const double lo = double(o) * src / dst, hi = double(o + 1) * src / dst;
        std::vector<std::pair<std::int64_t, double>> taps;
        for (auto j = static_cast<std::int64_t>(std::floor(lo)); j < hi; ++j) {
            const double overlap = std::min(hi, j + 1.0) - std::max(lo, double(j));
            if (overlap > 0) taps.push_back({j, overlap / (hi - lo)});
        }
        return taps;
    }
    const double s = (o + 0.5) * src / dst - 0.5;
    const double s0 = std::floor(s);
    return {{static_cast<std::int64_t>(s0), 1 - (s - s0)},
            {static_cast<std::int64_t>(s0) + 1, s - s0}};
}

double referenceSample(const Plane& p, std::uint32_t dw, std::uint32_t dh, std::uint32_t ox,
                       std::uint32_t oy) {
    if (dw < p.w && dh < p.h) {
        // Both axes shrink: the mean of the source over the output pixel's rectangle.
        const double x0 = double(ox) * p.w / dw, x1 = double(ox + 1) * p.w / dw;
        const double y0 = double(oy) * p.h / dh, y1 = double(oy + 1) * p.h / dh;
        double sum = 0;
        for (auto y = static_cast<std::int64_t>(std::floor(y0)); y < y1; ++y)
            for (auto x = static_cast<std::int64_t>(std::floor(x0)); x < x1; ++x) {
                const double ax = std::min(x1, x + 1.0) - std::max(x0, double(x));
                const double ay = std::min(y1, y + 1.0) - std::max(y0, double(y));
                sum += ax * ay * p.at(x, y);
            }
        return sum / ((x1 - x0) * (y1 - y0));
    }
    if (dw > p.w && dh > p.h) {
        // Both axes grow: textbook bilinear, coordinates clamped to the picture.
        const double sx = (ox + 0.5) * p.w / dw - 0.5, sy = (oy + 0.5) * p.h / dh - 0.5;
        const double fx = sx - std::floor(sx), fy = sy - std::floor(sy);
        const auto x = static_cast<std::int64_t>(std::floor(sx));
        const auto y = static_cast<std::int64_t>(std::floor(sy));
        return (1 - fy) * ((1 - fx) * p.at(x, y) + fx * p.at(x + 1, y)) +
               fy * ((1 - fx) * p.at(x, y + 1) + fx * p.at(x + 1, y + 1));
    }
    double sum = 0;
    for (auto [y, wy] : axisTaps(p.h, dh, oy))
        for (auto [x, wx] : axisTaps(p.w, dw, ox))
            sum += wx * wy * p.at(x, y);
    return sum;
}

struct ResampleCase {
    std::uint32_t sw, sh, dw, dh;
};

class ResampleSizes : public ::testing::TestWithParam<ResampleCase> {
  protected:
    // Largest and mean distance of every channel of `out` from the model applied to `src`.
    static std::pair<double, double> errors(const Image& src, const Image& out, int channels) {
        double worst = 0, total = 0;
        for (int c = 0; c < channels; ++c) {
            const Plane p = planeOf(src, c);
            for (std::uint32_t y = 0; y < out.GetHeight(); ++y)
                for (std::uint32_t x = 0; x < out.GetWidth(); ++x) {
                    const Rgb got = out.PixelColor(x, y);
                    const int v = c == 0 ? got.r : c == 1 ? got.g : got.b;
                    const double e =
                        std::abs(v - referenceSample(p, out.GetWidth(), out.GetHeight(), x, y));
                    worst = std::max(worst, e);
                    total += e;
                }
        }
        return {worst, total / (double(channels) * out.GetWidth() * out.GetHeight())};
    }
};

TEST_P(ResampleSizes, TrueColourMatchesTheModel) {
    const auto [sw, sh, dw, dh] = GetParam();
    const Image src = randomImage(sw, sh, 24, sw * 31 + sh);
    Image im = src;
    ASSERT_TRUE(im.Resample2(dw, dh));
    ASSERT_EQ(im.GetWidth(), dw);
    ASSERT_EQ(im.GetHeight(), dh);
    ASSERT_EQ(im.GetBpp(), 24);
    const auto [worst, mean] = errors(src, im, 3);
    EXPECT_LE(worst, 1.0);
    // Rounding to nearest averages a quarter level; truncation would average a half.
    if (dw * dh >= 1000) {
        EXPECT_LT(mean, 0.35);
    }
}

TEST_P(ResampleSizes, GrayRampMatchesTheModel) {
    const auto [sw, sh, dw, dh] = GetParam();
    const Image src = randomGray(sw, sh, sw * 17 + sh);
    Image im = src;
    ASSERT_TRUE(im.Resample2(dw, dh));
    ASSERT_EQ(im.GetWidth(), dw);
    ASSERT_EQ(im.GetHeight(), dh);
    ASSERT_TRUE(im.IsGrayRamp());
    const auto [worst, mean] = errors(src, im, 1);
    EXPECT_LE(worst, 1.0);
    if (dw * dh >= 1000) {
        EXPECT_LT(mean, 0.35);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ResampleSizes,
    ::testing::Values(ResampleCase{1800, 1200, 960, 640}, ResampleCase{1600, 1200, 853, 640},
                      ResampleCase{500, 400, 800, 640}, ResampleCase{1000, 1000, 640, 640},
                      ResampleCase{7, 5, 3, 2}, ResampleCase{3, 2, 7, 5},
                      ResampleCase{1, 1, 640, 640}, ResampleCase{1000, 300, 640, 640},
                      ResampleCase{300, 1000, 640, 640}, ResampleCase{640, 400, 640, 200},
                      ResampleCase{300, 200, 150, 200}, ResampleCase{300, 200, 301, 200},
                      ResampleCase{2, 2, 1, 1}, ResampleCase{9, 1, 2, 1}, ResampleCase{1, 5, 1, 13},
                      ResampleCase{101, 67, 100, 68}, ResampleCase{3000, 40, 97, 13},
                      ResampleCase{30000, 2, 50, 1}, ResampleCase{2, 20000, 1, 3},
                      ResampleCase{64, 64, 64, 64}));

TEST(ResampleConstant, FlatImagesStayExactlyFlat) {
    const ResampleCase sizes[] = {{1800, 1200, 960, 640}, {500, 400, 800, 640},  {7, 5, 3, 2},
                                  {3, 2, 7, 5},           {1000, 300, 640, 640}, {1, 1, 13, 9},
                                  {97, 89, 97, 13},       {30000, 1, 7, 1},      {1, 1, 30000, 1}};
    for (const auto& s : sizes)
        for (int v : {0, 1, 127, 128, 254, 255}) {
            const auto level = static_cast<std::uint8_t>(v);
            Image gray = blank(s.sw, s.sh, 8);
            gray.SetGrayPalette();
            std::fill(gray.Pixels().begin(), gray.Pixels().end(), level);
            Image rgb = blank(s.sw, s.sh, 24);
            for (std::size_t i = 0; i < rgb.Pixels().size(); i += 3) {
                rgb.Pixels()[i] = level;
                rgb.Pixels()[i + 1] = static_cast<std::uint8_t>(255 - v);
                rgb.Pixels()[i + 2] = static_cast<std::uint8_t>(v / 2);
            }
            ASSERT_TRUE(gray.Resample2(s.dw, s.dh));
            ASSERT_TRUE(rgb.Resample2(s.dw, s.dh));
            const Rgb colour{level, static_cast<std::uint8_t>(255 - v),
                             static_cast<std::uint8_t>(v / 2)};
            std::size_t off = 0;
            for (std::uint32_t y = 0; y < s.dh; ++y)
                for (std::uint32_t x = 0; x < s.dw; ++x) {
                    off += gray.Row(y)[x] != level;
                    off += !(rgb.PixelColor(x, y) == colour);
                }
            EXPECT_EQ(off, 0u) << s.sw << "x" << s.sh << " -> " << s.dw << "x" << s.dh << " level "
                               << v;
        }
}

double distance(Rgb a, double r, double g, double b) {
    return std::sqrt((a.r - r) * (a.r - r) + (a.g - g) * (a.g - g) + (a.b - b) * (a.b - b));
}

class ResamplePalette : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(ResamplePalette, KeepsDepthAndPaletteAndPicksNearestColours) {
    const std::uint16_t bpp = GetParam();
    for (const ResampleCase s : {ResampleCase{90, 70, 40, 31}, ResampleCase{20, 15, 47, 33}}) {
        const Image src = randomImage(s.sw, s.sh, bpp, bpp * 101 + s.dw);
        Image im = src;
        ASSERT_TRUE(im.Resample2(s.dw, s.dh));
        ASSERT_EQ(im.GetBpp(), bpp);
        ASSERT_EQ(im.GetPalette(), src.GetPalette());
        const Plane planes[3] = {planeOf(src, 0), planeOf(src, 1), planeOf(src, 2)};
        const auto& palette = src.GetPalette();
        for (std::uint32_t y = 0; y < s.dh; ++y)
            for (std::uint32_t x = 0; x < s.dw; ++x) {
                double m[3];
                for (int c = 0; c < 3; ++c)
                    m[c] = referenceSample(planes[c], s.dw, s.dh, x, y);
                double best = 1e9;
                for (const Rgb& p : palette)
                    best = std::min(best, distance(p, m[0], m[1], m[2]));
                const std::uint8_t index = im.Row(y)[x];
                ASSERT_LT(index, palette.size());
                // The blend may be off by a level per channel (sqrt 3 in RGB) before it is
                // matched, which can move the chosen colour by twice that at most.
                ASSERT_LE(distance(palette[index], m[0], m[1], m[2]), best + 2 * std::sqrt(3.0))
                    << x << "," << y;
            }
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, ResamplePalette, ::testing::Values(1, 4, 8));

TEST(ResamplePalette, SingleColourKeepsItsIndex) {
    Image im = randomImage(30, 20, 4, 8);
    std::fill(im.Pixels().begin(), im.Pixels().end(), std::uint8_t{9});
    std::vector<Rgb> palette(16);
    for (int i = 0; i < 16; ++i)
        palette[i] = Rgb{static_cast<std::uint8_t>(i * 16), static_cast<std::uint8_t>(200 - i),
                         static_cast<std::uint8_t>(i * 3)};
    im.SetPalette(palette);
    for (auto [w, h] : {std::pair{11u, 7u}, std::pair{50u, 45u}}) {
        ASSERT_TRUE(im.Resample2(w, h));
        for (std::uint8_t p : im.Pixels())
            ASSERT_EQ(p, 9);
    }
}

TEST(ResampleLimits, ZeroOrHugeSizesFailAndLeaveTheImage) {
    const Image src = randomImage(20, 10, 24, 1);
    for (auto [w, h] : {std::pair{0u, 10u}, std::pair{10u, 0u}, std::pair{0u, 0u},
                        std::pair{kMaxImageSide + 1, 10u}, std::pair{10u, kMaxImageSide + 1},
                        std::pair{30000u, 30000u}, std::pair{20000u, 20000u}}) {
        // 20000 x 20000 is within the pixel limit but not within the memory budget as RGB.
        Image im = src;
        EXPECT_FALSE(im.Resample2(w, h)) << w << "x" << h;
        EXPECT_EQ(im.GetWidth(), 20u);
        EXPECT_EQ(im.GetHeight(), 10u);
        EXPECT_EQ(im.Pixels(), src.Pixels());
    }
    Image empty;
    EXPECT_FALSE(empty.Resample2(10, 10));
}

TEST(ResampleLimits, SameSizeKeepsEveryPixel) {
    const Image src = randomImage(33, 21, 8, 4);
    Image im = src;
    ASSERT_TRUE(im.Resample2(33, 21));
    EXPECT_EQ(im.Pixels(), src.Pixels());
}

// ---------------------------------------------------------------------------------------------
// IncreaseBpp24, the colour side of the page pipeline before encoding

class EncodeTrueColour : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(EncodeTrueColour, PaletteImageBecomesItsColours) {
    const Image src = randomImage(23, 14, GetParam(), 77);
    Image im = src;
    ASSERT_TRUE(im.IncreaseBpp24());
    ASSERT_EQ(im.GetBpp(), 24);
    EXPECT_TRUE(im.GetPalette().empty());
    for (std::uint32_t y = 0; y < 14; ++y)
        for (std::uint32_t x = 0; x < 23; ++x)
            ASSERT_EQ(im.PixelColor(x, y), src.PixelColor(x, y));
}

INSTANTIATE_TEST_SUITE_P(Depths, EncodeTrueColour, ::testing::Values(1, 4, 8));

TEST(EncodeTrueColourStays, TrueColourIsUnchangedAndEmptyIsRefused) {
    const Image src = randomImage(9, 9, 24, 1);
    Image im = src;
    ASSERT_TRUE(im.IncreaseBpp24());
    EXPECT_EQ(im.Pixels(), src.Pixels());
    Image empty;
    EXPECT_FALSE(empty.IncreaseBpp24());
}

// ---------------------------------------------------------------------------------------------
// Encode, read back with libjpeg

// Quantisation tables from the DQT segments before the first scan, in natural order.
std::map<int, std::vector<int>> quantTables(const std::vector<std::uint8_t>& j) {
    static const int kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
    std::map<int, std::vector<int>> tables;
    std::size_t p = 2;
    while (p + 4 <= j.size() && j[p] == 0xFF && j[p + 1] != 0xDA) {
        const std::size_t len = std::size_t{j[p + 2]} << 8 | j[p + 3];
        const std::size_t end = p + 2 + len;
        if (end > j.size()) break;
        if (j[p + 1] == 0xDB) {
            std::size_t q = p + 4;
            while (q < end) {
                const int precision = j[q] >> 4, id = j[q] & 15;
                ++q;
                std::vector<int> t(64);
                for (int i = 0; i < 64 && q < end; ++i) {
                    t[kZigzag[i]] = precision ? (j[q] << 8 | j[q + 1]) : j[q];
                    q += precision ? 2 : 1;
                }
                tables[id] = t;
            }
        }
        p = end;
    }
    return tables;
}

// The IJG example tables scaled for quality q, with no clamp to 8-bit baseline values.
std::vector<int> ijgTable(int quality, bool chroma) {
    static const int kLuma[64] = {16,  11,  10,  16,  24, 40, 51,  61,  12,  12,  14,  19,  26,
                                  58,  60,  55,  14,  13, 16, 24,  40,  57,  69,  56,  14,  17,
                                  22,  29,  51,  87,  80, 62, 18,  22,  37,  56,  68,  109, 103,
                                  77,  24,  35,  55,  64, 81, 104, 113, 92,  49,  64,  78,  87,
                                  103, 121, 120, 101, 72, 92, 95,  98,  112, 100, 103, 99};
    static const int kChroma[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
    const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    std::vector<int> t(64);
    for (int i = 0; i < 64; ++i)
        t[i] = std::clamp(((chroma ? kChroma : kLuma)[i] * scale + 50) / 100, 1, 32767);
    return t;
}

Image gradientRgb(std::uint32_t w, std::uint32_t h) {
    Image im = blank(w, h, 24);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            std::uint8_t* p = im.Row(y) + 3 * x;
            p[0] = static_cast<std::uint8_t>(x * 255 / std::max(1u, w - 1));
            p[1] = 90;
            p[2] = static_cast<std::uint8_t>(y * 255 / std::max(1u, h - 1));
        }
    return im;
}

Image gradientGray(std::uint32_t w, std::uint32_t h) {
    Image im = blank(w, h, 8);
    im.SetGrayPalette();
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            im.Row(y)[x] = static_cast<std::uint8_t>((x + 2 * y) * 255 / (w + 2 * h));
    return im;
}

double meanDifference(const Image& im, const test::JpegFacts& d) {
    double total = 0;
    for (std::size_t i = 0; i < im.Pixels().size(); ++i)
        total += std::abs(int{im.Pixels()[i]} - int{d.pixels[i]});
    return total / double(im.Pixels().size());
}

std::vector<std::uint8_t> encode(Image im, int quality) {
    im.SetJpegQuality(static_cast<std::uint8_t>(quality));
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(im.Encode(out, kFormatJpeg)) << im.GetLastError();
    return out;
}

TEST(EncodeJpeg, GrayRampIsOneComponentWithItsDensity) {
    Image im = gradientGray(61, 43);
    im.SetDpi(300, 150);
    const auto jpeg = encode(im, 95);
    const test::JpegFacts d = test::readJpegFacts(jpeg);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.components, 1);
    EXPECT_EQ(d.width, 61u);
    EXPECT_EQ(d.height, 43u);
    EXPECT_GE(d.densityUnit, 0); // a JFIF marker
    EXPECT_EQ(d.densityUnit, 1);
    EXPECT_EQ(d.xDensity, 300);
    EXPECT_EQ(d.yDensity, 150);
    EXPECT_LT(meanDifference(im, d), 2.0);
}

TEST(EncodeJpeg, TrueColourIsThreeComponentsInChannelOrder) {
    Image im = gradientRgb(80, 50);
    const auto jpeg = encode(im, 95);
    const test::JpegFacts d = test::readJpegFacts(jpeg);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.components, 3);
    EXPECT_EQ(d.width, 80u);
    EXPECT_EQ(d.height, 50u);
    EXPECT_EQ(d.densityUnit, 1);
    EXPECT_EQ(d.xDensity, 96);
    EXPECT_EQ(d.yDensity, 96);
    // Red grows to the right, blue downwards: swapped channels or rows would be far off.
    EXPECT_LT(meanDifference(im, d), 3.0);
}

TEST(EncodeJpeg, OddSizesKeepTheirSize) {
    for (auto [w, h] : {std::pair{1u, 1u}, std::pair{17u, 9u}, std::pair{9u, 17u},
                        std::pair{1u, 300u}, std::pair{300u, 1u}})
        for (bool gray : {true, false}) {
            const test::JpegFacts d =
                test::readJpegFacts(encode(gray ? gradientGray(w, h) : gradientRgb(w, h), 80));
            ASSERT_TRUE(d.ok) << w << "x" << h;
            EXPECT_EQ(d.width, w);
            EXPECT_EQ(d.height, h);
            EXPECT_EQ(d.components, gray ? 1 : 3);
        }
}

TEST(EncodeJpeg, LargeNoisyImageGrowsTheOutputAndStaysWhole) {
    // Grain over a gradient at quality 100 yields many output chunks; the grain is mild so
    // that chroma subsampling alone keeps the picture close.
    Image im = gradientRgb(800, 600);
    std::mt19937 rng(6);
    for (std::uint8_t& p : im.Pixels())
        p = static_cast<std::uint8_t>(std::clamp(int{p} + int(rng() % 25) - 12, 0, 255));
    const auto jpeg = encode(im, 100);
    EXPECT_GT(jpeg.size(), 200000u);
    const test::JpegFacts d = test::readJpegFacts(jpeg);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, 800u);
    EXPECT_EQ(d.height, 600u);
    EXPECT_LT(meanDifference(im, d), 8.0);
}

TEST(EncodeJpeg, StreamRunsFromSoiThroughJfifToOneFinalEoi) {
    for (bool gray : {true, false}) {
        const auto j = encode(gray ? gradientGray(40, 30) : gradientRgb(40, 30), 75);
        ASSERT_GT(j.size(), 20u);
        EXPECT_EQ(j[0], 0xFF);
        EXPECT_EQ(j[1], 0xD8);
        EXPECT_EQ(j[2], 0xFF);
        EXPECT_EQ(j[3], 0xE0);
        EXPECT_EQ(std::string(j.begin() + 6, j.begin() + 11), std::string("JFIF\0", 5));
        // Walk the header segments to the scan, then the entropy-coded data to its end.
        std::size_t p = 2;
        while (p + 4 <= j.size() && j[p] == 0xFF && j[p + 1] != 0xDA)
            p += 2 + (std::size_t{j[p + 2]} << 8 | j[p + 3]);
        ASSERT_LT(p + 4, j.size());
        ASSERT_EQ(j[p + 1], 0xDA);
        p += 2 + (std::size_t{j[p + 2]} << 8 | j[p + 3]);
        while (p + 1 < j.size() &&
               !(j[p] == 0xFF && j[p + 1] != 0 && (j[p + 1] < 0xD0 || j[p + 1] > 0xD7)))
            ++p;
        EXPECT_EQ(p + 2, j.size());
        EXPECT_EQ(j[p + 1], 0xD9);
    }
}

class EncodeQuality : public ::testing::TestWithParam<int> {};

TEST_P(EncodeQuality, TablesAreTheIjgTablesScaledForTheQuality) {
    const int q = GetParam();
    const auto gray = quantTables(encode(gradientGray(32, 32), q));
    ASSERT_TRUE(gray.count(0));
    EXPECT_EQ(gray.at(0), ijgTable(q, false));
    const auto colour = quantTables(encode(gradientRgb(32, 32), q));
    ASSERT_TRUE(colour.count(0) && colour.count(1));
    EXPECT_EQ(colour.at(0), ijgTable(q, false));
    EXPECT_EQ(colour.at(1), ijgTable(q, true));
}

INSTANTIATE_TEST_SUITE_P(Qualities, EncodeQuality, ::testing::Values(1, 10, 50, 80, 100));

TEST(EncodeJpeg, QualityZeroIsByteForByteQualityOne) {
    for (bool gray : {true, false}) {
        const Image im = gray ? gradientGray(50, 40) : gradientRgb(50, 40);
        const auto zero = encode(im, 0), one = encode(im, 1), two = encode(im, 2);
        EXPECT_EQ(zero, one);
        EXPECT_NE(one, two);
    }
}

TEST(EncodeJpeg, RepeatedEncodesAreIdentical) {
    const Image im = randomImage(120, 90, 24, 12);
    EXPECT_EQ(encode(im, 80), encode(im, 80));
}

TEST(EncodeJpeg, ReplacesTheOutputOnSuccess) {
    Image im = gradientGray(20, 20);
    std::vector<std::uint8_t> out{1, 2, 3};
    ASSERT_TRUE(im.Encode(out, kFormatJpeg));
    EXPECT_EQ(out, encode(im, im.GetJpegQuality()));
}

TEST(EncodeJpeg, PaletteImagesOtherThanTheGrayRampAreRefused) {
    Image colour = randomImage(10, 10, 8, 3);
    Image fourBitGray = randomImage(10, 10, 4, 3);
    fourBitGray.SetGrayPalette();
    Image blackWhite = randomImage(10, 10, 1, 3);
    blackWhite.SetGrayPalette();
    for (Image* im : {&colour, &fourBitGray, &blackWhite}) {
        std::vector<std::uint8_t> out{7, 7};
        EXPECT_FALSE(im->Encode(out, kFormatJpeg));
        EXPECT_EQ(out, (std::vector<std::uint8_t>{7, 7}));
        std::string err;
        EXPECT_FALSE(codecs::encodeJpeg(*im, 80, out, err));
        EXPECT_FALSE(err.empty());
        EXPECT_EQ(out, (std::vector<std::uint8_t>{7, 7}));
    }
}

TEST(EncodeJpeg, OnlyJpegIsWritten) {
    Image im = gradientRgb(10, 10);
    for (std::uint32_t type : {kFormatNone, kFormatBmp, kFormatPng, kFormatTiff, kFormatJp2}) {
        std::vector<std::uint8_t> out{5};
        EXPECT_FALSE(im.Encode(out, type)) << type;
        EXPECT_EQ(out, std::vector<std::uint8_t>{5});
    }
    Image empty;
    std::vector<std::uint8_t> out;
    EXPECT_FALSE(empty.Encode(out, kFormatJpeg));
    EXPECT_TRUE(out.empty());
}

TEST(EncodeJpeg, CodecAppendsAfterExistingBytes) {
    const Image im = gradientRgb(30, 20);
    std::vector<std::uint8_t> alone, after{9, 8, 7};
    std::string err;
    ASSERT_TRUE(codecs::encodeJpeg(im, 60, alone, err)) << err;
    ASSERT_TRUE(codecs::encodeJpeg(im, 60, after, err)) << err;
    ASSERT_EQ(after.size(), alone.size() + 3);
    EXPECT_TRUE(std::equal(alone.begin(), alone.end(), after.begin() + 3));
}

TEST(EncodeJpeg, ConcurrentEncodesAgree) {
    const Image im = randomImage(200, 150, 24, 21);
    std::vector<std::vector<std::uint8_t>> outs(4);
    std::vector<int> ok(4, 0);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                std::string err;
                for (int i = 0; i < 5; ++i) {
                    outs[t].clear();
                    ok[t] += codecs::encodeJpeg(im, 70 + t % 2, outs[t], err);
                }
            });
    }
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(ok[t], 5);
        EXPECT_EQ(outs[t], outs[t % 2]);
    }
    EXPECT_NE(outs[0], outs[1]);
}

} // namespace
} // namespace folio
