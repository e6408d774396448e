// Tests of the small decoders: TGA, PCX, WBMP, PNM, PGX and Sun raster. Every test picture
// is written by the generators below, byte by byte, from the formats' documented layouts.
#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace folio {
namespace {

using Buf = std::vector<std::uint8_t>;
using test::ByteWriter;
using DecodeFn = bool (*)(codecs::Bytes, Image&, std::string&);

struct Result {
    bool ok = false;
    Image img;
    std::string err;
};

Result decode(DecodeFn fn, const Buf& data) {
    Result r;
    r.ok = fn(data, r.img, r.err);
    return r;
}

Buf bytesOf(const std::string& s) {
    return Buf(s.begin(), s.end());
}

// A 5-bit channel widened to 8 bits: v * 255 / 31, rounded.
std::uint8_t from5(unsigned v) {
    return static_cast<std::uint8_t>(v * 255 / 31 + (v * 255 % 31 >= 16 ? 1 : 0));
}

void expectSamePicture(const Image& a, const Image& b) {
    ASSERT_EQ(a.GetWidth(), b.GetWidth());
    ASSERT_EQ(a.GetHeight(), b.GetHeight());
    for (std::uint32_t y = 0; y < a.GetHeight(); ++y)
        for (std::uint32_t x = 0; x < a.GetWidth(); ++x)
            ASSERT_EQ(a.PixelColor(x, y), b.PixelColor(x, y)) << x << "," << y;
}

// ---------------------------------------------------------------------------------------
// Generators

// Test colours: distinct per pixel so any misplaced pixel shows.
Rgb testColor(std::uint32_t x, std::uint32_t y) {
    return Rgb{static_cast<std::uint8_t>(x * 40 + 7), static_cast<std::uint8_t>(y * 50 + 3),
               static_cast<std::uint8_t>((x * 13 + y * 29) ^ 0xA5)};
}

struct TgaLayout {
    std::uint8_t imageType = 2, depth = 24, descriptor = 0;
    std::uint16_t w = 3, h = 2;
    std::string id;
    std::uint8_t mapType = 0, mapBits = 0;
    std::uint16_t mapFirst = 0, mapLength = 0;
    Buf map;
    Buf pixels; // file order, uncompressed; packed when the type asks for it
};

TgaLayout tgaLayout(std::uint8_t type, std::uint8_t depth, std::uint16_t w, std::uint16_t h,
                    Buf pixels = {}) {
    TgaLayout s;
    s.imageType = type;
    s.depth = depth;
    s.w = w;
    s.h = h;
    s.pixels = std::move(pixels);
    return s;
}

// Greedy run-length packing; packets run freely across scan lines.
Buf tgaPack(const Buf& px, std::size_t size) {
    Buf out;
    const std::size_t n = px.size() / size;
    auto same = [&](std::size_t a, std::size_t b) {
        return std::equal(px.begin() + a * size, px.begin() + (a + 1) * size,
                          px.begin() + b * size);
    };
    std::size_t i = 0;
    while (i < n) {
        std::size_t run = 1;
        while (i + run < n && run < 128 && same(i, i + run))
            ++run;
        if (run >= 2) {
            out.push_back(static_cast<std::uint8_t>(0x80 | (run - 1)));
            out.insert(out.end(), px.begin() + i * size, px.begin() + (i + 1) * size);
            i += run;
            continue;
        }
        std::size_t raw = 1;
        while (i + raw < n && raw < 128 && !(i + raw + 1 < n && same(i + raw, i + raw + 1)))
            ++raw;
        out.push_back(static_cast<std::uint8_t>(raw - 1));
        out.insert(out.end(), px.begin() + i * size, px.begin() + (i + raw) * size);
        i += raw;
    }
    return out;
}

Buf makeTga(const TgaLayout& s) {
    Buf b;
    b.push_back(static_cast<std::uint8_t>(s.id.size()));
    b.push_back(s.mapType);
    b.push_back(s.imageType);
    ByteWriter(b).u16le(s.mapFirst).u16le(s.mapLength);
    b.push_back(s.mapBits);
    ByteWriter(b).u16le(0).u16le(0).u16le(s.w).u16le(s.h);
    b.push_back(s.depth);
    b.push_back(s.descriptor);
    ByteWriter(b).text(s.id);
    b.insert(b.end(), s.map.begin(), s.map.end());
    if (s.imageType & 8) {
        const Buf packed = tgaPack(s.pixels, (s.depth + 7u) / 8u);
        b.insert(b.end(), packed.begin(), packed.end());
    } else {
        b.insert(b.end(), s.pixels.begin(), s.pixels.end());
    }
    return b;
}

// The pixels of a w x h picture in the file order an origin descriptor implies.
template <typename Emit>
void inFileOrder(std::uint32_t w, std::uint32_t h, std::uint8_t descriptor, Emit emit) {
    const bool top = descriptor & 0x20, rtl = descriptor & 0x10;
    for (std::uint32_t r = 0; r < h; ++r)
        for (std::uint32_t c = 0; c < w; ++c)
            emit(rtl ? w - 1 - c : c, top ? r : h - 1 - r);
}

void tgaColor(Buf& b, Rgb c, unsigned depth) {
    if (depth == 15 || depth == 16) {
        const unsigned v = ((c.r >> 3) << 10) | ((c.g >> 3) << 5) | (c.b >> 3) | 0x8000;
        ByteWriter(b).u16le(v);
        return;
    }
    b.push_back(c.b);
    b.push_back(c.g);
    b.push_back(c.r);
    if (depth == 32) b.push_back(0x40);
}

// What a colour becomes after a trip through 5 bits per channel.
Rgb via5(Rgb c) {
    return Rgb{from5(c.r >> 3), from5(c.g >> 3), from5(c.b >> 3)};
}

struct PcxLayout {
    std::uint8_t version = 5, bits = 8, planes = 1;
    std::uint16_t xmin = 0, ymin = 0, w = 3, h = 2, bytesPerLine = 0, hdpi = 0, vdpi = 0;
    std::vector<Rgb> headerPalette;  // up to 16
    std::vector<Rgb> trailerPalette; // 256 entries, or none
    std::vector<Buf> lines;          // planes * bytesPerLine bytes each
    bool runsAcrossLines = false;
};

// Run-length packing of a byte stream: runs up to 63; values of 0xC0 and up always go in a run.
void pcxPack(Buf& out, const Buf& in) {
    std::size_t i = 0;
    while (i < in.size()) {
        std::size_t run = 1;
        while (i + run < in.size() && run < 63 && in[i + run] == in[i])
            ++run;
        if (run > 1 || in[i] >= 0xC0) out.push_back(static_cast<std::uint8_t>(0xC0 | run));
        out.push_back(in[i]);
        i += run;
    }
}

Buf makePcx(const PcxLayout& s) {
    Buf b;
    b.push_back(0x0A);
    b.push_back(s.version);
    b.push_back(1);
    b.push_back(s.bits);
    ByteWriter(b)
        .u16le(s.xmin)
        .u16le(s.ymin)
        .u16le(s.xmin + s.w - 1)
        .u16le(s.ymin + s.h - 1)
        .u16le(s.hdpi)
        .u16le(s.vdpi);
    for (std::size_t i = 0; i < 16; ++i) {
        const Rgb c = i < s.headerPalette.size() ? s.headerPalette[i] : Rgb{};
        b.insert(b.end(), {c.r, c.g, c.b});
    }
    b.push_back(0);
    b.push_back(s.planes);
    ByteWriter(b).u16le(s.bytesPerLine).u16le(1);
    b.resize(128, 0);
    if (s.runsAcrossLines) {
        Buf all;
        for (const Buf& l : s.lines)
            all.insert(all.end(), l.begin(), l.end());
        pcxPack(b, all);
    } else {
        for (const Buf& l : s.lines)
            pcxPack(b, l);
    }
    if (!s.trailerPalette.empty()) {
        b.push_back(0x0C);
        for (const Rgb& c : s.trailerPalette)
            b.insert(b.end(), {c.r, c.g, c.b});
    }
    return b;
}

// Lines of a bit-plane picture: plane p holds bit p of every index.
std::vector<Buf> pcxPlanes(std::uint32_t w, std::uint32_t h, unsigned planes, unsigned bpl,
                           const std::function<unsigned(std::uint32_t, std::uint32_t)>& index) {
    std::vector<Buf> lines;
    for (std::uint32_t y = 0; y < h; ++y) {
        Buf line(std::size_t{planes} * bpl, 0);
        for (std::uint32_t x = 0; x < w; ++x)
            for (unsigned p = 0; p < planes; ++p)
                if ((index(x, y) >> p) & 1u) line[p * bpl + x / 8] |= 0x80 >> (x % 8);
        lines.push_back(line);
    }
    return lines;
}

std::vector<Rgb> sixteenColors() {
    std::vector<Rgb> pal;
    for (unsigned i = 0; i < 16; ++i)
        pal.push_back(Rgb{static_cast<std::uint8_t>(i * 16),
                          static_cast<std::uint8_t>(255 - i * 10),
                          static_cast<std::uint8_t>(i * 7 + 1)});
    return pal;
}

Buf wbmpHeader(std::uint32_t w, std::uint32_t h) {
    Buf b{0, 0};
    auto multi = [&](std::uint32_t v) {
        Buf groups;
        do {
            groups.insert(groups.begin(), static_cast<std::uint8_t>(v & 0x7F));
            v >>= 7;
        } while (v);
        for (std::size_t i = 0; i + 1 < groups.size(); ++i)
            groups[i] |= 0x80;
        b.insert(b.end(), groups.begin(), groups.end());
    };
    multi(w);
    multi(h);
    return b;
}

Buf makeWbmp(std::uint32_t w, std::uint32_t h,
             const std::function<bool(std::uint32_t, std::uint32_t)>& white) {
    Buf b = wbmpHeader(w, h);
    const std::size_t rowBytes = (w + 7) / 8;
    for (std::uint32_t y = 0; y < h; ++y) {
        Buf row(rowBytes, 0);
        for (std::uint32_t x = 0; x < w; ++x)
            if (white(x, y)) row[x / 8] |= 0x80 >> (x % 8);
        b.insert(b.end(), row.begin(), row.end());
    }
    return b;
}

Buf makePgx(bool bigEndian, bool isSigned, unsigned depth, std::uint32_t w, std::uint32_t h,
            const std::vector<std::int64_t>& samples, const std::string& signText = "") {
    Buf b;
    ByteWriter(b).text(std::string("PG ") + (bigEndian ? "ML" : "LM") + " " +
                       (signText.empty() ? (isSigned ? "-" : "+") : signText) +
                       std::to_string(depth) + " " + std::to_string(w) + " " + std::to_string(h) +
                       "\n");
    const unsigned size = depth <= 8 ? 1 : depth <= 16 ? 2 : 4;
    for (std::int64_t s : samples) {
        const auto u = static_cast<std::uint32_t>(s);
        for (unsigned i = 0; i < size; ++i) {
            const unsigned shift = bigEndian ? 8 * (size - 1 - i) : 8 * i;
            b.push_back(static_cast<std::uint8_t>(u >> shift));
        }
    }
    return b;
}

struct RasLayout {
    std::uint32_t w = 3, h = 2, depth = 24, type = 1, mapType = 0;
    Buf map;
    std::vector<Buf> rows; // unpadded row bytes
};

// Sun byte-run packing: 0x80 n v is n+1 copies of v, 0x80 0x00 a single 0x80.
void rasPack(Buf& out, const Buf& in) {
    std::size_t i = 0;
    while (i < in.size()) {
        std::size_t run = 1;
        while (i + run < in.size() && run < 256 && in[i + run] == in[i])
            ++run;
        if (run >= 3 || (in[i] == 0x80 && run == 2)) {
            out.insert(out.end(), {0x80, static_cast<std::uint8_t>(run - 1), in[i]});
        } else {
            for (std::size_t k = 0; k < run; ++k) {
                if (in[i] == 0x80)
                    out.insert(out.end(), {0x80, 0x00});
                else
                    out.push_back(in[i]);
            }
        }
        i += run;
    }
}

Buf makeRas(const RasLayout& s) {
    Buf data;
    const std::size_t rowBytes = (std::size_t{s.w} * s.depth + 15) / 16 * 2;
    for (Buf row : s.rows) {
        row.resize(rowBytes, 0);
        data.insert(data.end(), row.begin(), row.end());
    }
    Buf b;
    ByteWriter(b)
        .u32be(0x59A66A95)
        .u32be(s.w)
        .u32be(s.h)
        .u32be(s.depth)
        .u32be(static_cast<std::uint32_t>(data.size()))
        .u32be(s.type)
        .u32be(s.mapType)
        .u32be(static_cast<std::uint32_t>(s.map.size()));
    b.insert(b.end(), s.map.begin(), s.map.end());
    if (s.type == 2)
        rasPack(b, data);
    else
        b.insert(b.end(), data.begin(), data.end());
    return b;
}

// Tiny valid files for the refusal tests.
Buf tinyPcx() {
    PcxLayout s;
    s.bits = 1;
    s.w = 10;
    s.h = 3;
    s.bytesPerLine = 2;
    s.lines = pcxPlanes(
        10, 3, 1, 2, [](std::uint32_t x, std::uint32_t y) { return (x + y) % 3 == 0 ? 1u : 0u; });
    return makePcx(s);
}
Buf tinyPcx8() {
    PcxLayout s;
    s.bits = 8;
    s.w = 3;
    s.h = 2;
    s.bytesPerLine = 4;
    s.lines = {Buf{1, 200, 200, 0}, Buf{7, 7, 7, 0}};
    s.trailerPalette.assign(256, Rgb{9, 8, 7});
    return makePcx(s);
}
Buf tinyRas() {
    RasLayout s;
    s.rows = {Buf{1, 2, 3, 4, 5, 6, 7, 8, 9}, Buf{9, 8, 7, 6, 5, 4, 3, 2, 1}};
    return makeRas(s);
}

// ---------------------------------------------------------------------------------------
// TGA

struct TgaColorCase {
    std::uint8_t imageType, depth, descriptor;
};

class TgaTrueColor : public ::testing::TestWithParam<TgaColorCase> {};

TEST_P(TgaTrueColor, EveryPixelInPlace) {
    const auto c = GetParam();
    TgaLayout s;
    s.imageType = c.imageType;
    s.depth = c.depth;
    s.descriptor = static_cast<std::uint8_t>(c.descriptor | (c.depth == 32   ? 8
                                                             : c.depth == 16 ? 1
                                                                             : 0));
    s.w = 5;
    s.h = 3;
    s.id = "an id field";
    inFileOrder(5, 3, c.descriptor, [&](std::uint32_t x, std::uint32_t y) {
        // Repeated pixels on the middle row give the packer runs to make.
        tgaColor(s.pixels, y == 1 ? Rgb{10, 20, 30} : testColor(x, y), c.depth);
    });
    const Result r = decode(codecs::decodeTga, makeTga(s));
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(test::imageFault(r.img), "");
    EXPECT_EQ(r.img.GetBpp(), 24);
    EXPECT_EQ(r.img.GetWidth(), 5u);
    EXPECT_EQ(r.img.GetHeight(), 3u);
    for (std::uint32_t y = 0; y < 3; ++y)
        for (std::uint32_t x = 0; x < 5; ++x) {
            const Rgb want = y == 1 ? Rgb{10, 20, 30} : testColor(x, y);
            EXPECT_EQ(r.img.PixelColor(x, y), c.depth <= 16 ? via5(want) : want) << x << "," << y;
        }
}

INSTANTIATE_TEST_SUITE_P(Table, TgaTrueColor,
                         ::testing::Values(TgaColorCase{2, 24, 0}, TgaColorCase{2, 32, 0},
                                           TgaColorCase{2, 16, 0}, TgaColorCase{2, 15, 0},
                                           TgaColorCase{2, 24, 0x20}, TgaColorCase{2, 24, 0x10},
                                           TgaColorCase{2, 24, 0x30}, TgaColorCase{10, 24, 0},
                                           TgaColorCase{10, 32, 0x20}, TgaColorCase{10, 16, 0x30},
                                           TgaColorCase{10, 15, 0x10}));

TEST(TgaColorMapped, FirstEntryIndexAndEntrySizes) {
    for (std::uint8_t bits : {15, 16, 24, 32}) {
        for (std::uint8_t type : {1, 9}) {
            TgaLayout s;
            s.imageType = type;
            s.depth = 8;
            s.mapType = 1;
            s.mapBits = bits;
            s.mapFirst = 3;
            s.mapLength = 4;
            s.w = 4;
            s.h = 2;
            s.descriptor = 0x20;
            const Rgb entries[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {200, 96, 16}};
            for (const Rgb& e : entries)
                tgaColor(s.map, e, bits);
            // Index 0 lies before the map: it has no colour and is black.
            s.pixels = {3, 4, 5, 6, 6, 6, 0, 3};
            const Result r = decode(codecs::decodeTga, makeTga(s));
            ASSERT_TRUE(r.ok) << r.err;
            EXPECT_EQ(test::imageFault(r.img), "");
            EXPECT_EQ(r.img.GetBpp(), 8);
            auto want = [&](int i) { return bits <= 16 ? via5(entries[i]) : entries[i]; };
            EXPECT_EQ(r.img.PixelColor(0, 0), want(0));
            EXPECT_EQ(r.img.PixelColor(1, 0), want(1));
            EXPECT_EQ(r.img.PixelColor(2, 0), want(2));
            EXPECT_EQ(r.img.PixelColor(3, 0), want(3));
            EXPECT_EQ(r.img.PixelColor(1, 1), want(3));
            EXPECT_EQ(r.img.PixelColor(2, 1), (Rgb{0, 0, 0}));
            EXPECT_EQ(r.img.PixelColor(3, 1), want(0));
        }
    }
}

TEST(TgaGray, RawAndPackedBottomUp) {
    for (std::uint8_t type : {3, 11}) {
        TgaLayout s;
        s.imageType = type;
        s.depth = 8;
        s.w = 130; // longer than one packet, so packets cross scan lines
        s.h = 3;
        inFileOrder(130, 3, 0, [&](std::uint32_t x, std::uint32_t y) {
            s.pixels.push_back(static_cast<std::uint8_t>(y == 2 ? 77 : x + y * 3));
        });
        const Result r = decode(codecs::decodeTga, makeTga(s));
        ASSERT_TRUE(r.ok) << r.err;
        EXPECT_EQ(test::imageFault(r.img), "");
        EXPECT_EQ(r.img.GetBpp(), 8);
        EXPECT_TRUE(r.img.IsGrayRamp());
        for (std::uint32_t y = 0; y < 3; ++y)
            for (std::uint32_t x = 0; x < 130; ++x)
                ASSERT_EQ(r.img.Row(y)[x], y == 2 ? 77 : x + y * 3) << x << "," << y;
    }
}

TEST(TgaRle, PacketPastTheLastPixelIsCutNotWritten) {
    Buf b = makeTga(tgaLayout(11, 8, 2, 2));
    b.insert(b.end(), {0x81, 9, 0x85, 200}); // 2 + 6 pixels for an image of 4
    const Result r = decode(codecs::decodeTga, b);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.img.Row(1)[0], 9);
    EXPECT_EQ(r.img.Row(0)[1], 200);
}

