// Windows metafiles (WMF through libwmf, EMF through libemf2svg and librsvg): drawn on white
// with the shorter side 1280 pixels, probed from the headers alone, recognised by content,
// and refused silently when their records do not hold together.
#include "book/image/Image.h"
#include "book/image/codecs/Formats.h"
#include "book/image/image_type.h"
#include "metafile_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace folio {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::MetaRect;

bool decodeMetafile(std::span<const std::uint8_t> data, Image& out, std::string& err) {
    codecs::DecodeError e;
    const bool ok = codecs::metafile::decode(data, out, e);
    if (!ok) err = e.detail;
    return ok;
}

constexpr test::MetaColor kRed{220, 20, 40};

struct Drawing {
    const char* name;
    Bytes file;
    std::uint32_t width, height;
};

// A rectangle over the middle half of each side of a 200 x 100 frame (or bounds), and one
// over the lower left quarter of a 100 x 300 frame.
std::vector<Drawing> drawings() {
    const MetaRect wide{0, 0, 200, 100}, tall{0, 0, 100, 300};
    return {
        {"placeable WMF", test::wmfRectangle(true, wide, {50, 25, 150, 75}, kRed), 2560, 1280},
        {"standard WMF", test::wmfRectangle(false, wide, {50, 25, 150, 75}, kRed), 2560, 1280},
        {"WMF with its origin moved",
         test::wmfRectangle(true, {100, 50, 300, 150}, {150, 75, 250, 125}, kRed), 2560, 1280},
        {"tall WMF", test::wmfRectangle(true, tall, {0, 150, 50, 300}, kRed), 1280, 3840},
        {"EMF", test::emfRectangle(wide, {50, 25, 150, 75}, kRed), 2560, 1280},
        {"tall EMF", test::emfRectangle(tall, {0, 150, 50, 300}, kRed), 1280, 3840},
    };
}

TEST(Metafile, DrawsTheRectangleWhereTheFrameSays) {
    for (const Drawing& d : drawings()) {
        SCOPED_TRACE(d.name);
        codecs::PictureFacts facts;
        codecs::DecodeError why;
        ASSERT_TRUE(codecs::metafile::probe(d.file, facts, why)) << why.detail;
        EXPECT_EQ(facts.width, d.width);
        EXPECT_EQ(facts.height, d.height);
        EXPECT_EQ(facts.bpp, 24);
        Image image;
        std::string err;
        ASSERT_TRUE(decodeMetafile(d.file, image, err)) << err;
        ASSERT_EQ(image.GetWidth(), d.width);
        ASSERT_EQ(image.GetHeight(), d.height);
        ASSERT_EQ(image.GetBpp(), 24);
        EXPECT_EQ(test::imageFault(image), "");
        // Inside, well away from the edges; outside on each side.
        const std::uint32_t w = d.width, h = d.height;
        const bool wide = w > h;
        const std::uint32_t inX = wide ? w / 2 : w / 4, inY = wide ? h / 2 : h * 3 / 4;
        EXPECT_EQ(test::show(image.PixelColor(inX, inY)), test::show({220, 20, 40}));
        const Rgb white{255, 255, 255};
        EXPECT_EQ(test::show(image.PixelColor(wide ? w / 8 : w * 3 / 4, inY)), test::show(white));
        EXPECT_EQ(test::show(image.PixelColor(inX, wide ? h / 8 : h / 4)), test::show(white));
        EXPECT_EQ(test::show(image.PixelColor(w - 1, h - 1)), test::show(white));
    }
}

TEST(Metafile, ShorterSideIs1280InTheFramesProportions) {
    struct Row {
        MetaRect frame;
        std::uint32_t width, height;
    } rows[] = {{{0, 0, 1000, 1000}, 1280, 1280}, {{0, 0, 3, 2}, 1920, 1280},
                {{0, 0, 2, 3}, 1280, 1920},       {{-500, -500, 500, 250}, 1707, 1280},
                {{0, 0, 7, 1}, 8960, 1280},       {{10, 10, 0, 0}, 1280, 1280}};
    for (const Row& r : rows) {
        for (const Bytes& file : {test::wmfRectangle(true, r.frame, {0, 0, 1, 1}, kRed),
                                  test::emfRectangle(r.frame, {0, 0, 1, 1}, kRed)}) {
            codecs::PictureFacts facts;
            codecs::DecodeError why;
            const bool emf = file[0] == 1;
            if (emf && (r.frame.right < r.frame.left)) {
                EXPECT_FALSE(codecs::metafile::probe(file, facts, why)); // empty bounds
                continue;
            }
            ASSERT_TRUE(codecs::metafile::probe(file, facts, why)) << why.detail;
            EXPECT_EQ(facts.width, r.width) << r.frame.right << (emf ? " EMF" : " WMF");
            EXPECT_EQ(facts.height, r.height) << r.frame.right << (emf ? " EMF" : " WMF");
        }
    }
}

