// The GIF decoder: files made here with giflib's writer, hostile variants of them, and the
// shared corpus.
#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gif_lib.h>

namespace {

using folio::Image;
using folio::Rgb;
using Bytes = std::vector<std::uint8_t>;
using folio::test::expectPrefixesFail;
using folio::test::show;

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
    for (const Bytes& file : {screenBomb, frameBomb})
        folio::test::expectRefusedAtOnce(folio::codecs::decodeGif, file, "too large");
}

// ---------------------------------------------------------------------------------------
// The shared corpus

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
        const Bytes file = folio::test::corpusBytes("gif", name);
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
        EXPECT_FALSE(folio::codecs::decodeGif(folio::test::corpusBytes("gif", name), img, err))
            << name;
    }
}

TEST(GifCorpus, FirstFrameOffsetLeavesBackground) {
    FOLIO_REQUIRE_CORPUS();
    // A 50x50 frame at x = 25 on a 75x50 screen whose background index is 0.
    const Bytes file = folio::test::corpusBytes("gif", "pil_first_frame_transparency.gif");
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