TEST(TgaRefusal, ImplausibleHeaders) {
    const TgaLayout good = tgaLayout(2, 24, 2, 1, Buf(6, 1));
    ASSERT_TRUE(decode(codecs::decodeTga, makeTga(good)).ok);
    std::vector<std::pair<const char*, std::function<void(TgaLayout&)>>> cases = {
        {"map type 2", [](TgaLayout& s) { s.mapType = 2; }},
        {"image type 0", [](TgaLayout& s) { s.imageType = 0; }},
        {"image type 4", [](TgaLayout& s) { s.imageType = 4; }},
        {"image type 32", [](TgaLayout& s) { s.imageType = 32; }},
        {"depth 8 true colour", [](TgaLayout& s) { s.depth = 8; }},
        {"depth 7", [](TgaLayout& s) { s.depth = 7; }},
        {"zero width", [](TgaLayout& s) { s.w = 0; }},
        {"zero height", [](TgaLayout& s) { s.h = 0; }},
        {"mapped without map", [](TgaLayout& s) { s.imageType = 1, s.depth = 8; }},
        {"map entry 12 bits",
         [](TgaLayout& s) {
             s.mapType = 1, s.mapBits = 12, s.mapLength = 1, s.map = {0, 0};
         }},
        {"map length without map", [](TgaLayout& s) { s.mapLength = 3; }},
        {"short pixel data", [](TgaLayout& s) { s.pixels.pop_back(); }},
    };
    for (auto& [name, change] : cases) {
        TgaLayout s = good;
        change(s);
        const Result r = decode(codecs::decodeTga, makeTga(s));
        EXPECT_FALSE(r.ok) << name;
        EXPECT_FALSE(r.err.empty()) << name;
    }
}

