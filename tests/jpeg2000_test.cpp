// The JPEG 2000 decoder: images written by OpenJPEG here in the test, read back through our
// decoder; the shared corpus checks real-world files.
#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"
#include "tests/picture_writers.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace folio {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::grayRgb;

using test::CompFn;
using test::encodeJ2k;
using test::J2kPicture;

std::int32_t grayPattern(std::uint32_t x, std::uint32_t y, unsigned) {
    return static_cast<std::int32_t>((29 * x + 13 * y) % 256);
}
std::int32_t rgbPattern(std::uint32_t x, std::uint32_t y, unsigned c) {
    return static_cast<std::int32_t>((29 * x + 13 * y + 85 * c) % 256);
}
std::int32_t pattern12(std::uint32_t x, std::uint32_t y, unsigned) {
    return static_cast<std::int32_t>((517 * x + 131 * y) % 4096);
}
std::int32_t signedPattern(std::uint32_t x, std::uint32_t y, unsigned) {
    return static_cast<std::int32_t>((29 * x + 13 * y) % 256) - 128;
}
std::int32_t bitPattern(std::uint32_t x, std::uint32_t y, unsigned) {
    return static_cast<std::int32_t>((x + y * y) % 2);
}
std::int32_t grayAlpha(std::uint32_t x, std::uint32_t y, unsigned c) {
    return c == 1 ? static_cast<std::int32_t>(x * 20 % 256) : grayPattern(x, y, 0);
}
// Y, Cb, Cr around mid-level so conversion stays in range.
std::int32_t yccPattern(std::uint32_t x, std::uint32_t y, unsigned c) {
    if (c == 0) return static_cast<std::int32_t>(60 + 9 * x + 5 * y);
    return static_cast<std::int32_t>(c == 1 ? 128 + 4 * x - 10 : 128 - 3 * y + 8);
}

struct J2kCase {
    const char* name;
    J2kPicture picture;
    std::uint16_t depth;
    std::function<Rgb(std::uint32_t, std::uint32_t)> expect;
    int tolerance = 0;
};

J2kPicture j2kPicture(std::uint32_t w, std::uint32_t h, unsigned comps, unsigned prec, CompFn fn,
                      OPJ_COLOR_SPACE space) {
    J2kPicture s;
    s.w = w;
    s.h = h;
    s.comps = comps;
    s.prec = prec;
    s.fn = fn;
    s.space = space;
    return s;
}

std::vector<J2kCase> j2kCases() {
    auto rgbExpect = [](std::uint32_t x, std::uint32_t y) {
        return Rgb{static_cast<std::uint8_t>(rgbPattern(x, y, 0)),
                   static_cast<std::uint8_t>(rgbPattern(x, y, 1)),
                   static_cast<std::uint8_t>(rgbPattern(x, y, 2))};
    };
    J2kPicture sub = j2kPicture(15, 7, 3, 8, rgbPattern, OPJ_CLRSPC_SRGB);
    sub.chromaDx = 2;
    J2kPicture sgn = j2kPicture(13, 9, 1, 8, signedPattern, OPJ_CLRSPC_GRAY);
    sgn.sgnd = true;
    return {
        {"gray8", j2kPicture(13, 9, 1, 8, grayPattern, OPJ_CLRSPC_GRAY), 8,
         [](std::uint32_t x, std::uint32_t y) { return grayRgb(grayPattern(x, y, 0)); }},
        {"rgb8", j2kPicture(13, 9, 3, 8, rgbPattern, OPJ_CLRSPC_SRGB), 24, rgbExpect},
        {"gray12", j2kPicture(11, 6, 1, 12, pattern12, OPJ_CLRSPC_GRAY), 24,
         [](std::uint32_t x, std::uint32_t y) {
             return grayRgb(test::to8(pattern12(x, y, 0), 4095));
         },
         1},
        {"gray8_signed", sgn, 8,
         [](std::uint32_t x, std::uint32_t y) { return grayRgb(signedPattern(x, y, 0) + 128); }},
        {"bilevel", j2kPicture(10, 5, 1, 1, bitPattern, OPJ_CLRSPC_GRAY), 1,
         [](std::uint32_t x, std::uint32_t y) { return grayRgb(bitPattern(x, y, 0) * 255); }},
        {"gray_alpha", j2kPicture(10, 5, 2, 8, grayAlpha, OPJ_CLRSPC_GRAY), 8,
         [](std::uint32_t x, std::uint32_t y) { return grayRgb(grayPattern(x, y, 0)); }},
        // Chroma samples cover two columns each; the nearest one to the left is taken.
        {"rgb_subsampled", sub, 24,
         [](std::uint32_t x, std::uint32_t y) {
             return Rgb{static_cast<std::uint8_t>(rgbPattern(x, y, 0)),
                        static_cast<std::uint8_t>(rgbPattern(x & ~1u, y, 1)),
                        static_cast<std::uint8_t>(rgbPattern(x & ~1u, y, 2))};
         }},
    };
}

