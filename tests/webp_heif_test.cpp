// WebP, HEIF and AVIF pictures made by the real encoders (libwebp, libheif with x265 and
// aom): recognised by content, probed with the decoder's facts, decoded and made into pages.
#include "book/image/Image.h"
#include "book/image/codecs/Formats.h"
#include "book/image/image_type.h"
#include "book/making/book_builder.h"
#include "picture_writers.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>

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
    if (kind == WebpKind::Animated)
        return test::webpAnimation(kW, kH, {rgbaPixels(0, false), rgbaPixels(1, false)});
    const bool alpha = kind == WebpKind::LossyAlpha || kind == WebpKind::LosslessAlpha;
    const bool lossless = kind == WebpKind::Lossless || kind == WebpKind::LosslessAlpha;
    return test::webpStill(kW, kH, rgbaPixels(0, alpha), lossless);
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
        test::expectRecognised(file, kFormatWebp, 24, kW, kH);
        Image img;
        ASSERT_TRUE(img.LoadMemory(file, imageTypeOfPath("a.webp"))) << img.GetLastError();
        EXPECT_LE(distance(img), row.tolerance);
        std::vector<std::uint8_t> jpeg;
        std::string reason;
        EXPECT_TRUE(encodePage(img, false, 80, jpeg, reason)) << reason;
    }
}

// The test picture as gray, RGB or RGBA pixels.
Bytes heifFile(heif_compression_format format, int channels, heif_orientation orientation) {
    Bytes px;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const Rgb c = colour(x, y);
            if (channels == 1)
                px.push_back(c.g);
            else
                px.insert(px.end(), {c.r, c.g, c.b});
            if (channels == 4) px.push_back(static_cast<std::uint8_t>(40 + x * 3));
        }
    return test::heifFile(format, kW, kH, px, orientation);
}

TEST(Heif, HeicAndAvifProbeDecodeAndMakePages) {
    const struct {
        heif_compression_format format;
        const char* name;
        int channels;
    } rows[] = {{heif_compression_HEVC, "HEIC", 3},
                {heif_compression_AV1, "AVIF", 3},
                // The alpha plane is coded monochrome: the picture is still colour.
                {heif_compression_AV1, "AVIF with alpha", 4},
                {heif_compression_AV1, "monochrome AVIF", 1}};
    int made = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const bool gray = row.channels == 1;
        const Bytes file = heifFile(row.format, row.channels, heif_orientation_normal);
        if (file.empty()) continue;
        ++made;
        test::expectRecognised(file, kFormatHeif, gray ? 8 : 24, kW, kH);
        Image img;
        ASSERT_TRUE(img.LoadMemory(file, imageTypeOfPath("a.heic"))) << img.GetLastError();
        if (gray) {
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
        EXPECT_TRUE(encodePage(img, gray, 80, jpeg, reason)) << reason;
    }
    if (made == 0) GTEST_SKIP() << "this libheif has neither an HEVC nor an AV1 encoder";
}

// irot and imir are applied by the decode, so the probe must report the turned size.
TEST(Heif, TurnedPicturesProbeWithTheirDecodedSize) {
    const Bytes turned = heifFile(heif_compression_AV1, 3, heif_orientation_rotate_90_cw);
    if (turned.empty()) GTEST_SKIP() << "no AV1 encoder in this libheif";
    test::expectRecognised(turned, kFormatHeif, 24, kH, kW);
    const Bytes mirrored =
        heifFile(heif_compression_AV1, 3, heif_orientation_rotate_90_cw_then_flip_horizontally);
    test::expectRecognised(mirrored, kFormatHeif, 24, kH, kW);
}

// A grid's canvas is allocated at the size its own descriptor gives, whatever its ispe box
// says: that size is held to the limits before anything is decoded.
TEST(Heif, GridCanvasPastTheBudgetIsRefusedFromItsDescriptor) {
    // libheif's writer stores this small picture as a one-tile grid, its descriptor in idat.
    Bytes grid = test::readFile(std::string(FOLIO_SEED_DIR) + "/heif/hevc.heic");
    const std::string idat = "idat";
    const auto at = std::search(grid.begin(), grid.end(), idat.begin(), idat.end());
    ASSERT_NE(at, grid.end());
    const std::size_t canvas = static_cast<std::size_t>(at - grid.begin()) + 8;
    ASSERT_EQ(grid[canvas - 3], 0) << "16-bit descriptor fields";
    for (const std::size_t field : {canvas, canvas + 2}) // 20000 x 20000: the pixel limit
        grid[field] = 0x4E, grid[field + 1] = 0x20;
    codecs::PictureFacts facts;
    codecs::DecodeError err;
    EXPECT_FALSE(codecs::formatOf(kFormatHeif)->probe(grid, facts, err));
    EXPECT_EQ(err.reason, codecs::DecodeReason::OverLimits) << err.detail;

    // Found by fuzzing, both refused before libheif allocates their canvas: a descriptor past
    // the end of its idat box (libheif read the bytes after it as 26988 x 28515), and a grid
    // of 26742 x 25411 in a second meta box (libheif decodes the last one, not the first).
    for (const char* name : {"heif_grid_canvas_past_budget.heic", "heif_grid_in_last_meta.heic"}) {
        const Bytes bad = test::readFile(std::string(FOLIO_TEST_DATA_DIR) + "/bad/" + name);
        ASSERT_FALSE(bad.empty()) << name;
        EXPECT_FALSE(codecs::formatOf(kFormatHeif)->probe(bad, facts, err)) << name;
        Image img;
        EXPECT_FALSE(img.LoadMemory(bad, kFormatHeif)) << name;
        EXPECT_FALSE(img.GetLastError().empty()) << name;
    }
}

// libde265 prints on the terminal for a sequence parameter set whose picture size is no
// multiple of its smallest coding block; such a file must fail like any damaged one, quietly.
TEST(Heif, DamagedFilesFailWithoutAWordOnTheTerminal) {
    Bytes file = test::readFile(std::string(FOLIO_SEED_DIR) + "/heif/hevc.heic");
    const std::string hvcC = "hvcC";
    const auto config = std::search(file.begin(), file.end(), hvcC.begin(), hvcC.end());
    const std::array<std::uint8_t, 2> spsHeader{0x42, 0x01};
    const auto sps = std::search(config, file.end(), spsHeader.begin(), spsHeader.end());
    ASSERT_LT(sps + 20, file.end());
    ASSERT_EQ(sps[20], 0x81) << "the picture height's last bits";
    sps[20] = 0x84;
    testing::internal::CaptureStderr();
    codecs::PictureFacts facts;
    codecs::DecodeError err;
    const bool probed = codecs::formatOf(kFormatHeif)->probe(file, facts, err);
    Image img;
    const bool decoded = img.LoadMemory(file, kFormatHeif);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(probed);
    EXPECT_EQ(err.reason, codecs::DecodeReason::Damaged);
    EXPECT_FALSE(decoded);
    EXPECT_NE(img.GetLastError().find("parameter set"), std::string::npos) << img.GetLastError();

    // Found by fuzzing: an AVIF whose second meta box holds no codec configuration; taking
    // that box's word for it chose dav1d, which printed about the damaged data.
    const Bytes av1 = test::readFile(std::string(FOLIO_TEST_DATA_DIR) +
                                     "/bad/heif_av1_in_first_of_two_metas.avif");
    ASSERT_FALSE(av1.empty());
    testing::internal::CaptureStderr();
    Image other;
    other.LoadMemory(av1, kFormatHeif);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

} // namespace
} // namespace folio