// ---------------------------------------------------------------------------------------
// PCX

TEST(PcxBilevel, BlackAndWhiteWithOddWidthAndOffsetOrigin) {
    PcxLayout s;
    s.bits = 1;
    s.xmin = 5;
    s.ymin = 9;
    s.w = 11;
    s.h = 3;
    s.bytesPerLine = 2;
    auto on = [](std::uint32_t x, std::uint32_t y) { return (x * 3 + y) % 4 == 0 ? 1u : 0u; };
    s.lines = pcxPlanes(11, 3, 1, 2, on);
    s.headerPalette = {{200, 0, 0}, {0, 0, 200}}; // ignored for bilevel pictures
    const Result r = decode(codecs::decodePcx, makePcx(s));
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(test::imageFault(r.img), "");
    EXPECT_EQ(r.img.GetBpp(), 1);
    EXPECT_EQ(r.img.GetWidth(), 11u);
    for (std::uint32_t y = 0; y < 3; ++y)
        for (std::uint32_t x = 0; x < 11; ++x)
            EXPECT_EQ(r.img.PixelColor(x, y), on(x, y) ? (Rgb{255, 255, 255}) : (Rgb{0, 0, 0}));
}

struct PcxIndexedCase {
    std::uint8_t bits, planes;
};

class PcxSixteenColors : public ::testing::TestWithParam<PcxIndexedCase> {};

