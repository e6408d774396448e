// The JPEG 2000 decoder: images written by OpenJPEG here in the test, read back through our
// decoder; the shared corpus checks real-world files.
#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"
#include "tests/test_support.h"

#include <openjpeg-2.5/openjpeg.h>

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

// ---------------------------------------------------------------------------------------------
// JPEG 2000, written by OpenJPEG's encoder.

struct WriteStream {
    Bytes bytes;
    std::uint64_t pos = 0;
};

OPJ_SIZE_T jWrite(void* buf, OPJ_SIZE_T n, void* user) {
    auto* s = static_cast<WriteStream*>(user);
    if (s->pos + n > s->bytes.size()) s->bytes.resize(s->pos + n);
    std::memcpy(s->bytes.data() + s->pos, buf, n);
    s->pos += n;
    return n;
}
OPJ_OFF_T jSkip(OPJ_OFF_T n, void* user) {
    auto* s = static_cast<WriteStream*>(user);
    s->pos += static_cast<std::uint64_t>(n);
    if (s->pos > s->bytes.size()) s->bytes.resize(s->pos);
    return n;
}
OPJ_BOOL jSeek(OPJ_OFF_T to, void* user) {
    auto* s = static_cast<WriteStream*>(user);
    s->pos = static_cast<std::uint64_t>(to);
    if (s->pos > s->bytes.size()) s->bytes.resize(s->pos);
    return OPJ_TRUE;
}
void jQuiet(const char*, void*) {}

using CompFn = std::int32_t (*)(std::uint32_t x, std::uint32_t y, unsigned comp);

struct J2kPicture {
    std::uint32_t w = 8, h = 6;
    unsigned comps = 1, prec = 8;
    bool sgnd = false;
    std::uint32_t chromaDx = 1; // horizontal subsampling of components 1 and 2
    OPJ_COLOR_SPACE space = OPJ_CLRSPC_GRAY;
    CompFn fn = nullptr;
};

// Lossless (5-3) encoding of `s` as a raw code stream or a JP2 file.
Bytes encodeJ2k(const J2kPicture& s, OPJ_CODEC_FORMAT format) {
    std::vector<opj_image_cmptparm_t> parms(s.comps);
    for (unsigned c = 0; c < s.comps; ++c) {
        std::memset(&parms[c], 0, sizeof parms[c]);
        parms[c].dx = (c == 1 || c == 2) ? s.chromaDx : 1;
        parms[c].dy = 1;
        parms[c].w = (s.w + parms[c].dx - 1) / parms[c].dx;
        parms[c].h = s.h;
        parms[c].prec = s.prec;
        parms[c].sgnd = s.sgnd;
    }
    std::unique_ptr<opj_image_t, void (*)(opj_image_t*)> image(
        opj_image_create(s.comps, parms.data(), s.space), opj_image_destroy);
    if (!image) return {};
    image->x0 = image->y0 = 0;
    image->x1 = s.w;
    image->y1 = s.h;
    for (unsigned c = 0; c < s.comps; ++c) {
        const opj_image_comp_t& comp = image->comps[c];
        for (std::uint32_t y = 0; y < comp.h; ++y)
            for (std::uint32_t x = 0; x < comp.w; ++x)
                comp.data[y * comp.w + x] = s.fn(x * comp.dx, y, c);
    }
    opj_cparameters_t params;
    opj_set_default_encoder_parameters(&params);
    params.tcp_numlayers = 1;
    params.tcp_rates[0] = 0;
    params.cp_disto_alloc = 1;
    params.numresolution = 2;
    params.tcp_mct = (s.comps >= 3 && s.chromaDx == 1) ? 1 : 0;
    std::unique_ptr<opj_codec_t, void (*)(opj_codec_t*)> codec(opj_create_compress(format),
                                                               opj_destroy_codec);
    opj_set_info_handler(codec.get(), jQuiet, nullptr);
    opj_set_warning_handler(codec.get(), jQuiet, nullptr);
    opj_set_error_handler(codec.get(), jQuiet, nullptr);
    if (!opj_setup_encoder(codec.get(), &params, image.get())) return {};
    WriteStream out;
    std::unique_ptr<opj_stream_t, void (*)(opj_stream_t*)> stream(
        opj_stream_create(1 << 16, OPJ_FALSE), opj_stream_destroy);
    opj_stream_set_user_data(stream.get(), &out, nullptr);
    opj_stream_set_write_function(stream.get(), jWrite);
    opj_stream_set_skip_function(stream.get(), jSkip);
    opj_stream_set_seek_function(stream.get(), jSeek);
    if (!opj_start_compress(codec.get(), image.get(), stream.get()) ||
        !opj_encode(codec.get(), stream.get()) || !opj_end_compress(codec.get(), stream.get()))
        return {};
    stream.reset(); // flushes
    return out.bytes;
}

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

TEST(Jpeg2000Refuse, EveryTruncationFails) {
    for (OPJ_CODEC_FORMAT f : {OPJ_CODEC_J2K, OPJ_CODEC_JP2}) {
        for (const J2kPicture& s : {j2kPicture(9, 7, 1, 8, grayPattern, OPJ_CLRSPC_GRAY),
                                    j2kPicture(8, 8, 3, 8, rgbPattern, OPJ_CLRSPC_SRGB)}) {
            const Bytes file = encodeJ2k(s, f);
            ASSERT_FALSE(file.empty());
            Image full;
            std::string err;
            ASSERT_TRUE(codecs::decodeJpeg2000(file, full, err)) << err;
            testing::internal::CaptureStderr();
            for (std::size_t n = 0; n < file.size(); ++n) {
                Image img;
                EXPECT_FALSE(codecs::decodeJpeg2000(std::span(file.data(), n), img, err))
                    << "prefix " << n << " of " << file.size()
                    << (f == OPJ_CODEC_JP2 ? " jp2" : " j2k");
            }
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        }
    }
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

TEST(Jpeg2000Refuse, GarbageFailsSilently) {
    std::mt19937 rng(77);
    Bytes noise(400);
    for (auto& b : noise)
        b = static_cast<std::uint8_t>(rng());
    const Bytes jp2Sig = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 13, 10, 0x87, 10};
    std::vector<Bytes> inputs = {{}, noise, {0xFF, 0x4F}, {0xFF, 0x4F, 0xFF, 0x51}, jp2Sig};
    Bytes soc = {0xFF, 0x4F, 0xFF, 0x51};
    soc.insert(soc.end(), noise.begin(), noise.end());
    inputs.push_back(soc);
    Bytes jp2 = jp2Sig;
    jp2.insert(jp2.end(), noise.begin(), noise.end());
    inputs.push_back(jp2);
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

TEST(Jpeg2000Corpus, EveryFileLoadsOrFailsCleanly) {
    FOLIO_REQUIRE_CORPUS();
    // Cut short, every file fails (or decodes) without a crash or a message as well.
    const auto count = test::sweepCorpus(
        codecs::decodeJpeg2000, {"jp2", "j2k", "j2c", "jpc"}, kMaxImageSide,
        [](const std::filesystem::path& path, bool, const Image&, const std::string&) {
            test::expectCutsSilent(codecs::decodeJpeg2000, test::readFile(path.string()));
        });
    EXPECT_GE(count.files, 30);
}

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
