// JPEG XL pictures made by libjxl's own encoder: every kind probes and decodes to the pixels
// given (and to what the reference decoder djxl makes of them), upright, and damaged or lying
// files fail cleanly.
#include "book/image/Image.h"
#include "book/image/codecs/Formats.h"
#include "book/image/image_type.h"
#include "jxl_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

namespace folio {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kW = 45, kH = 30;

// Smooth enough for lossy coding, different in every corner.
Rgb colour(std::uint32_t x, std::uint32_t y) {
    return Rgb{static_cast<std::uint8_t>(x * 5), static_cast<std::uint8_t>(y * 8),
               static_cast<std::uint8_t>(250 - x * 3)};
}

// The test picture with 1 to 4 channels (gray is its green, alpha varies); a second frame
// of an animation is flat.
Bytes pixels(std::uint32_t channels, int frame = 0) {
    Bytes px;
    for (std::uint32_t y = 0; y < kH; ++y)
        for (std::uint32_t x = 0; x < kW; ++x) {
            const Rgb c = frame == 0 ? colour(x, y) : Rgb{10, 200, 10};
            if (channels < 3)
                px.push_back(c.g);
            else
                px.insert(px.end(), {c.r, c.g, c.b});
            if (channels % 2 == 0) px.push_back(static_cast<std::uint8_t>(30 + x * 4));
        }
    return px;
}

test::JxlPicture picture(std::uint32_t channels, bool lossless) {
    test::JxlPicture p;
    p.w = kW, p.h = kH, p.channels = channels, p.lossless = lossless;
    p.frames = {pixels(channels)};
    return p;
}

// The test picture as a JPEG written by our encoder, and that JPEG decoded by ours.
Bytes testJpeg() {
    Image img;
    img.Create(kW, kH, 24);
    for (std::uint32_t y = 0; y < kH; ++y)
        for (std::uint32_t x = 0; x < kW; ++x) {
            const Rgb c = colour(x, y);
            std::uint8_t* p = img.Row(y) + x * 3;
            p[0] = c.r, p[1] = c.g, p[2] = c.b;
        }
    img.SetJpegQuality(90);
    Bytes out;
    img.Encode(out, kFormatJpeg);
    return out;
}

// Mean distance per channel between two pictures of the same size and depth.
double distance(const Image& a, const Image& b) {
    if (a.GetWidth() != b.GetWidth() || a.GetHeight() != b.GetHeight() || a.GetBpp() != b.GetBpp())
        return 1e9;
    double sum = 0;
    for (std::uint32_t y = 0; y < a.GetHeight(); ++y)
        for (std::uint32_t x = 0; x < a.GetWidth(); ++x) {
            const Rgb p = a.PixelColor(x, y), q = b.PixelColor(x, y);
            sum += std::abs(p.r - q.r) + std::abs(p.g - q.g) + std::abs(p.b - q.b);
        }
    return sum / (3.0 * a.GetWidth() * a.GetHeight());
}

// The pixels given, as a picture of the depth the decoder gives (alpha left out).
Image given(std::uint32_t channels) {
    Image img;
    const bool gray = channels < 3;
    img.Create(kW, kH, gray ? 8 : 24);
    if (gray) img.SetGrayPalette();
    const Bytes px = pixels(channels);
    std::uint8_t* dst = img.Pixels().data();
    for (std::size_t i = 0; i < std::size_t{kW} * kH; ++i)
        for (std::uint32_t c = 0; c < (gray ? 1u : 3u); ++c)
            *dst++ = px[i * channels + c];
    return img;
}

Bytes turnedFile(bool lossless, std::uint8_t orientation) {
    test::JxlPicture p = picture(3, lossless);
    p.orientation = orientation;
    return test::jxlFile(p);
}

// The RGB pixels given, turned as Image::Orient turns an EXIF-tagged photo.
Image upright(std::uint8_t orientation) {
    Image img = given(3);
    return img.Orient(orientation) ? img : Image();
}

bool decodeJxl(std::span<const std::uint8_t> data, Image& out, std::string& err) {
    codecs::DecodeError e;
    const bool ok = codecs::formatOf(kFormatJxl)->decode(data, out, e);
    err = e.detail;
    return ok;
}

struct Kind {
    std::string name;
    std::function<Bytes()> make;
    std::uint16_t bpp;
    std::function<Image()> expected;
    double tolerance; // mean per channel
};

const std::vector<Kind>& kinds() {
    static const std::vector<Kind> rows = [] {
        const auto animation = [] {
            test::JxlPicture p = picture(3, true);
            p.frames.push_back(pixels(3, 1));
            return test::jxlFile(p);
        };
        const auto container = [] {
            test::JxlPicture p = picture(3, true);
            p.container = true;
            return test::jxlFile(p);
        };
        const auto fromJpeg = [] {
            Image img;
            img.LoadMemory(testJpeg(), kFormatJpeg);
            return img;
        };
        std::vector<Kind> rows{
            {"lossless RGB", [] { return test::jxlFile(picture(3, true)); }, 24,
             [] { return given(3); }, 0},
            {"lossless gray", [] { return test::jxlFile(picture(1, true)); }, 8,
             [] { return given(1); }, 0},
            {"lossless RGBA", [] { return test::jxlFile(picture(4, true)); }, 24,
             [] { return given(4); }, 0},
            {"lossless gray with alpha", [] { return test::jxlFile(picture(2, true)); }, 8,
             [] { return given(2); }, 0},
            {"lossy RGB", [] { return test::jxlFile(picture(3, false)); }, 24,
             [] { return given(3); }, 3},
            {"lossy gray", [] { return test::jxlFile(picture(1, false)); }, 8,
             [] { return given(1); }, 3},
            {"lossy RGBA", [] { return test::jxlFile(picture(4, false)); }, 24,
             [] { return given(4); }, 3},
            {"lossy RGB, turned a quarter", [] { return turnedFile(false, 6); }, 24,
             [] { return upright(6); }, 3},
            {"animation, first frame", animation, 24, [] { return given(3); }, 0},
            {"container", container, 24, [] { return given(3); }, 0},
            // The JPEG's own coefficients: the pixels are those of a JPEG decode.
            {"recompressed JPEG", [] { return test::jxlFromJpeg(testJpeg()); }, 24, fromJpeg, 1.5},
        };
        // Orientations 2 to 8 come out upright, as Image::Orient turns an EXIF-tagged photo;
        // the probe reports the upright size.
        for (std::uint8_t o = 2; o <= 8; ++o)
            rows.push_back({"lossless RGB, orientation " + std::to_string(o),
                            [o] { return turnedFile(true, o); }, 24, [o] { return upright(o); },
                            0});
        return rows;
    }();
    return rows;
}

TEST(Jxl, EveryKindProbesAndDecodesToThePixelsGiven) {
    for (const Kind& row : kinds()) {
        SCOPED_TRACE(row.name);
        const Bytes file = row.make();
        ASSERT_FALSE(file.empty());
        const Image expected = row.expected();
        test::expectRecognised(file, kFormatJxl, row.bpp, expected.GetWidth(),
                               expected.GetHeight());
        Image img;
        ASSERT_TRUE(img.LoadMemory(file, imageTypeOfPath("a.JXL"))) << img.GetLastError();
        EXPECT_EQ(test::imageFault(img), "");
        EXPECT_EQ(img.IsGrayRamp(), row.bpp == 8);
        EXPECT_LE(distance(img, expected), row.tolerance);
    }
}

// Our decode and libjxl's reference decoder (djxl, to PNG) give the same pixels.
TEST(Jxl, DecodesAsTheReferenceDecoder) {
    if (std::system("command -v djxl >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "djxl (libjxl-tools) is not installed";
    test::TempDir dir;
    for (const Kind& row : kinds()) {
        SCOPED_TRACE(row.name);
        const std::string in = dir.file("in.jxl"), out = dir.file("out.png");
        test::writeFile(in, row.make());
        std::filesystem::remove(out);
        const std::string command = "djxl '" + in + "' '" + out + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        Image reference, ours;
        ASSERT_TRUE(reference.Load(out, kFormatPng)) << reference.GetLastError();
        ASSERT_TRUE(ours.Load(in, kFormatJxl)) << ours.GetLastError();
        EXPECT_LE(distance(ours, reference), 0.5);
    }
}

// LSB-first bits, as a JPEG XL code stream packs its header fields.
class Bits {
  public:
    Bits& put(std::uint32_t value, unsigned n) {
        for (unsigned i = 0; i < n; ++i, ++bit_) {
            if (bit_ % 8 == 0) bytes_.push_back(0);
            bytes_.back() |= static_cast<std::uint8_t>(((value >> i) & 1u) << (bit_ % 8));
        }
        return *this;
    }
    Bytes bytes() const { return bytes_; }

  private:
    Bytes bytes_;
    unsigned bit_ = 0;
};

// A bare code stream whose header says w x h, 8-bit sRGB, with whatever bytes after it.
Bytes codestreamHeader(std::uint32_t w, std::uint32_t h) {
    Bits b;
    b.put(0xFF, 8).put(0x0A, 8);
    // Size header: not a multiple of 8; height, ratio 0 (width given), width. Selector 3
    // reads 30 bits of size minus one.
    b.put(0, 1).put(3, 2).put(h - 1, 30).put(0, 3).put(3, 2).put(w - 1, 30);
    b.put(1, 1); // image metadata: all default
    Bytes out = b.bytes();
    out.resize(out.size() + 64, 0);
    return out;
}

// Sizes past the limits, or whose libjxl planes are past the memory budget, are refused from
// the header alone; one within both probes from the header alone (its data is missing).
TEST(Jxl, HeaderSizesAreHeldToTheLimitsBeforeDecoding) {
    const struct {
        std::uint32_t w, h;
        bool probes;
        const char* reason;
    } rows[] = {{30001, 10, false, "image too large"},
                {20000, 20001, false, "image too large"},
                {7000, 7000, false, "memory budget"}, // 49 MP: 588 MB of planes
                {6000, 6000, true, ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.w) + " x " + std::to_string(row.h));
        const Bytes file = codestreamHeader(row.w, row.h);
        codecs::PictureFacts facts;
        codecs::DecodeError err;
        const bool probed = codecs::formatOf(kFormatJxl)->probe(file, facts, err);
        EXPECT_EQ(probed, row.probes) << err.detail;
        if (probed) {
            EXPECT_EQ(facts.width, row.w);
            EXPECT_EQ(facts.height, row.h);
            EXPECT_EQ(facts.bpp, 24);
        } else {
            EXPECT_EQ(err.reason, codecs::DecodeReason::OverLimits);
        }
        test::expectRefusedAtOnce(decodeJxl, file, row.reason);
    }
}

// Cut files, noise and other formats' files: the codec contract runs them over the JPEG XL
// seeds (a bare lossy one, a container). Here, lying headers and boxes behind a signature.
TEST(Jxl, DamagedFilesFailCleanlyAndQuietly) {
    const Bytes lossy = test::jxlFile(picture(3, false));
    test::JxlPicture boxed = picture(3, true);
    boxed.container = true;
    const Bytes container = test::jxlFile(boxed);
    ASSERT_FALSE(lossy.empty());
    ASSERT_GT(container.size(), 12u);
    Bytes afterSignature = {0xFF, 0x0A};
    afterSignature.resize(200, 0xFF);
    Bytes badBox(container.begin(), container.begin() + 12);
    badBox.resize(300, 0x41);
    Bytes flipped = lossy;
    for (std::size_t i = 12; i < flipped.size(); i += 7)
        flipped[i] ^= 0x5A;
    for (const Bytes& bad : {afterSignature, badBox}) {
        testing::internal::CaptureStderr();
        Image refused;
        std::string why;
        EXPECT_FALSE(decodeJxl(bad, refused, why));
        EXPECT_FALSE(why.empty());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }

    // A damaged payload may still decode; it must not crash, print or break the picture.
    testing::internal::CaptureStderr();
    Image img;
    std::string err;
    if (decodeJxl(flipped, img, err))
        EXPECT_EQ(test::imageFault(img), "");
    else
        EXPECT_FALSE(err.empty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    // Neither signature: not this format, whatever follows.
    codecs::PictureFacts facts;
    codecs::DecodeError e;
    EXPECT_FALSE(codecs::formatOf(kFormatJxl)->probe(testJpeg(), facts, e));
    EXPECT_EQ(e.reason, codecs::DecodeReason::NotThisFormat);
}

} // namespace
} // namespace folio