TEST_P(PcxSixteenColors, HeaderPaletteAndIndices) {
    const auto c = GetParam();
    const std::uint32_t w = 9, h = 3;
    const unsigned colors = 1u << (c.bits * c.planes);
    auto index = [&](std::uint32_t x, std::uint32_t y) { return (x * 5 + y * 3) % colors; };
    PcxLayout s;
    s.bits = c.bits;
    s.planes = c.planes;
    s.w = w;
    s.h = h;
    s.headerPalette = sixteenColors();
    if (c.bits == 1) {
        s.bytesPerLine = 2;
        s.lines = pcxPlanes(w, h, c.planes, 2, index);
    } else {
        s.bytesPerLine = static_cast<std::uint16_t>((w * c.bits + 15) / 16 * 2);
        for (std::uint32_t y = 0; y < h; ++y) {
            Buf line(s.bytesPerLine, 0);
            const unsigned perByte = 8 / c.bits;
            for (std::uint32_t x = 0; x < w; ++x)
                line[x / perByte] |=
                    static_cast<std::uint8_t>(index(x, y) << (8 - c.bits * (x % perByte + 1)));
            s.lines.push_back(line);
        }
    }
    const Result r = decode(codecs::decodePcx, makePcx(s));
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(test::imageFault(r.img), "");
    EXPECT_EQ(r.img.GetBpp(), 4);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            EXPECT_EQ(r.img.PixelColor(x, y), sixteenColors()[index(x, y)]) << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(Table, PcxSixteenColors,
                         ::testing::Values(PcxIndexedCase{1, 2}, PcxIndexedCase{1, 3},
                                           PcxIndexedCase{1, 4}, PcxIndexedCase{2, 1},
                                           PcxIndexedCase{4, 1}));

TEST(Pcx256, TrailerPaletteOrGrayRamp) {
    std::vector<Rgb> pal;
    for (unsigned i = 0; i < 256; ++i)
        pal.push_back(Rgb{static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(i / 2),
                          static_cast<std::uint8_t>(i ^ 0x5A)});
    PcxLayout s;
    s.w = 5;
    s.h = 2;
    s.bytesPerLine = 5; // odd line length
    s.lines = {Buf{0, 0xC1, 0xFF, 17, 17}, Buf{17, 17, 17, 250, 3}};
    s.trailerPalette = pal;
    Result r = decode(codecs::decodePcx, makePcx(s));
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(test::imageFault(r.img), "");
    EXPECT_EQ(r.img.GetBpp(), 8);
    EXPECT_EQ(r.img.PixelColor(1, 0), pal[0xC1]);
    EXPECT_EQ(r.img.PixelColor(2, 0), pal[0xFF]);
    EXPECT_EQ(r.img.PixelColor(3, 1), pal[250]);

    s.trailerPalette.clear();
    r = decode(codecs::decodePcx, makePcx(s));
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_TRUE(r.img.IsGrayRamp());
    EXPECT_EQ(r.img.Row(1)[4], 3);
    EXPECT_EQ(r.img.Row(0)[2], 0xFF);
}

TEST(PcxTrueColor, ThreeAndFourPlanesWithRunsAcrossPlanesAndLines) {
    for (std::uint8_t planes : {3, 4}) {
        for (bool across : {false, true}) {
            PcxLayout s;
            s.planes = planes;
            s.w = 7;
            s.h = 3;
            s.bytesPerLine = 8;
            s.runsAcrossLines = across;
            for (std::uint32_t y = 0; y < 3; ++y) {
                Buf line(std::size_t{planes} * 8, 0);
                for (std::uint32_t x = 0; x < 7; ++x) {
                    // Row 1 is flat so runs cross from plane to plane.
                    const Rgb c = y == 1 ? Rgb{4, 4, 4} : testColor(x, y);
                    line[x] = c.r;
                    line[8 + x] = c.g;
                    line[16 + x] = c.b;
                    if (planes == 4) line[24 + x] = 0x99;
                }
                if (y == 1) std::fill(line.begin(), line.end(), 4);
                s.lines.push_back(line);
            }
            s.hdpi = 300;
            s.vdpi = 150;
            const Result r = decode(codecs::decodePcx, makePcx(s));
            ASSERT_TRUE(r.ok) << r.err;
            EXPECT_EQ(test::imageFault(r.img), "");
            EXPECT_EQ(r.img.GetBpp(), 24);
            EXPECT_EQ(r.img.GetXDpi(), 300u);
            EXPECT_EQ(r.img.GetYDpi(), 150u);
            for (std::uint32_t y = 0; y < 3; ++y)
                for (std::uint32_t x = 0; x < 7; ++x)
                    EXPECT_EQ(r.img.PixelColor(x, y), (y == 1 ? Rgb{4, 4, 4} : testColor(x, y)));
        }
    }
}

TEST(PcxRle, RunCarriesIntoTheNextLine) {
    PcxLayout s;
    s.w = 3;
    s.h = 3;
    s.bytesPerLine = 4;
    s.lines = {Buf{1, 2, 9, 9}, Buf{9, 9, 9, 9}, Buf{9, 5, 6, 0}};
    s.runsAcrossLines = true;
    const Buf b = makePcx(s);
    ASSERT_EQ(b[128 + 2], 0xC0 | 7); // one run of seven 9s spans three lines
    const Result r = decode(codecs::decodePcx, b);
    ASSERT_TRUE(r.ok) << r.err;
    const Buf want = {1, 2, 9, 9, 9, 9, 9, 5, 6};
    EXPECT_EQ(r.img.Pixels(), want);
}

TEST(PcxRle, OneRunFillsManyLines) {
    PcxLayout s;
    s.w = 1;
    s.h = 126;
    s.bytesPerLine = 1;
    s.lines.assign(126, Buf{3});
    s.runsAcrossLines = true;
    const Buf b = makePcx(s);
    ASSERT_EQ(b.size(), 128u + 4); // two runs of 63
    const Result r = decode(codecs::decodePcx, b);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.img.Pixels(), Buf(126, 3));
}

TEST(PcxDpi, ScreenSizesAndPictureSizesAreNotResolutions) {
    for (auto [h, v, want] : {std::tuple{640, 480, 96}, std::tuple{3, 2, 96}, std::tuple{0, 0, 96},
                              std::tuple{200, 200, 200}}) {
        PcxLayout s;
        s.bits = 8;
        s.w = 3;
        s.h = 2;
        s.bytesPerLine = 4;
        s.lines = {Buf(4, 1), Buf(4, 2)};
        s.hdpi = static_cast<std::uint16_t>(h);
        s.vdpi = static_cast<std::uint16_t>(v);
        const Result r = decode(codecs::decodePcx, makePcx(s));
        ASSERT_TRUE(r.ok) << r.err;
        EXPECT_EQ(r.img.GetXDpi(), static_cast<std::uint32_t>(want)) << h << "x" << v;
    }
}

TEST(PcxRefusal, ImplausibleHeaders) {
    const Buf good = tinyPcx();
    ASSERT_TRUE(decode(codecs::decodePcx, good).ok);
    struct Patch {
        const char* name;
        std::size_t at;
        std::uint8_t value;
    };
    for (const Patch p :
         {Patch{"maker", 0, 0x0B}, Patch{"version 1", 1, 1}, Patch{"version 6", 1, 6},
          Patch{"encoding 0", 2, 0}, Patch{"bits 3", 3, 3}, Patch{"bits 8, 2 planes", 65, 2},
          Patch{"planes 0", 65, 0}, Patch{"planes 5", 65, 5}, Patch{"xmin past xmax", 4, 50},
          Patch{"ymin past ymax", 6, 50}, Patch{"line too short", 66, 1},
          Patch{"line empty", 66, 0}}) {
        Buf b = good;
        b[p.at] = p.value;
        if (std::string(p.name) == "bits 8, 2 planes") b[3] = 8;
        const Result r = decode(codecs::decodePcx, b);
        EXPECT_FALSE(r.ok) << p.name;
        EXPECT_FALSE(r.err.empty()) << p.name;
    }
}

TEST(PcxRefusal, CutTrailerPaletteFails) {
    const Buf full = tinyPcx8();
    ASSERT_TRUE(decode(codecs::decodePcx, full).ok);
    for (std::size_t cut : {1, 100, 768}) {
        const Buf b(full.begin(), full.end() - static_cast<std::ptrdiff_t>(cut));
        EXPECT_FALSE(decode(codecs::decodePcx, b).ok) << cut;
    }
}

// ---------------------------------------------------------------------------------------
// WBMP

TEST(WbmpDecode, BitsAndMultiByteSizes) {
    auto white = [](std::uint32_t x, std::uint32_t y) { return (x * 7 + y) % 3 == 0; };
    for (std::uint32_t w : {1u, 8u, 13u, 200u}) {
        const Result r = decode(codecs::decodeWbmp, makeWbmp(w, 3, white));
        ASSERT_TRUE(r.ok) << r.err;
        EXPECT_EQ(test::imageFault(r.img), "");
        EXPECT_EQ(r.img.GetBpp(), 1);
        EXPECT_EQ(r.img.GetWidth(), w);
        EXPECT_EQ(r.img.GetHeight(), 3u);
        for (std::uint32_t y = 0; y < 3; ++y)
            for (std::uint32_t x = 0; x < w; ++x)
                ASSERT_EQ(r.img.PixelColor(x, y),
                          white(x, y) ? (Rgb{255, 255, 255}) : (Rgb{0, 0, 0}));
    }
}

TEST(WbmpRefusal, MalformedHeaders) {
    const std::vector<std::pair<const char*, Buf>> cases = {
        {"type 1", Buf{1, 0, 8, 1, 0xFF}},
        {"extension header", Buf{0, 0x80, 8, 1, 0xFF}},
        {"zero width", Buf{0, 0, 0, 1, 0xFF}},
        {"zero height", Buf{0, 0, 8, 0, 0xFF}},
        {"leading zero group", Buf{0, 0, 0x80, 8, 1, 0xFF}},
        {"endless size", Buf{0, 0, 0x81, 0x81, 0x81, 0x81, 0x01, 1, 0xFF}},
        {"short bitmap", Buf{0, 0, 8, 2, 0xFF}},
        {"size runs off the end", Buf{0, 0, 0x81}},
    };
    for (const auto& [name, b] : cases) {
        const Result r = decode(codecs::decodeWbmp, b);
        EXPECT_FALSE(r.ok) << name;
        EXPECT_FALSE(r.err.empty()) << name;
    }
}

// ---------------------------------------------------------------------------------------
// PNM