struct J2kParam {
    J2kCase c;
    OPJ_CODEC_FORMAT format;
};

void PrintTo(const J2kParam& p, std::ostream* os) {
    *os << p.c.name;
}

class Jpeg2000Decode : public ::testing::TestWithParam<J2kParam> {};

void expectPixels(const Image& img, std::uint32_t w, std::uint32_t h,
                  const std::function<Rgb(std::uint32_t, std::uint32_t)>& expect, int tolerance) {
    int bad = 0;
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            const Rgb got = img.PixelColor(x, y), want = expect(x, y);
            const bool close = std::abs(got.r - want.r) <= tolerance &&
                               std::abs(got.g - want.g) <= tolerance &&
                               std::abs(got.b - want.b) <= tolerance;
            if (!close && ++bad <= 3)
                ADD_FAILURE() << "pixel " << x << "," << y << " got " << int(got.r) << ","
                              << int(got.g) << "," << int(got.b) << " want " << int(want.r) << ","
                              << int(want.g) << "," << int(want.b);
        }
    EXPECT_EQ(bad, 0);
}

TEST_P(Jpeg2000Decode, SizeDepthAndExactPixels) {
    const J2kCase& c = GetParam().c;
    const Bytes file = encodeJ2k(c.picture, GetParam().format);
    ASSERT_FALSE(file.empty());
    Image img;
    std::string err;
    testing::internal::CaptureStderr();
    const bool ok = codecs::decodeJpeg2000(file, img, err);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(ok) << err;
    ASSERT_EQ(img.GetWidth(), c.picture.w);
    ASSERT_EQ(img.GetHeight(), c.picture.h);
    EXPECT_EQ(img.GetBpp(), c.depth);
    if (c.depth == 8) {
        EXPECT_TRUE(img.IsGrayRamp());
    }
    expectPixels(img, c.picture.w, c.picture.h, c.expect, c.tolerance);
}

std::vector<J2kParam> j2kParams() {
    std::vector<J2kParam> out;
    for (const J2kCase& c : j2kCases())
        for (OPJ_CODEC_FORMAT f : {OPJ_CODEC_J2K, OPJ_CODEC_JP2})
            out.push_back({c, f});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Jpeg2000Generated, Jpeg2000Decode, ::testing::ValuesIn(j2kParams()),
                         [](const auto& info) {
                             return std::string(info.param.c.name) +
                                    (info.param.format == OPJ_CODEC_JP2 ? "_jp2" : "_j2k");
                         });

TEST(Jpeg2000DecodeMore, SyccIsConvertedToRgb) {
    const J2kPicture s = j2kPicture(12, 8, 3, 8, yccPattern, OPJ_CLRSPC_SYCC);
    const Bytes file = encodeJ2k(s, OPJ_CODEC_JP2);
    ASSERT_FALSE(file.empty());
    Image img;
    std::string err;
    ASSERT_TRUE(codecs::decodeJpeg2000(file, img, err)) << err;
    ASSERT_EQ(img.GetBpp(), 24);
    expectPixels(
        img, s.w, s.h,
        [](std::uint32_t x, std::uint32_t y) {
            const double l = yccPattern(x, y, 0), cb = yccPattern(x, y, 1) - 128.0,
                         cr = yccPattern(x, y, 2) - 128.0;
            auto c = [](double v) {
                return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
            };
            return Rgb{c(l + 1.402 * cr), c(l - 0.344136 * cb - 0.714136 * cr), c(l + 1.772 * cb)};
        },
        1);
}

