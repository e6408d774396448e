// Truevision TGA: colour-mapped, gray and true-colour pictures, raw or run-length encoded.
#include "book/image/ByteReader.h"
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <algorithm>
#include <array>

namespace folio::codecs::tga {

namespace {

struct TgaHeader {
    std::uint8_t idLength = 0, mapType = 0, imageType = 0;
    std::uint16_t mapFirst = 0, mapLength = 0;
    std::uint8_t mapEntryBits = 0;
    std::uint16_t width = 0, height = 0;
    std::uint8_t depth = 0, descriptor = 0;
};

bool validEntryBits(unsigned bits) {
    return bits == 15 || bits == 16 || bits == 24 || bits == 32;
}

// The format has no signature, so the header has to look like a real one before any
// other format's file is taken for it.
bool plausible(const TgaHeader& h) {
    if (h.mapType > 1) return false;
    const unsigned kind = h.imageType & 7u;
    if (h.imageType != kind && h.imageType != (kind | 8u)) return false;
    if (kind < 1 || kind > 3) return false;
    if (h.width == 0 || h.height == 0) return false;
    if (h.descriptor & 0xC0) return false; // interleaving was never used by real files
    if (h.mapType == 1) {
        if (!validEntryBits(h.mapEntryBits) || h.mapLength == 0) return false;
    } else {
        if (h.mapLength != 0 || h.mapFirst != 0) return false;
        if (h.mapEntryBits != 0 && !validEntryBits(h.mapEntryBits)) return false;
    }
    switch (kind) {
    case 1:
        return h.mapType == 1 && h.depth == 8;
    case 2:
        return validEntryBits(h.depth);
    default:
        return h.depth == 8 || h.depth == 16; // 16: gray plus alpha
    }
}

Rgb colorOf(const std::uint8_t* p, unsigned bytes) {
    if (bytes == 2) {
        const unsigned v = p[0] | (p[1] << 8);
        return Rgb{detail::expand5(v >> 10), detail::expand5(v >> 5), detail::expand5(v)};
    }
    return Rgb{p[2], p[1], p[0]}; // B G R, and A last for 32 bits
}

// The header and every check that needs no pixel: what probe and decode share.
struct Layout {
    TgaHeader h;
    unsigned kind = 0, pixelBytes = 0, entryBytes = 0;
    bool rle = false;
    std::size_t pixelCount = 0;
    Bytes map;
    std::size_t dataStart = 0;
    std::uint16_t bpp() const { return kind == 2 ? 24 : 8; }
};

bool readHeader(Bytes data, TgaHeader& h) {
    ByteReader r(data);
    h.idLength = r.u8();
    h.mapType = r.u8();
    h.imageType = r.u8();
    h.mapFirst = r.u16le();
    h.mapLength = r.u16le();
    h.mapEntryBits = r.u8();
    r.skip(4); // origin on the screen
    h.width = r.u16le();
    h.height = r.u16le();
    h.depth = r.u8();
    h.descriptor = r.u8();
    return r.ok() && plausible(h);
}

bool readLayout(Bytes data, Layout& l, DecodeError& err) {
    TgaHeader& h = l.h;
    if (!readHeader(data, h)) return detail::notThisFormat(err, "not a TGA file");
    l.kind = h.imageType & 7u;
    l.rle = (h.imageType & 8u) != 0;
    l.pixelBytes = (h.depth + 7u) / 8u;
    l.pixelCount = std::size_t{h.width} * h.height;

    ByteReader r(data);
    r.skip(18 + std::size_t{h.idLength});
    l.entryBytes = (h.mapEntryBits + 7u) / 8u;
    l.map = r.take(std::size_t{h.mapLength} * l.entryBytes);
    if (!r.ok()) return detail::truncated(err, "truncated TGA colour map");

    // Cheap refusal before allocating: raw data must be all there, packed data must at
    // least hold one byte per 128 pixels.
    if (!l.rle && r.remaining() / l.pixelBytes < l.pixelCount)
        return detail::truncated(err, "truncated TGA data");
    if (l.rle && r.remaining() < (l.pixelCount + 127) / 128 * (1 + l.pixelBytes))
        return detail::truncated(err, "truncated TGA data");
    l.dataStart = r.pos();
    return true;
}

} // namespace

bool sniff(Bytes data) {
    TgaHeader h;
    return readHeader(data, h);
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    Layout l;
    return readLayout(data, l, err) && detail::facts(facts, l.h.width, l.h.height, l.bpp(), err);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    Layout l;
    if (!readLayout(data, l, err)) return false;
    const TgaHeader& h = l.h;
    const unsigned kind = l.kind, pixelBytes = l.pixelBytes, entryBytes = l.entryBytes;
    const std::size_t pixelCount = l.pixelCount;
    const Bytes map = l.map;
    ByteReader r(data);
    r.seek(l.dataStart);

    if (!detail::create(out, h.width, h.height, l.bpp(), err)) return false;
    if (kind == 1) {
        std::array<Rgb, 256> pal{};
        for (std::size_t i = 0; i < h.mapLength; ++i) {
            const std::size_t index = std::size_t{h.mapFirst} + i;
            if (index >= pal.size()) break;
            pal[index] = colorOf(map.data() + i * entryBytes, entryBytes);
        }
        out.SetPalette(pal);
    } else if (kind == 3) {
        out.SetGrayPalette();
    }

    const bool topDown = (h.descriptor & 0x20) != 0;
    const bool rightToLeft = (h.descriptor & 0x10) != 0;
    const std::size_t outBytes = out.BytesPerPixel();
    std::size_t col = 0, row = 0;
    std::uint8_t* line = out.Row(topDown ? 0 : h.height - 1);
    auto put = [&](const std::uint8_t* p) {
        const std::size_t x = rightToLeft ? h.width - 1 - col : col;
        std::uint8_t* dst = line + x * outBytes;
        if (kind == 2) {
            const Rgb c = colorOf(p, pixelBytes);
            dst[0] = c.r;
            dst[1] = c.g;
            dst[2] = c.b;
        } else {
            *dst = p[0]; // an index, or the gray level ahead of any alpha
        }
        if (++col == h.width) {
            col = 0;
            if (++row < h.height)
                line = out.Row(static_cast<std::uint32_t>(topDown ? row : h.height - 1 - row));
        }
    };

    if (!l.rle) {
        const std::uint8_t* src = r.take(pixelCount * pixelBytes).data();
        for (std::size_t i = 0; i < pixelCount; ++i)
            put(src + i * pixelBytes);
        return true;
    }
    // Packets may run across scan lines; a packet reaching past the last pixel is cut.
    std::size_t done = 0;
    while (done < pixelCount) {
        const std::uint8_t head = r.u8();
        const std::size_t n = (head & 0x7Fu) + 1u;
        const std::size_t use = std::min(n, pixelCount - done);
        if (head & 0x80) {
            auto px = r.take(pixelBytes);
            if (!r.ok()) return detail::truncated(err, "truncated TGA data");
            for (std::size_t i = 0; i < use; ++i)
                put(px.data());
        } else {
            auto px = r.take(n * pixelBytes);
            if (!r.ok()) return detail::truncated(err, "truncated TGA data");
            for (std::size_t i = 0; i < use; ++i)
                put(px.data() + i * pixelBytes);
        }
        done += use;
    }
    return true;
}

} // namespace folio::codecs::tga