TEST(PnmBilevel, PlainAndRawOneIsBlack) {
    const Result plain =
        decode(codecs::decodePnm, bytesOf("P1\n# a comment\n5 2\n1 0 1 1 0\n00101"));
    ASSERT_TRUE(plain.ok) << plain.err;
    Buf raw = bytesOf("P4 # comment after magic\n5 2\n");
    raw.insert(raw.end(), {0xB0, 0x28}); // 10110 000, 00101 000
    const Result rawR = decode(codecs::decodePnm, raw);
    ASSERT_TRUE(rawR.ok) << rawR.err;
    const char* rows[2] = {"10110", "00101"};
    for (const Result* r : {&plain, &rawR}) {
        EXPECT_EQ(test::imageFault(r->img), "");
        EXPECT_EQ(r->img.GetBpp(), 1);
        for (std::uint32_t y = 0; y < 2; ++y)
            for (std::uint32_t x = 0; x < 5; ++x)
                EXPECT_EQ(r->img.PixelColor(x, y),
                          rows[y][x] == '1' ? (Rgb{0, 0, 0}) : (Rgb{255, 255, 255}));
    }
}

struct PnmGrayCase {
    std::uint32_t maxval;
    bool plain;
};

class PnmGray : public ::testing::TestWithParam<PnmGrayCase> {};

TEST_P(PnmGray, ScaledWithRoundingAndClamped) {
    const auto c = GetParam();
    // The last two samples exceed maxval and must come out white.
    const std::vector<std::uint32_t> samples = {0,
                                                1,
                                                c.maxval / 2,
                                                c.maxval - 1 > 0 ? c.maxval - 1 : 0,
                                                c.maxval,
                                                std::min<std::uint32_t>(c.maxval + 1, 65535),
                                                std::min<std::uint32_t>(c.maxval * 2 + 5, 65535),
                                                3};
    Buf b = bytesOf(std::string(c.plain ? "P2" : "P5") + "\n#c\n4 #mid\n2\n" +
                    std::to_string(c.maxval) + (c.plain ? "\n" : "\n"));
    for (std::uint32_t v : samples) {
        if (c.plain)
            ByteWriter(b).text(std::to_string(v) + " ");
        else if (c.maxval > 255)
            ByteWriter(b).u16be(v);
        else
            b.push_back(static_cast<std::uint8_t>(std::min<std::uint32_t>(v, 255)));
    }
    const Result r = decode(codecs::decodePnm, b);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(test::imageFault(r.img), "");
    // Deeper than 8 bits: true colour with the level in all three channels.
    const bool wide = c.maxval > 255;
    EXPECT_EQ(r.img.GetBpp(), wide ? 24 : 8);
    EXPECT_EQ(r.img.IsGrayRamp(), !wide);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const std::uint32_t inFile =
            c.plain || c.maxval > 255 ? samples[i] : std::min<std::uint32_t>(samples[i], 255);
        const std::uint8_t v = test::to8(std::min(inFile, c.maxval), c.maxval);
        EXPECT_EQ(
            r.img.PixelColor(static_cast<std::uint32_t>(i % 4), static_cast<std::uint32_t>(i / 4)),
            (Rgb{v, v, v}))
            << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PnmGray,
                         ::testing::Values(PnmGrayCase{255, false}, PnmGrayCase{255, true},
                                           PnmGrayCase{1, true}, PnmGrayCase{15, false},
                                           PnmGrayCase{1000, false}, PnmGrayCase{1000, true},
                                           PnmGrayCase{65535, false}, PnmGrayCase{65535, true}));

TEST(PnmColor, PlainAndRawSixteenBit) {
    const Result plain = decode(codecs::decodePnm, bytesOf("P3 2 1 100\n100 0 50\n# x\n1 99 200"));
    ASSERT_TRUE(plain.ok) << plain.err;
    EXPECT_EQ(plain.img.GetBpp(), 24);
    EXPECT_EQ(plain.img.PixelColor(0, 0), (Rgb{255, 0, test::to8(50, 100)}));
    EXPECT_EQ(plain.img.PixelColor(1, 0), (Rgb{test::to8(1, 100), test::to8(99, 100), 255}));

    Buf raw = bytesOf("P6\n1 2\n65535\n");
    for (unsigned v : {0xFFFFu, 0x8000u, 0x0101u, 0u, 0x1234u, 0xFF00u})
        ByteWriter(raw).u16be(v);
    const Result r = decode(codecs::decodePnm, raw);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(test::imageFault(r.img), "");
    EXPECT_EQ(r.img.PixelColor(0, 0), (Rgb{255, test::to8(0x8000, 65535), 1}));
    EXPECT_EQ(r.img.PixelColor(0, 1), (Rgb{0, test::to8(0x1234, 65535), test::to8(0xFF00, 65535)}));
}

TEST(PnmPam, TupleTypes) {
    Buf rgba = bytesOf("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n");
    rgba.insert(rgba.end(), {10, 20, 30, 0, 40, 50, 60, 255});
    Result r = decode(codecs::decodePnm, rgba);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.img.GetBpp(), 24);
    EXPECT_EQ(r.img.PixelColor(1, 0), (Rgb{40, 50, 60}));

    Buf gray = bytesOf(
        "P7\n# c\nWIDTH 3\nHEIGHT 1\nDEPTH 2\nMAXVAL 1000\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n");
    for (unsigned v : {0u, 9u, 500u, 9u, 1000u, 9u})
        ByteWriter(gray).u16be(v);
    r = decode(codecs::decodePnm, gray);
    ASSERT_TRUE(r.ok) << r.err;
    // Samples deeper than 8 bits make a true-colour picture, gray in all three channels.
    EXPECT_EQ(r.img.GetBpp(), 24);
    const std::uint8_t mid = test::to8(500, 1000);
    EXPECT_EQ(r.img.PixelColor(1, 0), (Rgb{mid, mid, mid}));
    EXPECT_EQ(r.img.PixelColor(2, 0), (Rgb{255, 255, 255}));

    Buf bw = bytesOf("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 1\nTUPLTYPE BLACKANDWHITE\nENDHDR\n");
    bw.insert(bw.end(), {1, 0}); // here 1 is white
    r = decode(codecs::decodePnm, bw);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.img.GetBpp(), 1);
    EXPECT_EQ(r.img.PixelColor(0, 0), (Rgb{255, 255, 255}));
    EXPECT_EQ(r.img.PixelColor(1, 0), (Rgb{0, 0, 0}));
}

TEST(PnmRefusal, BadHeadersAndShortData) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"negative width", "P5\n-3 2\n255\n123456"},
        {"no space after magic", "P632 35888888863 2!\n"},
        {"maxval 0", "P5\n3 2\n0\n123456"},
        {"maxval 65536", "P5\n1 1\n65536\n12"},
        {"zero width", "P5\n0 2\n255\n12"},
        {"plain too few numbers", "P2\n3 2\n255\n1 2 3 4 5"},
        {"plain bilevel too few", "P1\n3 2\n10101"},
        {"plain bad digit", "P1\n2 1\n12"},
        {"raw too short", "P6\n2 1\n255\n12345"},
        {"magic only", "P6"},
        {"P8", "P8\n1 1\n255\nx"},
        {"PAM unknown tuple",
         "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE CMYK\nENDHDR\nx"},
        {"PAM depth too small",
         "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\nxyz"},
        {"PAM no ENDHDR", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\n"},
        {"XV thumbnail", "P7 332\n#END_OF_COMMENTS\n1 1 255\nx"},
    };
    for (const auto& [name, text] : cases) {
        const Result r = decode(codecs::decodePnm, bytesOf(text));
        EXPECT_FALSE(r.ok) << name;
        EXPECT_FALSE(r.err.empty()) << name;
    }
}

// ---------------------------------------------------------------------------------------
// PGX

struct PgxCase {
    bool bigEndian, isSigned;
    unsigned depth;
};

class PgxGray : public ::testing::TestWithParam<PgxCase> {};