TEST(Metafile, DrawsShapesTextAndBitmaps) {
    for (const Bytes& file : {test::wmfShapes(), test::emfShapes()}) {
        Image image;
        std::string err;
        ASSERT_TRUE(decodeMetafile(file, image, err)) << err;
        EXPECT_EQ(image.GetWidth(), 2560u);
        // The filled rectangle at (10,10)-(60,40) of 200 x 100.
        const Rgb c = image.PixelColor(35 * 2560 / 200, 25 * 1280 / 100);
        EXPECT_NE(test::show(c), test::show({255, 255, 255}));
    }
}

TEST(Metafile, RecognisedByContentUnderAnyName) {
    for (const Drawing& d : drawings()) {
        EXPECT_TRUE(codecs::metafile::sniff(d.file)) << d.name;
        for (std::uint32_t named : {kFormatNone, kFormatBmp}) {
            Image image;
            std::uint32_t type = 0;
            codecs::DecodeError err;
            ASSERT_TRUE(codecs::decodeAny(d.file, named, image, type, err)) << d.name;
            EXPECT_EQ(type, kFormatWmf) << d.name;
            codecs::PictureFacts facts;
            ASSERT_TRUE(codecs::probeAny(d.file, named, facts, type, err)) << d.name;
            EXPECT_EQ(facts.width, image.GetWidth()) << d.name;
        }
    }
    EXPECT_EQ(imageTypeOfPath("clip.EMF"), kFormatWmf);
}

// Each row damages a good file one way; the decoder and the probe both refuse it, without a
// word on the terminal.
TEST(Metafile, RefusesRecordsThatDoNotHoldTogether) {
    const Bytes wmf = test::wmfRectangle(true, {0, 0, 200, 100}, {50, 25, 150, 75}, kRed);
    const Bytes emf = test::emfRectangle({0, 0, 200, 100}, {50, 25, 150, 75}, kRed);
    const std::size_t firstWmf = 22 + 18, firstEmf = 88;
    auto edit = [](Bytes b, std::size_t at, std::vector<std::uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        return b;
    };
    auto cut = [](Bytes b, std::size_t n) {
        return Bytes(b.begin(), b.end() - static_cast<std::ptrdiff_t>(n));
    };
    using test::WmfRecord;
    std::vector<Bytes> bad = {
        edit(wmf, firstWmf, {0xFF, 0xFF, 0, 0}), // record longer than the file
        edit(wmf, firstWmf, {2, 0, 0, 0}),       // record shorter than its own header
        edit(wmf, firstWmf + 4, {0xFF, 0x06}),   // CREATEREGION: not given to libwmf
        edit(wmf, firstWmf + 4, {0x34, 0x12}),   // unknown function
        cut(wmf, 6),                             // no end record
        edit(wmf, 6, {0, 0, 0, 0, 0, 0, 0, 0}),  // empty frame
        edit(wmf, 14, {0, 0}),                   // no units per inch
        edit(wmf, 10, {1, 0, 0x30, 0x75}),       // 1 x 30000: past the side limit
        test::wmfFile(true, {0, 0, 10, 10}, {{0x0324, {200, 1, 2}}}),        // POLYGON overruns
        test::wmfFile(true, {0, 0, 10, 10}, {{0x0538, {2, 3, 9, 0, 0}}}),    // POLYPOLYGON too
        test::wmfFile(true, {0, 0, 10, 10}, {{0x0521, {40, 0x4141, 0, 0}}}), // TEXTOUT too
        test::wmfFile(true, {0, 0, 10, 10}, {{0x0A32, {0, 0, 9, 6, 0}}}),    // EXTTEXTOUT too
        test::wmfFile(true, {0, 0, 10, 10}, {{0x02FA, {0, 1}}}),             // pen cut short
        edit(emf, 40, {'E', 'M', 'F', ' '}),                                 // signature
        edit(emf, firstEmf + 4, {7, 0, 0, 0}), // record size not a multiple of 4
        edit(emf, firstEmf + 4, {0, 1, 0, 0}), // record longer than the file
        edit(emf, firstEmf, {200, 0, 0, 0}),   // unknown record type
        edit(emf, 16, {0, 0, 0, 0}),           // empty bounds
        cut(emf, 20),                          // no end record
    };
    // A standard WMF without a window extent has no size at all.
    Bytes noSize = test::wmfFile(false, {0, 0, 10, 10}, {});
    noSize.resize(18);
    noSize.insert(noSize.end(), {3, 0, 0, 0, 0, 0});
    bad.push_back(noSize);
    // Bitmaps that claim more than their records hold.
    Bytes dib = test::wmfShapes();
    const std::size_t biHeight = dib.size() - 6 - 56 + 8;
    bad.push_back(edit(dib, biHeight, {0, 1, 0, 0}));
    Bytes emfDib = test::emfShapes();
    const std::size_t emfHeight = emfDib.size() - 20 - 56 + 8;
    bad.push_back(edit(emfDib, emfHeight, {0, 1, 0, 0}));
    for (std::size_t i = 0; i < bad.size(); ++i) {
        testing::internal::CaptureStderr();
        Image image;
        std::string err;
        EXPECT_FALSE(decodeMetafile(bad[i], image, err)) << i;
        EXPECT_FALSE(err.empty()) << i;
        codecs::PictureFacts facts;
        codecs::DecodeError why;
        EXPECT_FALSE(codecs::metafile::probe(bad[i], facts, why)) << i;
        EXPECT_FALSE(why.detail.empty()) << i;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << i;
    }
}