// Rewrites the image and tile size fields of the SIZ marker in a code stream, and the JP2
// image header box's size when there is one.
void claimSize(Bytes& file, std::uint32_t w, std::uint32_t h) {
    const std::uint8_t ihdr[] = {'i', 'h', 'd', 'r'};
    const auto box = std::search(file.begin(), file.end(), std::begin(ihdr), std::end(ihdr));
    if (box != file.end()) {
        const std::size_t at = static_cast<std::size_t>(box - file.begin()) + 4;
        for (int i = 0; i < 4; ++i) {
            file[at + i] = static_cast<std::uint8_t>(h >> (24 - 8 * i));
            file[at + 4 + i] = static_cast<std::uint8_t>(w >> (24 - 8 * i));
        }
    }
    const std::uint8_t siz[] = {0xFF, 0x4F, 0xFF, 0x51};
    const auto it = std::search(file.begin(), file.end(), std::begin(siz), std::end(siz));
    ASSERT_NE(it, file.end());
    const std::size_t at = static_cast<std::size_t>(it - file.begin()) + 4 + 4; // past Lsiz, Rsiz
    auto put = [&](std::size_t off, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            file[at + off + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    };
    put(0, w);  // Xsiz
    put(4, h);  // Ysiz
    put(16, w); // XTsiz
    put(20, h); // YTsiz
}

TEST(Jpeg2000Refuse, LyingSizeRefusedAtOnce) {
    for (OPJ_CODEC_FORMAT f : {OPJ_CODEC_J2K, OPJ_CODEC_JP2}) {
        for (const auto& [w, h] : {std::pair<std::uint32_t, std::uint32_t>{100000, 100000},
                                   {30001, 8},
                                   {20001, 20000}}) {
            Bytes file = encodeJ2k(j2kPicture(8, 8, 1, 8, grayPattern, OPJ_CLRSPC_GRAY), f);
            claimSize(file, w, h);
            test::expectRefusedAtOnce(codecs::decodeJpeg2000, file, "too large");
        }
    }
}

// Noise behind the signatures and cut signatures are the codec contract's; these are not.
TEST(Jpeg2000Refuse, GarbageFailsSilently) {
    std::mt19937 rng(77);
    std::vector<Bytes> inputs = {{0, 0, 0, 12, 'j', 'P', ' ', ' ', 13, 10, 0x87, 10}};
    // A valid code stream with its coded data scrambled.
    Bytes scrambled =
        encodeJ2k(j2kPicture(16, 16, 3, 8, rgbPattern, OPJ_CLRSPC_SRGB), OPJ_CODEC_J2K);
    for (std::size_t i = scrambled.size() / 2; i + 2 < scrambled.size(); ++i)
        scrambled[i] = static_cast<std::uint8_t>(rng() & 0x7F);
    inputs.push_back(scrambled);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        Image img;
        std::string err;
        testing::internal::CaptureStderr();
        const bool ok = codecs::decodeJpeg2000(inputs[i], img, err);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "input " << i;
        if (i + 1 != inputs.size()) {
            EXPECT_FALSE(ok) << "input " << i;
            EXPECT_FALSE(err.empty());
        }
    }
}

TEST(Jpeg2000Refuse, OtherFormatsTurnedAwayCheaply) {
    // A TIFF header and an empty first directory.
    const Bytes tiff = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Image img;
    std::string err;
    EXPECT_FALSE(codecs::decodeJpeg2000(tiff, img, err));
    EXPECT_NE(err.find("not a JPEG 2000"), std::string::npos) << err;
    EXPECT_FALSE(codecs::decodeTiff(
        encodeJ2k(j2kPicture(8, 8, 1, 8, grayPattern, OPJ_CLRSPC_GRAY), OPJ_CODEC_JP2), img, err));
}

// ---------------------------------------------------------------------------------------------
// The shared corpus.

struct CorpusExpect {
    const char* path;
    std::uint32_t w, h; // Xsiz-X0siz / Ysiz-Y0siz in the header
    std::uint16_t depth;
};

TEST(Jpeg2000Corpus, SizesAndDepthsFromNamesAndHeaders) {
    FOLIO_REQUIRE_CORPUS();
    const CorpusExpect table[] = {
        {"j2k/ox_gray-17x13-53.j2k", 17, 13, 8},
        {"j2k/ox_gray-32x32-s12-53.j2k", 32, 32, 24},
        {"j2k/ox_gray-32x32-u16-53.j2k", 32, 32, 24},
        {"j2k/ox_gray-33x29-off31-53.j2k", 33, 29, 8}, // Xsiz 36 - X0siz 3, Ysiz 30 - Y0siz 1
        {"j2k/ox_rgb-95x48-sub21-53.j2k", 48, 48, 24}, // every component XRsiz 2: 95 -> 48
        {"j2k/im_input.j2k", 70, 46, 24},
        {"j2c/ox_gray-16x16-mct0-97.j2c", 16, 16, 8},
        {"j2c/ox_gray-96x80-tlm-53.j2c", 96, 80, 8},
        {"j2c/ox_rgb-48x32-mct0-53.j2c", 48, 32, 24},
        {"jpc/ox_gray-40x40-bypass-97.jpc", 40, 40, 8},
        {"jpc/ox_gray-64x64-multilayer-53.jpc", 64, 64, 8},
        {"jpc/ox_rgb-16x16-rct-53.jpc", 16, 16, 24},
        {"jpc/ox_rgb-48x32-cprl-53.jpc", 48, 32, 24},
        {"jpc/im_input.jpc", 70, 46, 24},
        {"jp2/im_input.jp2", 70, 46, 24},
        {"jp2/ox_rgb-48x32.jp2", 48, 32, 24},
        {"jp2/ox_bgr-cdef-16x16.jp2", 16, 16, 24},
        {"jp2/ox_pal-32x24.jp2", 32, 24, 24},      // palette expanded to colour
        {"jp2/pil_16bit.cropped.jp2", 64, 64, 24}, // gray deeper than 8 bits: true colour
        {"jp2/pil_comment.jp2", 1, 1, 8},
        {"jp2/pil_test-card-lossy-tiled.jp2", 640, 480, 24},
        {"pgx/im_input_is_jp2.pgx", 70, 46, 8}, // a one-component JP2 despite its name
    };
    for (const CorpusExpect& e : table) {
        const Image img = test::corpusImage(e.path, codecs::decodeJpeg2000);
        EXPECT_EQ(img.GetWidth(), e.w) << e.path;
        EXPECT_EQ(img.GetHeight(), e.h) << e.path;
        EXPECT_EQ(img.GetBpp(), e.depth) << e.path;
    }
}