TEST_P(PgxGray, ScaledToEightBitGray) {
    const auto c = GetParam();
    const std::int64_t lo = c.isSigned ? -(std::int64_t{1} << (c.depth - 1)) : 0;
    const std::int64_t hi =
        c.isSigned ? (std::int64_t{1} << (c.depth - 1)) - 1 : (std::int64_t{1} << c.depth) - 1;
    const std::vector<std::int64_t> samples = {
        lo,           hi, lo + (hi - lo) / 3, hi - 1 > lo ? hi - 1 : lo, lo + 1 <= hi ? lo + 1 : hi,
        (lo + hi) / 2};
    const Result r =
        decode(codecs::decodePgx, makePgx(c.bigEndian, c.isSigned, c.depth, 3, 2, samples));
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(test::imageFault(r.img), "");
    EXPECT_EQ(r.img.GetBpp(), c.depth == 1 ? 1 : c.depth <= 8 ? 8 : 24);
    EXPECT_EQ(r.img.GetWidth(), 3u);
    EXPECT_EQ(r.img.GetHeight(), 2u);
    const std::uint64_t maxval = (std::uint64_t{1} << c.depth) - 1;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto u = static_cast<std::uint64_t>(samples[i] - lo);
        const std::uint8_t gray = test::to8(u, maxval);
        EXPECT_EQ(
            r.img.PixelColor(static_cast<std::uint32_t>(i % 3), static_cast<std::uint32_t>(i / 3)),
            (Rgb{gray, gray, gray}))
            << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PgxGray,
                         ::testing::Values(PgxCase{true, false, 1}, PgxCase{true, false, 4},
                                           PgxCase{true, false, 8}, PgxCase{false, false, 8},
                                           PgxCase{true, true, 8}, PgxCase{false, true, 6},
                                           PgxCase{true, false, 12}, PgxCase{false, false, 16},
                                           PgxCase{true, true, 16}, PgxCase{false, true, 10},
                                           PgxCase{true, false, 24}));

TEST(PgxHeader, SignSpellingsAndOutOfRangeSamples) {
    for (const char* sign : {"+", "+ ", "", " "}) {
        const Result r = decode(codecs::decodePgx, makePgx(true, false, 8, 2, 1, {5, 250}, sign));
        ASSERT_TRUE(r.ok) << "[" << sign << "] " << r.err;
        EXPECT_EQ(r.img.Row(0)[1], 250);
    }
    // A 4-bit sample with bits above the depth saturates.
    const Result r = decode(codecs::decodePgx, makePgx(true, false, 4, 1, 1, {0xF3}));
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.img.Row(0)[0], 255);
}

TEST(PgxRefusal, BadHeaders) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"endianness", "PG XX + 8 1 1\nx"},   {"depth 0", "PG ML + 0 1 1\nx"},
        {"depth 32", "PG ML + 32 1 1\nxxxx"}, {"no size", "PG ML + 8\nx"},
        {"no line break", "PG ML + 8 1 1"},   {"short data", "PG ML + 16 2 1\nxyz"},
        {"glued magic", "PGML + 8 1 1\nx"},   {"zero height", "PG ML + 8 1 0\n"},
    };
    for (const auto& [name, text] : cases) {
        const Result r = decode(codecs::decodePgx, bytesOf(text));
        EXPECT_FALSE(r.ok) << name;
        EXPECT_FALSE(r.err.empty()) << name;
    }
}

// ---------------------------------------------------------------------------------------
// Sun raster

TEST(RasTrueColor, ByteOrdersPaddingAndRuns) {
    struct Case {
        std::uint32_t depth, type;
    };
    for (const Case c : {Case{24, 1}, Case{24, 0}, Case{24, 2}, Case{24, 3}, Case{32, 1},
                         Case{32, 2}, Case{32, 3}}) {
        RasLayout s;
        s.w = 5; // odd width: 24-bit rows need a pad byte
        s.h = 3;
        s.depth = c.depth;
        s.type = c.type;
        const bool rgb = c.type == 3;
        for (std::uint32_t y = 0; y < 3; ++y) {
            Buf row;
            for (std::uint32_t x = 0; x < 5; ++x) {
                const Rgb k = y == 1 ? Rgb{0x80, 0x80, 0x80} : testColor(x, y);
                if (c.depth == 32) row.push_back(0xEE);
                row.insert(row.end(), rgb ? std::initializer_list<std::uint8_t>{k.r, k.g, k.b}
                                          : std::initializer_list<std::uint8_t>{k.b, k.g, k.r});
            }
            s.rows.push_back(row);
        }
        const Result r = decode(codecs::decodeRas, makeRas(s));
        ASSERT_TRUE(r.ok) << c.depth << "/" << c.type << ": " << r.err;
        EXPECT_EQ(test::imageFault(r.img), "");
        EXPECT_EQ(r.img.GetBpp(), 24);
        for (std::uint32_t y = 0; y < 3; ++y)
            for (std::uint32_t x = 0; x < 5; ++x)
                EXPECT_EQ(r.img.PixelColor(x, y),
                          (y == 1 ? Rgb{0x80, 0x80, 0x80} : testColor(x, y)))
                    << c.depth << "/" << c.type << " at " << x << "," << y;
    }
}

TEST(RasIndexed, MapsAndDefaults) {
    // 8 bits with a three-entry map, planar R then G then B.
    RasLayout s;
    s.depth = 8;
    s.w = 3;
    s.h = 1;
    s.mapType = 1;
    s.map = {10, 20, 30, 11, 21, 31, 12, 22, 32};
    s.rows = {Buf{2, 0, 1}};
    Result r = decode(codecs::decodeRas, makeRas(s));
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(test::imageFault(r.img), "");
    EXPECT_EQ(r.img.GetBpp(), 8);
    EXPECT_EQ(r.img.PixelColor(0, 0), (Rgb{30, 31, 32}));
    EXPECT_EQ(r.img.PixelColor(1, 0), (Rgb{10, 11, 12}));

    // 8 bits, no map: gray.
    s.mapType = 0;
    s.map.clear();
    s.rows = {Buf{0x80, 0x80, 0x80}};
    s.type = 2;
    r = decode(codecs::decodeRas, makeRas(s));
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_TRUE(r.img.IsGrayRamp());
    EXPECT_EQ(r.img.Row(0)[2], 0x80);

    // 1 bit, no map: a set bit is black. 17 pixels: rows padded to 4 bytes.
    RasLayout b;
    b.depth = 1;
    b.w = 17;
    b.h = 2;
    b.rows = {Buf{0xA0, 0x0F, 0x80}, Buf{0x00, 0xFF, 0x00}};
    for (std::uint32_t type : {1u, 2u}) {
        b.type = type;
        r = decode(codecs::decodeRas, makeRas(b));
        ASSERT_TRUE(r.ok) << r.err;
        EXPECT_EQ(r.img.GetBpp(), 1);
        const Rgb black{0, 0, 0}, white{255, 255, 255};
        EXPECT_EQ(r.img.PixelColor(0, 0), black);
        EXPECT_EQ(r.img.PixelColor(1, 0), white);
        EXPECT_EQ(r.img.PixelColor(2, 0), black);
        EXPECT_EQ(r.img.PixelColor(12, 0), black);
        EXPECT_EQ(r.img.PixelColor(16, 0), black);
        EXPECT_EQ(r.img.PixelColor(15, 1), black);
        EXPECT_EQ(r.img.PixelColor(16, 1), white);
    }
    // 1 bit with a two-entry map.
    b.type = 1;
    b.mapType = 1;
    b.map = {200, 0, 100, 0, 50, 255};
    r = decode(codecs::decodeRas, makeRas(b));
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.img.PixelColor(0, 0), (Rgb{0, 0, 255}));
    EXPECT_EQ(r.img.PixelColor(1, 0), (Rgb{200, 100, 50}));
}

TEST(RasRle, EscapesDecodeExactly) {
    // 0x80 0x00 is one 0x80; 0x80 n v is n + 1 copies of v; runs go on across rows.
    Buf b;
    ByteWriter(b).u32be(0x59A66A95).u32be(4).u32be(2).u32be(8).u32be(0).u32be(2).u32be(0).u32be(0);
    b.insert(b.end(), {0x80, 0x00, 7, 0x80, 0x02, 9, 0x80, 0x01, 0x80, 5});
    const Result r = decode(codecs::decodeRas, b);
    ASSERT_TRUE(r.ok) << r.err;
    const Buf want = {0x80, 7, 9, 9, 9, 0x80, 0x80, 5};
    EXPECT_EQ(r.img.Pixels(), want);
}

TEST(RasRefusal, BadHeaders) {
    const Buf good = tinyRas();
    ASSERT_TRUE(decode(codecs::decodeRas, good).ok);
    struct Patch {
        const char* name;
        std::size_t at;
        std::uint8_t value;
    };
    for (const Patch p :
         {Patch{"magic", 0, 0x58}, Patch{"depth 4", 15, 4}, Patch{"depth 16", 15, 16},
          Patch{"type 4", 23, 4}, Patch{"map type 3", 27, 3}, Patch{"map past the end", 30, 1},
          Patch{"zero width", 7, 0}}) {
        Buf b = good;
        b[p.at] = p.value;
        const Result r = decode(codecs::decodeRas, b);
        EXPECT_FALSE(r.ok) << p.name;
        EXPECT_FALSE(r.err.empty()) << p.name;
    }
}