// libwmf's raster device walks every shape's and bitmap's whole extent, on the canvas or
// not: drawing far beyond the canvas, or a scale that changes once drawing has begun (which
// would let a later shape grow past any measure), is refused before libwmf sees it.
TEST(Metafile, RefusesDrawingFarBeyondItsCanvasAtOnce) {
    const MetaRect frame{0, 0, 100, 100};
    using test::WmfRecord;
    const std::vector<std::pair<Bytes, std::string_view>> rows = {
        {test::wmfFile(true, frame, {{0x0418, {0x7FFF, 0x7FFF, 0x8000, 0x8000}}}), "too much"},
        {test::wmfFile(true, frame, {{0x02FA, {0, 3000, 0, 0, 0}}, {0x0213, {100, 100}}}),
         "too much"},
        {test::wmfFile(true, frame, {{0x0418, {1, 1, 0, 0}}, {0x020C, {1, 1}}}), "scale"},
        {test::wmfFile(true, frame, {{0x001E, {}}, {0x020C, {1, 1}}, {0x0418, {1, 1, 0, 0}}}),
         "scale"},
        {test::readFile(FOLIO_TEST_DATA_DIR "/bad/wmf_stretchdib_huge_destination.wmf"),
         "too much"},
        // A rectangle far outside the frame once libwmf maps it by the window extent: only
        // libwmf's own scan sees how far.
        {test::readFile(FOLIO_TEST_DATA_DIR "/bad/wmf_window_extent_rectangle_far_outside.wmf"),
         "too much"},
        // A frame of two points: libwmf's default pen, a point broad, covers the canvas
        // many times over along one small rectangle's outline.
        {test::readFile(FOLIO_TEST_DATA_DIR "/bad/wmf_default_pen_tiny_frame.wmf"), "too much"},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        test::expectRefusedAtOnce(decodeMetafile, rows[i].first, rows[i].second);
    }
    // The same shapes within the canvas draw.
    Image image;
    std::string err;
    EXPECT_TRUE(
        decodeMetafile(test::wmfFile(true, frame, {{0x0418, {100, 100, 0, 0}}}), image, err))
        << err;
}

// A header may understate the largest record and the object count (libwmf sizes its buffers
// by them): the decoder hands libwmf the true ones.
TEST(Metafile, HeaderCountsThatUnderstateAreMended) {
    Bytes wmf = test::wmfRectangle(true, {0, 0, 200, 100}, {50, 25, 150, 75}, kRed);
    const std::size_t header = 22;
    wmf[header + 10] = 0, wmf[header + 11] = 0;                       // objects
    wmf[header + 12] = 1, wmf[header + 13] = 0, wmf[header + 14] = 0; // largest record
    Image image;
    std::string err;
    ASSERT_TRUE(decodeMetafile(wmf, image, err)) << err;
    EXPECT_EQ(test::show(image.PixelColor(1280, 640)), test::show({220, 20, 40}));
}

// Cuts, garbage and several threads at once, for the WMF and the EMF seeds: the codec
// contract.

TEST(Metafile, EveryCorpusFileLoads) {
    FOLIO_REQUIRE_CORPUS();
    int checked = 0;
    for (const auto& path : test::corpusFiles({"wmf", "emf"})) {
        SCOPED_TRACE(path.string());
        const Bytes file = test::readFile(path.string());
        codecs::PictureFacts facts;
        codecs::DecodeError why;
        ASSERT_TRUE(codecs::metafile::probe(file, facts, why)) << why.detail;
        Image image(0);
        ASSERT_TRUE(loadImageFile(image, path.string(), imageTypeOfPath(path.string())))
            << image.GetLastError();
        EXPECT_EQ(image.GetWidth(), facts.width);
        EXPECT_EQ(image.GetHeight(), facts.height);
        EXPECT_EQ(image.GetBpp(), 24);
        EXPECT_EQ(std::min(image.GetWidth(), image.GetHeight()), 1280u);
        const auto& px = image.Pixels();
        EXPECT_TRUE(std::any_of(px.begin(), px.end(), [](std::uint8_t v) { return v != 255; }));
        ++checked;
    }
    EXPECT_GE(checked, 4);
}

} // namespace
} // namespace folio
