// WebP, HEIF and AVIF pictures made by the real encoders (libwebp, libheif with x265 and
// aom): recognised by content, probed with the decoder's facts, decoded and made into pages.
#include "book/book_builder.h"
#include "book/image/Image.h"
#include "book/image/codecs/Formats.h"
#include "book/image_type.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <libheif/heif.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cstdlib>
#include <memory>

namespace folio {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kW = 64, kH = 40;

// Smooth enough for lossy coding, different in every corner.
Rgb colour(int x, int y, int frame = 0) {
    if (frame != 0) return Rgb{10, 10, 10};
    return Rgb{static_cast<std::uint8_t>(x * 4), static_cast<std::uint8_t>(y * 6),
               static_cast<std::uint8_t>(255 - x * 2)};
}

Bytes rgbaPixels(int frame, bool alpha) {
    Bytes px(std::size_t{kW} * kH * 4);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const Rgb c = colour(x, y, frame);
            std::uint8_t* p = &px[(std::size_t(y) * kW + x) * 4];
            p[0] = c.r, p[1] = c.g, p[2] = c.b;
            p[3] = alpha ? static_cast<std::uint8_t>(40 + x * 3) : 255;
        }
    return px;
}

// Mean distance per channel from the test picture.
double distance(const Image& got, int frame = 0) {
    double sum = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const Rgb a = got.PixelColor(x, y), b = colour(x, y, frame);
            sum += std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b);
        }
    return sum / (3.0 * kW * kH);
}

enum class WebpKind { Lossy, Lossless, LossyAlpha, LosslessAlpha, Animated };

Bytes webpFile(WebpKind kind) {
    const bool alpha = kind == WebpKind::LossyAlpha || kind == WebpKind::LosslessAlpha;
    const bool lossless = kind == WebpKind::Lossless || kind == WebpKind::LosslessAlpha;
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = lossless;
    config.quality = 90;
    config.exact = 1; // keep the colour under the alpha as it is
    if (kind == WebpKind::Animated) {
        WebPAnimEncoderOptions options;
        WebPAnimEncoderOptionsInit(&options);
        std::unique_ptr<WebPAnimEncoder, decltype(&WebPAnimEncoderDelete)> enc(
            WebPAnimEncoderNew(kW, kH, &options), WebPAnimEncoderDelete);
        config.lossless = 1;
        for (int frame = 0; frame < 2; ++frame) {
            WebPPicture pic;
            WebPPictureInit(&pic);
            pic.width = kW, pic.height = kH, pic.use_argb = 1;
            const Bytes px = rgbaPixels(frame, false);
            WebPPictureImportRGBA(&pic, px.data(), kW * 4);
            EXPECT_TRUE(WebPAnimEncoderAdd(enc.get(), &pic, frame * 100, &config));
            WebPPictureFree(&pic);
        }
        WebPAnimEncoderAdd(enc.get(), nullptr, 200, nullptr);
        WebPData data;
        WebPDataInit(&data);
        EXPECT_TRUE(WebPAnimEncoderAssemble(enc.get(), &data));
        Bytes out(data.bytes, data.bytes + data.size);
        WebPDataClear(&data);
        return out;
    }
    WebPPicture pic;
    WebPPictureInit(&pic);
    pic.width = kW, pic.height = kH, pic.use_argb = lossless;
    const Bytes px = rgbaPixels(0, alpha);
    WebPPictureImportRGBA(&pic, px.data(), kW * 4);
    WebPMemoryWriter writer;
    WebPMemoryWriterInit(&writer);
    pic.writer = WebPMemoryWrite;
    pic.custom_ptr = &writer;
    EXPECT_TRUE(WebPEncode(&config, &pic));
    WebPPictureFree(&pic);
    Bytes out(writer.mem, writer.mem + writer.size);
    WebPMemoryWriterClear(&writer);
    return out;
}

// The loader's facts for a file named as a JPEG: recognition by content must find it.
void expectRecognised(const Bytes& file, std::uint32_t type, std::uint16_t bpp, int w, int h) {
    codecs::PictureFacts facts;
    std::uint32_t as = 0;
    codecs::DecodeError err;
    ASSERT_TRUE(codecs::probeAny(file, kFormatJpeg, facts, as, err)) << err.detail;
    EXPECT_EQ(as, type);
    EXPECT_EQ(facts.width, static_cast<std::uint32_t>(w));
    EXPECT_EQ(facts.height, static_cast<std::uint32_t>(h));
    EXPECT_EQ(facts.bpp, bpp);
    Image img;
    ASSERT_TRUE(img.LoadMemory(file, kFormatJpeg)) << img.GetLastError();
    EXPECT_EQ(img.GetType(), type);
    EXPECT_EQ(img.GetWidth(), facts.width);
    EXPECT_EQ(img.GetHeight(), facts.height);
    EXPECT_EQ(img.GetBpp(), facts.bpp);
}