// ---------------------------------------------------------------------------------------
// Huge headers (the codec contract covers cuts, garbage and the corpus)

// Headers claiming enormous pictures over a few bytes of data.
std::vector<std::pair<std::string, std::pair<DecodeFn, Buf>>> bombs() {
    std::vector<std::pair<std::string, std::pair<DecodeFn, Buf>>> out;
    auto add = [&](std::string name, DecodeFn fn, Buf b) { out.push_back({name, {fn, b}}); };
    for (auto [w, h] :
         {std::pair{30001u, 1u}, std::pair{20000u, 20000u}, std::pair{65535u, 65535u}}) {
        const std::string size = std::to_string(w) + "x" + std::to_string(h);
        for (std::uint8_t type : {2, 10}) {
            const TgaLayout t = tgaLayout(type, 24, static_cast<std::uint16_t>(w),
                                          static_cast<std::uint16_t>(h), Buf(64, 0));
            add("tga " + std::to_string(type) + " " + size, codecs::decodeTga, makeTga(t));
        }
        PcxLayout p;
        p.planes = 3;
        p.w = static_cast<std::uint16_t>(w);
        p.h = static_cast<std::uint16_t>(h);
        p.bytesPerLine = static_cast<std::uint16_t>(w);
        p.lines = {Buf{0xC0 | 63, 0}};
        add("pcx " + size, codecs::decodePcx, makePcx(p));
        Buf wbmp = wbmpHeader(w, h);
        wbmp.insert(wbmp.end(), 64, 0);
        add("wbmp " + size, codecs::decodeWbmp, wbmp);
        add("pgm " + size, codecs::decodePnm,
            bytesOf("P5 " + std::to_string(w) + " " + std::to_string(h) + " 255\nxyz"));
        add("ppm plain " + size, codecs::decodePnm,
            bytesOf("P3 " + std::to_string(w) + " " + std::to_string(h) + " 255\n1 2 3 4 5 6"));
        add("pgx " + size, codecs::decodePgx,
            bytesOf("PG ML + 16 " + std::to_string(w) + " " + std::to_string(h) + "\nxyz"));
        RasLayout r;
        r.w = w;
        r.h = h;
        r.type = 2;
        add("ras " + size, codecs::decodeRas, makeRas(r));
    }
    add("pnm 100000x100000", codecs::decodePnm, bytesOf("P6 100000 100000 255\nxyz"));
    add("pnm huge numbers", codecs::decodePnm, bytesOf("P6 99999999999999999999999 2 255\nxyz"));
    add("pgx 100000x100000", codecs::decodePgx, bytesOf("PG ML + 8 100000 100000\nxyz"));
    add("wbmp 2^28", codecs::decodeWbmp, Buf{0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 0});
    Buf ras;
    for (std::uint32_t v : {0x59A66A95u, 100000u, 100000u, 24u, 0u, 1u, 0u, 0u})
        ByteWriter(ras).u32be(v);
    add("ras 100000x100000", codecs::decodeRas, ras);
    return out;
}

TEST(TgaPcxWbmpPnmPgxRasBomb, RefusedAtOnce) {
    for (const auto& [name, c] : bombs()) {
        const auto start = std::chrono::steady_clock::now();
        const Result r = decode(c.first, c.second);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        EXPECT_FALSE(r.ok) << name;
        EXPECT_FALSE(r.err.empty()) << name;
        // Allocating and clearing the claimed picture would take far longer than this.
        EXPECT_LT(ms, 50) << name;
    }
}

TEST(TgaCorpus, KnownFiles) {
    FOLIO_REQUIRE_CORPUS();
    // Colour map starting at index 39, 72 entries of B G R; 12 x 6 indices stored top-down
    // after an 18-byte header and a 20-byte id.
    {
        const Buf f = test::corpusBytes("tga", "irs_cmap_offset.tga");
        const Result r = decode(codecs::decodeTga, f);
        ASSERT_TRUE(r.ok) << r.err;
        ASSERT_EQ(r.img.GetWidth(), 12u);
        ASSERT_EQ(r.img.GetHeight(), 6u);
        const std::size_t map = 18 + 20, pixels = map + 72 * 3;
        for (std::uint32_t y = 0; y < 6; ++y)
            for (std::uint32_t x = 0; x < 12; ++x) {
                const unsigned idx = f[pixels + y * 12 + x];
                Rgb want{};
                if (idx >= 39 && idx < 39 + 72) {
                    const std::size_t e = map + (idx - 39) * 3;
                    want = Rgb{f[e + 2], f[e + 1], f[e]};
                }
                EXPECT_EQ(r.img.PixelColor(x, y), want) << x << "," << y;
            }
    }
    // Two 16-bit pixels: 0x541F and 0x83EA as A RRRRR GGGGG BBBBB.
    {
        const Result r = decode(codecs::decodeTga, test::corpusBytes("tga", "pil_rgba16.tga"));
        ASSERT_TRUE(r.ok) << r.err;
        EXPECT_EQ(r.img.PixelColor(0, 0), (Rgb{from5(21), 0, 255}));
        EXPECT_EQ(r.img.PixelColor(1, 0), (Rgb{0, 255, from5(10)}));
    }
    // One raw packet of three pixels crossing the first scan line, bottom-up: 0 255 | 255 0.
    {
        const Result r =
            decode(codecs::decodeTga, test::corpusBytes("tga", "pil_cross_scan_line.tga"));
        ASSERT_TRUE(r.ok) << r.err;
        EXPECT_EQ(r.img.Row(0)[0], 255);
        EXPECT_EQ(r.img.Row(0)[1], 0);
        EXPECT_EQ(r.img.Row(1)[0], 0);
        EXPECT_EQ(r.img.Row(1)[1], 255);
    }
    // Raw gray, bottom-up: row y of the picture is file row 31 - y.
    const Buf raw = test::corpusBytes("tga", "pil_200x32_l_bl_raw.tga");
    const Result gray = decode(codecs::decodeTga, raw);
    ASSERT_TRUE(gray.ok) << gray.err;
    for (std::uint32_t y = 0; y < 32; ++y)
        for (std::uint32_t x = 0; x < 200; ++x)
            ASSERT_EQ(gray.img.Row(y)[x], raw[18 + (31 - y) * 200 + x]) << x << "," << y;
    // The same picture written other ways.
    const Result grayRle =
        decode(codecs::decodeTga, test::corpusBytes("tga", "pil_200x32_l_tl_rle.tga"));
    ASSERT_TRUE(grayRle.ok) << grayRle.err;
    expectSamePicture(gray.img, grayRle.img);
    const Result rgb =
        decode(codecs::decodeTga, test::corpusBytes("tga", "pil_200x32_rgb_tl_raw.tga"));
    ASSERT_TRUE(rgb.ok) << rgb.err;
    for (const char* name : {"pil_200x32_rgba_bl_raw.tga", "pil_200x32_rgba_tl_rle.tga"}) {
        const Result other = decode(codecs::decodeTga, test::corpusBytes("tga", name));
        ASSERT_TRUE(other.ok) << name << ": " << other.err;
        expectSamePicture(rgb.img, other.img);
    }
    for (const char* bad : {"irs_flip-zero-height.tga", "irs_orientation-zero-width.tga"})
        EXPECT_FALSE(decode(codecs::decodeTga, test::corpusBytes("tga", bad)).ok) << bad;
}

