// BMP and ICO files written field by field, for the BMP and ICO tests.
#pragma once

#include "book/image/Image.h"
#include "tests/test_support.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace folio::test {

using Bytes = std::vector<std::uint8_t>;
using Sample = std::function<std::uint32_t(std::uint32_t x, std::uint32_t y)>;

inline Rgb rgb(std::uint32_t v) {
    return Rgb{static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
               static_cast<std::uint8_t>(v)};
}
// 256 different colours (37 is odd, so the red byte alone tells them apart).
inline Rgb colour(std::uint32_t i) {
    return Rgb{static_cast<std::uint8_t>(i * 37 + 1), static_cast<std::uint8_t>(255 - i * 11),
               static_cast<std::uint8_t>((i * 5) ^ 0x5A)};
}
inline std::vector<Rgb> colours(std::size_t n) {
    std::vector<Rgb> v;
    for (std::size_t i = 0; i < n; ++i)
        v.push_back(colour(static_cast<std::uint32_t>(i)));
    return v;
}

// Rows of a DIB in file order, each padded to 4 bytes; sample(x, y) is the raw value of
// the pixel at image row y (0 = top), little-endian for the byte-sized depths.
inline Bytes packRows(std::uint32_t w, std::uint32_t h, unsigned bpp, bool topDown,
                      const Sample& sample) {
    const std::size_t rowBytes = (static_cast<std::size_t>(w) * bpp + 31) / 32 * 4;
    Bytes out;
    for (std::uint32_t fileRow = 0; fileRow < h; ++fileRow) {
        const std::uint32_t y = topDown ? fileRow : h - 1 - fileRow;
        Bytes row(rowBytes, 0);
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint32_t v = sample(x, y);
            const std::size_t bit = static_cast<std::size_t>(x) * bpp;
            if (bpp < 8) {
                row[bit / 8] |= static_cast<std::uint8_t>(v << (8 - bpp - bit % 8));
            } else {
                for (unsigned k = 0; k < bpp / 8; ++k)
                    row[bit / 8 + k] = static_cast<std::uint8_t>(v >> (8 * k));
            }
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

struct Dib {
    std::uint32_t headerSize = 40;
    std::int32_t width = 0, height = 0;
    std::uint16_t planes = 1, bpp = 8;
    std::uint32_t compression = 0;
    std::int32_t xppm = 0, yppm = 0;
    std::uint32_t clrUsed = 0;
    std::vector<std::uint32_t> masks; // inside V2+ headers, after a 40-byte one
    std::vector<Rgb> palette;
    Bytes pixels;
};

// The DIB header, its trailing masks and the palette.
inline Bytes dibHead(const Dib& d) {
    Bytes b;
    ByteWriter(b).u32le(d.headerSize);
    if (d.headerSize == 12) {
        ByteWriter(b)
            .u16le(static_cast<std::uint32_t>(d.width))
            .u16le(static_cast<std::uint32_t>(d.height));
    } else {
        ByteWriter(b)
            .u32le(static_cast<std::uint32_t>(d.width))
            .u32le(static_cast<std::uint32_t>(d.height));
    }
    ByteWriter(b).u16le(d.planes).u16le(d.bpp);
    if (d.headerSize >= 40) {
        ByteWriter(b)
            .u32le(d.compression)
            .u32le(static_cast<std::uint32_t>(d.pixels.size()))
            .u32le(static_cast<std::uint32_t>(d.xppm))
            .u32le(static_cast<std::uint32_t>(d.yppm))
            .u32le(d.clrUsed)
            .u32le(0);
        if (d.headerSize > 40 && d.headerSize != 64)
            for (std::uint32_t m : d.masks)
                if (b.size() < d.headerSize) ByteWriter(b).u32le(m);
        b.resize(d.headerSize, 0);
        if (d.headerSize == 40)
            for (std::uint32_t m : d.masks)
                ByteWriter(b).u32le(m);
    }
    for (const Rgb& c : d.palette) {
        b.push_back(c.b);
        b.push_back(c.g);
        b.push_back(c.r);
        if (d.headerSize != 12) b.push_back(0);
    }
    return b;
}
inline Bytes bmpFile(const Dib& d, std::optional<std::uint32_t> offBits = std::nullopt,
                     const Bytes& gap = {}) {
    const Bytes head = dibHead(d);
    const auto natural = static_cast<std::uint32_t>(14 + head.size() + gap.size());
    Bytes b{'B', 'M'};
    ByteWriter(b)
        .u32le(static_cast<std::uint32_t>(natural + d.pixels.size()))
        .u32le(0)
        .u32le(offBits.value_or(natural));
    b.insert(b.end(), head.begin(), head.end());
    b.insert(b.end(), gap.begin(), gap.end());
    b.insert(b.end(), d.pixels.begin(), d.pixels.end());
    return b;
}

// An icon DIB w x h filled with one colour; maskBytes of its AND mask are kept (all by default).
inline Bytes iconDib(std::int32_t w, std::int32_t h, std::uint16_t bpp, Rgb fill,
                     std::optional<std::size_t> maskBytes = std::nullopt) {
    Dib d;
    d.width = w;
    d.height = 2 * h;
    d.bpp = bpp;
    const std::uint32_t packed = static_cast<std::uint32_t>(fill.r) << 16 | fill.g << 8 | fill.b;
    if (bpp <= 8) {
        d.palette = colours(1u << bpp);
        d.palette[1] = fill;
    }
    d.pixels = packRows(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h), bpp, false,
                        [&](std::uint32_t, std::uint32_t) { return bpp <= 8 ? 1u : packed; });
    Bytes b = dibHead(d);
    b.insert(b.end(), d.pixels.begin(), d.pixels.end());
    const std::size_t mask =
        static_cast<std::size_t>((w + 31) / 32 * 4) * static_cast<std::size_t>(h);
    b.insert(b.end(), std::min(mask, maskBytes.value_or(mask)), 0);
    return b;
}

struct IcoEntry {
    std::uint8_t dirW, dirH;
    std::uint16_t dirBpp;
    Bytes data;
};

inline Bytes icoFile(const std::vector<IcoEntry>& entries, std::uint16_t type = 1) {
    Bytes b;
    ByteWriter(b).u16le(0).u16le(type).u16le(static_cast<std::uint32_t>(entries.size()));
    std::size_t offset = 6 + 16 * entries.size();
    for (const auto& e : entries) {
        b.push_back(e.dirW);
        b.push_back(e.dirH);
        b.push_back(0);
        b.push_back(0);
        ByteWriter(b).u16le(type == 2 ? 3 : 1); // cursors keep their hotspot here
        ByteWriter(b)
            .u16le(type == 2 ? 7 : e.dirBpp)
            .u32le(static_cast<std::uint32_t>(e.data.size()))
            .u32le(static_cast<std::uint32_t>(offset));
        offset += e.data.size();
    }
    for (const auto& e : entries)
        b.insert(b.end(), e.data.begin(), e.data.end());
    return b;
}

inline const Rgb kA{200, 10, 10}, kB{10, 200, 10}, kC{10, 10, 200}, kD{90, 90, 90}, kE{250, 250, 0};
// Five icons of three sizes and four depths, the best (largest, then deepest) third.
inline std::vector<IcoEntry> fiveEntries() {
    return {{16, 16, 8, iconDib(16, 16, 8, kA)},
            {32, 32, 4, iconDib(32, 32, 4, kB)},
            {32, 32, 32, iconDib(32, 32, 32, kC)},
            {32, 32, 24, iconDib(32, 32, 24, kD)},
            {24, 24, 32, iconDib(24, 24, 32, kE)}};
}

// The depth a decoded DIB of this bit count reports: 2 bits are widened to 4, above 8 is 24.
inline std::uint16_t documentedStoredDepth(unsigned bitCount) {
    switch (bitCount) {
    case 1:
        return 1;
    case 2:
    case 4:
        return 4;
    case 8:
        return 8;
    default:
        return 24;
    }
}

} // namespace folio::test