// Plain PGX ("PG ML + 8 w h\n" then one byte per sample), as OxideAV's reference decodes are.
std::tuple<std::uint32_t, std::uint32_t, Bytes> readPgx8(const std::string& rel) {
    const Bytes data = test::readFile((test::corpusDir() / rel).string());
    const auto nl = std::find(data.begin(), data.end(), '\n');
    const std::string header(data.begin(), nl);
    unsigned w = 0, h = 0;
    EXPECT_EQ(std::sscanf(header.c_str(), "PG ML + 8 %u %u", &w, &h), 2) << header;
    Bytes samples(nl + 1, data.end());
    EXPECT_EQ(samples.size(), std::size_t{w} * h);
    return {w, h, samples};
}

TEST(Jpeg2000Corpus, SubsampledComponentMatchesReferenceDecode) {
    FOLIO_REQUIRE_CORPUS();
    // ref1 is component 1 (green) of the lossless 5-3 stream, decoded elsewhere.
    const auto [w, h, ref] = readPgx8("pgx/ox_rgb-95x48-sub21-53-ref1.pgx");
    const Image img = test::corpusImage("j2k/ox_rgb-95x48-sub21-53.j2k", codecs::decodeJpeg2000);
    ASSERT_EQ(img.GetWidth(), w);
    ASSERT_EQ(img.GetHeight(), h);
    int bad = 0;
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            if (img.PixelColor(x, y).g != ref[y * w + x]) ++bad;
    EXPECT_EQ(bad, 0);
}

TEST(Jpeg2000Corpus, PaletteColoursComeFromThePclrBox) {
    FOLIO_REQUIRE_CORPUS();
    const Bytes data = test::readFile((test::corpusDir() / "jp2/ox_pal-32x24.jp2").string());
    const std::uint8_t tag[] = {'p', 'c', 'l', 'r'};
    const auto it = std::search(data.begin(), data.end(), std::begin(tag), std::end(tag));
    ASSERT_NE(it, data.end());
    // pclr: NE (2 bytes), NPC (1), B_i per column (1 each), then NE rows of 8-bit entries.
    std::size_t at = static_cast<std::size_t>(it - data.begin()) + 4;
    const unsigned entries = (data[at] << 8) | data[at + 1];
    const unsigned columns = data[at + 2];
    ASSERT_EQ(columns, 3u);
    for (unsigned c = 0; c < columns; ++c)
        ASSERT_EQ(data[at + 3 + c] & 0x7F, 7); // 8-bit
    at += 3 + columns;
    std::set<std::tuple<int, int, int>> palette;
    for (unsigned e = 0; e < entries; ++e, at += 3)
        palette.insert({data.at(at), data.at(at + 1), data.at(at + 2)});
    const Image img = test::corpusImage("jp2/ox_pal-32x24.jp2", codecs::decodeJpeg2000);
    ASSERT_EQ(img.GetBpp(), 24);
    std::set<std::tuple<int, int, int>> used;
    for (std::uint32_t y = 0; y < img.GetHeight(); ++y)
        for (std::uint32_t x = 0; x < img.GetWidth(); ++x) {
            const Rgb c = img.PixelColor(x, y);
            EXPECT_TRUE(palette.count({c.r, c.g, c.b})) << x << "," << y;
            used.insert({c.r, c.g, c.b});
        }
    EXPECT_GT(used.size(), 1u);
}

TEST(Jpeg2000Corpus, BrokenFilesFail) {
    FOLIO_REQUIRE_CORPUS();
    // Y0siz equals Ysiz: an image with no rows.
    for (const char* rel : {"j2k/pil_zero_height.j2k", "jp2/pil_unbound_variable.jp2"}) {
        Image img;
        std::string err;
        EXPECT_FALSE(
            codecs::decodeJpeg2000(test::readFile((test::corpusDir() / rel).string()), img, err))
            << rel;
    }
}

} // namespace
} // namespace folio