TEST(Webp, EveryKindProbesDecodesAndMakesAPage) {
    const struct {
        WebpKind kind;
        const char* name;
        double tolerance;
    } rows[] = {{WebpKind::Lossy, "lossy", 6},
                {WebpKind::Lossless, "lossless", 0},
                {WebpKind::LossyAlpha, "lossy with alpha", 6},
                {WebpKind::LosslessAlpha, "lossless with alpha", 0},
                {WebpKind::Animated, "animated", 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes file = webpFile(row.kind);
        ASSERT_FALSE(file.empty());
        expectRecognised(file, kFormatWebp, 24, kW, kH);
        Image img;
        ASSERT_TRUE(img.LoadMemory(file, imageTypeOfPath("a.webp"))) << img.GetLastError();
        EXPECT_LE(distance(img), row.tolerance);
        std::vector<std::uint8_t> jpeg;
        std::string reason;
        EXPECT_TRUE(encodePage(img, false, 80, jpeg, reason)) << reason;
    }
    const Bytes lossless = webpFile(WebpKind::Lossless);
    test::expectPrefixesFail(
        [](std::span<const std::uint8_t> d, Image& out, std::string& err) {
            codecs::DecodeError e;
            const bool ok = codecs::formatOf(kFormatWebp)->decode(d, out, e);
            err = e.detail;
            return ok;
        },
        lossless);
}

heif_error collect(heif_context*, const void* data, size_t size, void* user) {
    auto* out = static_cast<Bytes*>(user);
    const auto* p = static_cast<const std::uint8_t*>(data);
    out->insert(out->end(), p, p + size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

// A HEIF file from libheif's encoder for `format`; empty when this libheif cannot encode it.
Bytes heifFile(heif_compression_format format, bool gray, heif_orientation orientation) {
    if (!heif_have_encoder_for_format(format)) return {};
    std::unique_ptr<heif_context, decltype(&heif_context_free)> ctx(heif_context_alloc(),
                                                                    heif_context_free);
    heif_encoder* raw = nullptr;
    if (heif_context_get_encoder_for_format(ctx.get(), format, &raw).code != heif_error_Ok)
        return {};
    std::unique_ptr<heif_encoder, decltype(&heif_encoder_release)> enc(raw, heif_encoder_release);
    heif_encoder_set_lossy_quality(enc.get(), 90);
    heif_encoder_set_parameter_string(enc.get(), "x265:log-level", "none");
    heif_image* img = nullptr;
    heif_image_create(kW, kH, gray ? heif_colorspace_monochrome : heif_colorspace_RGB,
                      gray ? heif_chroma_monochrome : heif_chroma_interleaved_RGB, &img);
    std::unique_ptr<heif_image, decltype(&heif_image_release)> owned(img, heif_image_release);
    const heif_channel channel = gray ? heif_channel_Y : heif_channel_interleaved;
    heif_image_add_plane(img, channel, kW, kH, 8);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(img, channel, &stride);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const Rgb c = colour(x, y);
            if (gray) {
                plane[y * stride + x] = c.g;
            } else {
                std::uint8_t* p = plane + y * stride + x * 3;
                p[0] = c.r, p[1] = c.g, p[2] = c.b;
            }
        }
    std::unique_ptr<heif_encoding_options, decltype(&heif_encoding_options_free)> options(
        heif_encoding_options_alloc(), heif_encoding_options_free);
    options->image_orientation = orientation;
    if (heif_context_encode_image(ctx.get(), img, enc.get(), options.get(), nullptr).code !=
        heif_error_Ok)
        return {};
    Bytes out;
    heif_writer writer{1, collect};
    if (heif_context_write(ctx.get(), &writer, &out).code != heif_error_Ok) return {};
    return out;
}

TEST(Heif, HeicAndAvifProbeDecodeAndMakePages) {
    const struct {
        heif_compression_format format;
        const char* name;
        bool gray;
    } rows[] = {{heif_compression_HEVC, "HEIC", false},
                {heif_compression_AV1, "AVIF", false},
                {heif_compression_AV1, "monochrome AVIF", true}};
    int made = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes file = heifFile(row.format, row.gray, heif_orientation_normal);
        if (file.empty()) continue;
        ++made;
        expectRecognised(file, kFormatHeif, row.gray ? 8 : 24, kW, kH);
        Image img;
        ASSERT_TRUE(img.LoadMemory(file, imageTypeOfPath("a.heic"))) << img.GetLastError();
        if (row.gray) {
            EXPECT_TRUE(img.IsGrayRamp());
            double sum = 0;
            for (int y = 0; y < kH; ++y)
                for (int x = 0; x < kW; ++x)
                    sum += std::abs(img.PixelColor(x, y).g - colour(x, y).g);
            EXPECT_LT(sum / (kW * kH), 6);
        } else {
            EXPECT_LT(distance(img), 6);
        }
        std::vector<std::uint8_t> jpeg;
        std::string reason;
        EXPECT_TRUE(encodePage(img, row.gray, 80, jpeg, reason)) << reason;
    }
    if (made == 0) GTEST_SKIP() << "this libheif has neither an HEVC nor an AV1 encoder";
}

// irot and imir are applied by the decode, so the probe must report the turned size.
TEST(Heif, TurnedPicturesProbeWithTheirDecodedSize) {
    const Bytes turned = heifFile(heif_compression_AV1, false, heif_orientation_rotate_90_cw);
    if (turned.empty()) GTEST_SKIP() << "no AV1 encoder in this libheif";
    expectRecognised(turned, kFormatHeif, 24, kH, kW);
    const Bytes mirrored =
        heifFile(heif_compression_AV1, false, heif_orientation_rotate_90_cw_then_flip_horizontally);
    expectRecognised(mirrored, kFormatHeif, 24, kH, kW);

    test::expectPrefixesFail(
        [](std::span<const std::uint8_t> d, Image& out, std::string& err) {
            codecs::DecodeError e;
            const bool ok = codecs::formatOf(kFormatHeif)->decode(d, out, e);
            err = e.detail;
            return ok;
        },
        turned);
}

} // namespace
} // namespace folio