TEST(PcxCorpus, KnownFiles) {
    FOLIO_REQUIRE_CORPUS();
    // 1 x 1, four bit planes of two bytes: 80 00 | 80 00 | 00 00 | 00 00 gives index 3, whose
    // header palette entry is the three bytes at 16 + 3 * 3.
    const Buf four = test::corpusBytes("pcx", "pil_p_4_planes.pcx");
    const Result r = decode(codecs::decodePcx, four);
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.img.GetBpp(), 4);
    EXPECT_EQ(r.img.PixelColor(0, 0), (Rgb{four[25], four[26], four[27]}));
    EXPECT_EQ(r.img.PixelColor(0, 0), (Rgb{255, 0, 0}));
    // Encoding byte 0x20: not a PCX file at all.
    EXPECT_FALSE(
        decode(codecs::decodePcx, test::corpusBytes("pcx", "pil_ossfuzz-4836216264589312.pcx")).ok);
    // Three 8-bit planes of 70 bytes: the same picture as the raw PPM of that name.
    const Result p = decode(codecs::decodePcx, test::corpusBytes("pcx", "im_input.pcx"));
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ(p.img.GetBpp(), 24);
    const Result ppm = decode(codecs::decodePnm, test::corpusBytes("ppm", "im_input_p6.ppm"));
    ASSERT_TRUE(ppm.ok) << ppm.err;
    expectSamePicture(p.img, ppm.img);
    // Its resolution fields hold the picture size, which is no resolution.
    EXPECT_EQ(p.img.GetXDpi(), 96u);
}

TEST(WbmpCorpus, KnownFile) {
    FOLIO_REQUIRE_CORPUS();
    const Buf f = test::corpusBytes("wbmp", "im_input.wbmp");
    const Result r = decode(codecs::decodeWbmp, f);
    ASSERT_TRUE(r.ok) << r.err;
    ASSERT_EQ(r.img.GetWidth(), 70u); // header 00 00 46 2E
    ASSERT_EQ(r.img.GetHeight(), 46u);
    for (std::uint32_t y = 0; y < 46; ++y)
        for (std::uint32_t x = 0; x < 70; ++x) {
            const bool white = (f[4 + y * 9 + x / 8] >> (7 - x % 8)) & 1;
            ASSERT_EQ(r.img.PixelColor(x, y), white ? (Rgb{255, 255, 255}) : (Rgb{0, 0, 0}));
        }
}

TEST(PnmCorpus, PlainAndRawVersionsAgree) {
    FOLIO_REQUIRE_CORPUS();
    auto load = [](const char* folder, const char* name) {
        Result r = decode(codecs::decodePnm, test::corpusBytes(folder, name));
        EXPECT_TRUE(r.ok) << name << ": " << r.err;
        return r;
    };
    const std::pair<std::pair<const char*, const char*>, std::pair<const char*, const char*>>
        pairs[] = {
            {{"pnm", "im_input_p1_pbm.pnm"}, {"pnm", "im_input_p4_pbm.pnm"}},
            {{"pnm", "pil_hopper_1bit_pbm.pnm"}, {"pnm", "pil_hopper_1bit_plain_pbm.pnm"}},
            {{"pgm", "im_input_p2.pgm"}, {"pgm", "im_input_p5.pgm"}},
            {{"pgm", "pil_hopper_8bit.pgm"}, {"pgm", "pil_hopper_8bit_plain.pgm"}},
            {{"pgm", "pil_hopper_16bit.pgm"}, {"pgm", "pil_hopper_16bit_plain.pgm"}},
            {{"ppm", "im_input_p3.ppm"}, {"ppm", "im_input_p6.ppm"}},
        };
    for (const auto& [a, b] : pairs) {
        const Result ra = load(a.first, a.second), rb = load(b.first, b.second);
        if (!ra.ok || !rb.ok) continue;
        SCOPED_TRACE(a.second);
        expectSamePicture(ra.img, rb.img);
    }
    // Raw 8-bit gray, header "P5\n70 46\n255\n" (13 bytes): pixels are the bytes after it.
    const Buf p5 = test::corpusBytes("pgm", "im_input_p5.pgm");
    const Result r5 = load("pgm", "im_input_p5.pgm");
    ASSERT_TRUE(r5.ok);
    for (std::size_t i = 0; i < 70 * 46; ++i)
        ASSERT_EQ(r5.img.Pixels()[i], p5[13 + i]) << i;
    // 16-bit big-endian samples after "P5\n20 100\n65535\n" (16 bytes).
    const Buf p16 = test::corpusBytes("pgm", "pil_16_bit_binary.pgm");
    const Result r16 = load("pgm", "pil_16_bit_binary.pgm");
    ASSERT_TRUE(r16.ok);
    ASSERT_EQ(r16.img.GetBpp(), 24);
    for (std::size_t i = 0; i < 20 * 100; ++i) {
        const std::uint8_t v = test::to8((p16[16 + 2 * i] << 8) | p16[17 + 2 * i], 65535);
        ASSERT_EQ(r16.img.PixelColor(static_cast<std::uint32_t>(i % 20),
                                     static_cast<std::uint32_t>(i / 20)),
                  (Rgb{v, v, v}))
            << i;
    }
    EXPECT_FALSE(decode(codecs::decodePnm, test::corpusBytes("ppm", "pil_negative_size.ppm")).ok);
}

TEST(PgxCorpus, KnownFiles) {
    FOLIO_REQUIRE_CORPUS();
    // "PG ML + 8 16 16\n": 16 bytes of header, then 256 unsigned bytes.
    const Buf f = test::corpusBytes("pgx", "ox_gray-32x32-97full-r1-ref.pgx");
    const Result r = decode(codecs::decodePgx, f);
    ASSERT_TRUE(r.ok) << r.err;
    ASSERT_EQ(r.img.GetWidth(), 16u);
    ASSERT_EQ(r.img.GetHeight(), 16u);
    EXPECT_TRUE(r.img.IsGrayRamp());
    for (std::size_t i = 0; i < 256; ++i)
        ASSERT_EQ(r.img.Pixels()[i], f[16 + i]) << i;
    // A JP2 file under a .pgx name belongs to the JPEG 2000 decoder.
    const Result jp2 = decode(codecs::decodePgx, test::corpusBytes("pgx", "im_input_is_jp2.pgx"));
    EXPECT_FALSE(jp2.ok);
    EXPECT_FALSE(jp2.err.empty());
}

TEST(RasCorpus, KnownFiles) {
    FOLIO_REQUIRE_CORPUS();
    // The same 70 x 46 picture as a Sun raster (RGB order, type 3) and as a raw PPM.
    const Result ras24 = decode(codecs::decodeRas, test::corpusBytes("ras", "im_input_im24.ras"));
    const Result ppm = decode(codecs::decodePnm, test::corpusBytes("ppm", "im_input_p6.ppm"));
    ASSERT_TRUE(ras24.ok) << ras24.err;
    ASSERT_TRUE(ppm.ok) << ppm.err;
    expectSamePicture(ras24.img, ppm.img);
    // Bilevel, 70 pixels in rows padded to 10 bytes after the header: a set bit is black.
    const Buf one = test::corpusBytes("ras", "im_input_im1.ras");
    const Result ras1 = decode(codecs::decodeRas, one);
    ASSERT_TRUE(ras1.ok) << ras1.err;
    for (std::uint32_t y = 0; y < 46; ++y)
        for (std::uint32_t x = 0; x < 70; ++x) {
            const bool set = (one[32 + y * 10 + x / 8] >> (7 - x % 8)) & 1;
            ASSERT_EQ(ras1.img.PixelColor(x, y), set ? (Rgb{0, 0, 0}) : (Rgb{255, 255, 255}));
        }
    // 8 bits with a 768-byte map (256 red, then green, then blue) after the 32-byte header.
    const Buf f = test::corpusBytes("ras", "im_input_im8.ras");
    const Result ras8 = decode(codecs::decodeRas, f);
    ASSERT_TRUE(ras8.ok) << ras8.err;
    for (std::uint32_t y = 0; y < 46; ++y)
        for (std::uint32_t x = 0; x < 70; ++x) {
            const unsigned idx = f[32 + 768 + y * 70 + x];
            ASSERT_EQ(ras8.img.PixelColor(x, y),
                      (Rgb{f[32 + idx], f[32 + 256 + idx], f[32 + 512 + idx]}));
        }
    // Byte-run encoded, 640 x 400 bilevel.
    const Result rle = decode(codecs::decodeRas, test::corpusBytes("ras", "pil_sunraster_im1.ras"));
    ASSERT_TRUE(rle.ok) << rle.err;
    EXPECT_EQ(rle.img.GetWidth(), 640u);
    EXPECT_EQ(rle.img.GetHeight(), 400u);
    // The stream opens with 80 FF 00 (256 zero bytes): the first three rows are white.
    for (std::uint32_t x = 0; x < 640; ++x)
        ASSERT_EQ(rle.img.PixelColor(x, 2), (Rgb{255, 255, 255}));
}

} // namespace
} // namespace folio
