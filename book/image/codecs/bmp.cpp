// Windows and OS/2 bitmaps. The header and pixel decoding below is shared by .bmp files and
// by the headerless DIBs stored inside icons and cursors (decodeIconDib, used by ico.cpp).
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include "book/image/ByteReader.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace folio::codecs::bmp {

namespace {

constexpr std::uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3, kJpeg = 4, kPng = 5,
                        kAlphaBitfields = 6;

struct DibHeader {
    std::uint32_t size = 0; // 12 core, 16/64 OS/2 2.x, 40 info, 52/56 V2/V3, 108 V4, 124 V5
    std::int64_t width = 0;
    std::int64_t height = 0; // as stored: negative means top-down
    std::uint16_t planes = 0;
    std::uint16_t bitCount = 0;
    std::uint32_t compression = kRgb;
    std::int32_t xPelsPerMeter = 0;
    std::int32_t yPelsPerMeter = 0;
    std::uint32_t clrUsed = 0;
    std::uint32_t masks[4] = {}; // R, G, B, A
    bool hasMasks = false;
    std::size_t masksAfterHeader = 0; // 40-byte headers keep their bitfield masks outside
    bool core() const { return size == 12; }
    bool os2v2() const { return size == 16 || size == 64; }
};

bool readDibHeader(ByteReader& r, DibHeader& h, DecodeError& err) {
    h.size = r.u32le();
    if (!r.ok()) return detail::truncated(err, "truncated header");
    switch (h.size) {
    case 12:
    case 16:
    case 40:
    case 52:
    case 56:
    case 64:
    case 108:
    case 124:
        break;
    default:
        return detail::unsupported(err, "unknown bitmap header size");
    }
    if (h.core()) {
        h.width = r.u16le();
        h.height = r.u16le();
    } else {
        h.width = r.i32le();
        h.height = r.i32le();
    }
    h.planes = r.u16le();
    h.bitCount = r.u16le();
    if (h.size >= 40) {
        h.compression = r.u32le();
        r.u32le(); // image size: unreliable, the data is measured instead
        h.xPelsPerMeter = r.i32le();
        h.yPelsPerMeter = r.i32le();
        h.clrUsed = r.u32le();
        r.u32le(); // important colours
    }
    // The OS/2 64-byte header carries halftoning fields where Windows keeps masks.
    if (h.size >= 52 && h.size != 64) {
        for (int i = 0; i < 3; ++i)
            h.masks[i] = r.u32le();
        if (h.size >= 56) h.masks[3] = r.u32le();
        h.hasMasks = true;
    }
    if (!r.ok()) return detail::truncated(err, "truncated header");
    if (h.planes != 1) return detail::damaged(err, "bad plane count");
    const std::uint32_t c = h.compression;
    // Embedded streams carry a bit count of 0, so the compression is judged first.
    if (h.os2v2()) {
        if (c == 3) return detail::unsupported(err, "OS/2 Huffman compression not supported");
        if (c == 4) return detail::unsupported(err, "OS/2 RLE24 not supported");
        if (c > kRle4) return detail::unsupported(err, "unknown compression");
    }
    if (c == kJpeg || c == kPng)
        return detail::unsupported(err, "embedded JPEG/PNG bitmaps not supported");
    if (c > kAlphaBitfields) return detail::unsupported(err, "unknown compression");
    switch (h.bitCount) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
        break;
    default:
        return detail::unsupported(err, "unsupported bit count");
    }
    if (c == kRle8 && h.bitCount != 8) return detail::damaged(err, "RLE8 needs 8 bits per pixel");
    if (c == kRle4 && h.bitCount != 4) return detail::damaged(err, "RLE4 needs 4 bits per pixel");
    if ((c == kBitfields || c == kAlphaBitfields) && h.bitCount != 16 && h.bitCount != 32)
        return detail::damaged(err, "bitfields need 16 or 32 bits per pixel");
    if ((c == kRle8 || c == kRle4) && h.height < 0)
        return detail::unsupported(err, "top-down RLE bitmap");

    if (c == kBitfields || c == kAlphaBitfields) {
        if (h.size == 40) {
            const int n = c == kAlphaBitfields ? 4 : 3;
            for (int i = 0; i < n; ++i)
                h.masks[i] = r.u32le();
            if (!r.ok()) return detail::truncated(err, "truncated bitfield masks");
            h.masksAfterHeader = static_cast<std::size_t>(n) * 4;
            h.hasMasks = true;
        }
        // All-zero masks would only give black; such writers meant the defaults.
        if (h.masks[0] == 0 && h.masks[1] == 0 && h.masks[2] == 0) h.hasMasks = false;
    } else {
        h.hasMasks = false; // V4/V5 masks are only meaningful with bitfield compression
    }
    return true;
}

// One colour channel of a 16- or 32-bit pixel, scaled from its field width to 8 bits.
struct Channel {
    std::uint32_t mask = 0;
    int shift = 0;
    std::uint64_t max = 0;

    explicit Channel(std::uint32_t m) : mask(m) {
        if (m == 0) return;
        shift = std::countr_zero(m);
        max = m >> shift;
    }
    std::uint8_t operator()(std::uint32_t px) const {
        if (max == 0) return 0;
        const std::uint64_t v = (px & mask) >> shift;
        if (max == 255) return static_cast<std::uint8_t>(v);
        return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
    }
};

// Run-length data, bottom-up. Pixels never reached keep index 0; runs past the right or top
// edge are clipped. Data ending before the end-of-bitmap mark is a truncation unless every
// row has already been closed.
bool decodeRle(Bytes data, bool four, Image& img, DecodeError& err) {
    const std::uint64_t w = img.GetWidth(), h = img.GetHeight();
    std::uint64_t x = 0, y = 0;
    std::size_t pos = 0;
    auto put = [&](std::uint8_t index) {
        if (x < w && y < h) img.Row(static_cast<std::uint32_t>(h - 1 - y))[x] = index;
        ++x;
    };
    while (y < h) {
        if (data.size() - pos < 2) return detail::truncated(err, "truncated RLE data");
        const std::uint8_t count = data[pos], value = data[pos + 1];
        pos += 2;
        if (count > 0) {
            const std::uint8_t hi = four ? static_cast<std::uint8_t>(value >> 4) : value;
            const std::uint8_t lo = four ? static_cast<std::uint8_t>(value & 15) : value;
            const std::uint64_t inside = x < w ? std::min<std::uint64_t>(count, w - x) : 0;
            for (unsigned i = 0; i < inside; ++i)
                put(i % 2 ? lo : hi);
            x += count - inside; // the clipped rest still moves the cursor
            continue;
        }
        switch (value) {
        case 0: // end of line
            x = 0;
            ++y;
            break;
        case 1: // end of bitmap
            return true;
        case 2: // delta
            if (data.size() - pos < 2) return detail::truncated(err, "truncated RLE data");
            x += data[pos];
            y += data[pos + 1];
            pos += 2;
            break;
        default: { // absolute run of `value` pixels, padded to a 16-bit boundary
            const std::size_t bytes = four ? (value + 1u) / 2 : value;
            if (data.size() - pos < bytes) return detail::truncated(err, "truncated RLE data");
            for (unsigned i = 0; i < value; ++i) {
                const std::uint8_t b = data[pos + (four ? i / 2 : i)];
                put(four ? static_cast<std::uint8_t>(i % 2 ? b & 15 : b >> 4) : b);
            }
            pos += bytes + (bytes & 1);
            if (pos > data.size()) pos = data.size();
            break;
        }
        }
    }
    return true;
}

std::uint32_t dpiFromPelsPerMeter(std::int32_t ppm) {
    if (ppm <= 0) return 0;
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(ppm) * 254 + 5000) / 10000);
}

// Where a DIB's parts lie and what it holds: everything checked before any pixel is read,
// shared by probe and decode. fileOffBits is the file header's pixel offset (absent for
// icon entries, whose pixels follow the palette and whose height also counts the AND mask).
struct DibLayout {
    DibHeader h;
    bool topDown = false, rle = false;
    std::uint32_t w = 0, ht = 0;
    std::uint64_t paletteStart = 0, pixelStart = 0, entrySize = 0, wanted = 0, rowBytes = 0;
    std::uint16_t bpp() const { return storedBpp(h.bitCount); }
};

bool readDibLayout(Bytes data, std::size_t dibStart, std::optional<std::uint32_t> fileOffBits,
                   bool icon, DibLayout& l, DecodeError& err) {
    ByteReader r(data);
    if (!r.seek(dibStart)) return detail::truncated(err, "truncated header");
    DibHeader& h = l.h;
    if (!readDibHeader(r, h, err)) return false;

    l.topDown = h.height < 0;
    std::int64_t height = l.topDown ? -h.height : h.height;
    if (icon) height /= 2;
    if (h.width <= 0 || height <= 0) return detail::damaged(err, "empty image");
    if (h.width > kMaxImageSide || height > kMaxImageSide ||
        static_cast<std::uint64_t>(h.width) * static_cast<std::uint64_t>(height) > kMaxImagePixels)
        return detail::overLimits(err, "image too large");
    l.w = static_cast<std::uint32_t>(h.width);
    l.ht = static_cast<std::uint32_t>(height);
    const unsigned bpp = h.bitCount;

    // Palette, then pixels: where the file header puts them when that is believable,
    // otherwise right after the palette the header announces.
    l.paletteStart = static_cast<std::uint64_t>(dibStart) + h.size + h.masksAfterHeader;
    if (l.paletteStart > data.size()) return detail::truncated(err, "truncated header");
    l.entrySize = h.core() ? 3 : 4;
    l.wanted = h.clrUsed;
    if (bpp <= 8 && (l.wanted == 0 || h.core())) l.wanted = std::uint64_t{1} << bpp;
    l.pixelStart = l.paletteStart + l.wanted * l.entrySize;
    if (fileOffBits && *fileOffBits >= l.paletteStart) l.pixelStart = *fileOffBits;
    if (l.pixelStart > data.size()) return detail::truncated(err, "truncated: pixel data missing");

    l.rle = h.compression == kRle8 || h.compression == kRle4;
    l.rowBytes = (static_cast<std::uint64_t>(l.w) * bpp + 31) / 32 * 4;
    if (!l.rle) {
        // The padding of the very last row may be missing; its pixels may not.
        const std::uint64_t need =
            l.rowBytes * (l.ht - 1) + (static_cast<std::uint64_t>(l.w) * bpp + 7) / 8;
        if (need > data.size() - l.pixelStart)
            return detail::truncated(err, "truncated pixel data");
    }
    return true;
}

bool decodeDib(Bytes data, std::size_t dibStart, std::optional<std::uint32_t> fileOffBits,
               bool icon, Image& out, DecodeError& err) {
    DibLayout l;
    if (!readDibLayout(data, dibStart, fileOffBits, icon, l, err)) return false;
    const DibHeader& h = l.h;
    const bool topDown = l.topDown, rle = l.rle;
    const std::uint32_t w = l.w, ht = l.ht;
    const unsigned bpp = h.bitCount;
    const std::uint64_t paletteStart = l.paletteStart, pixelStart = l.pixelStart;
    const std::uint64_t entrySize = l.entrySize, wanted = l.wanted, rowBytes = l.rowBytes;

    if (!detail::create(out, w, ht, l.bpp(), err)) return false;
    // Icon writers fill the resolution with noise; a page image from an icon keeps the default.
    if (!icon)
        out.SetDpi(dpiFromPelsPerMeter(h.xPelsPerMeter), dpiFromPelsPerMeter(h.yPelsPerMeter));

    if (bpp <= 8) {
        const std::uint64_t present = (pixelStart - paletteStart) / entrySize;
        const auto n = static_cast<std::size_t>(
            std::min({wanted, present, static_cast<std::uint64_t>(1) << bpp}));
        std::vector<Rgb> palette(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t* p = data.data() + paletteStart + i * entrySize;
            palette[i] = Rgb{p[2], p[1], p[0]};
        }
        out.SetPalette(palette);
    }

    const Bytes pixels = data.subspan(static_cast<std::size_t>(pixelStart));
    if (rle) return decodeRle(pixels, h.compression == kRle4, out, err);

    std::uint32_t masks[3] = {0, 0, 0};
    if (h.hasMasks) {
        std::copy_n(h.masks, 3, masks);
    } else if (bpp == 16) {
        masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    } else {
        masks[0] = 0xFF0000, masks[1] = 0x00FF00, masks[2] = 0x0000FF;
    }
    const Channel red(masks[0]), green(masks[1]), blue(masks[2]);

    for (std::uint32_t row = 0; row < ht; ++row) {
        const std::uint8_t* src = pixels.data() + rowBytes * row;
        std::uint8_t* dst = out.Row(topDown ? row : ht - 1 - row);
        switch (bpp) {
        case 1:
        case 2:
        case 4: {
            const unsigned perByte = 8 / bpp, valueMask = (1u << bpp) - 1;
            for (std::uint32_t x = 0; x < w; ++x) {
                const unsigned shift = 8 - bpp * (x % perByte + 1);
                dst[x] = static_cast<std::uint8_t>((src[x / perByte] >> shift) & valueMask);
            }
            break;
        }
        case 8:
            std::copy_n(src, w, dst);
            break;
        case 24:
            for (std::uint32_t x = 0; x < w; ++x, src += 3, dst += 3) {
                dst[0] = src[2];
                dst[1] = src[1];
                dst[2] = src[0];
            }
            break;
        default: { // 16 or 32
            const unsigned step = bpp / 8;
            for (std::uint32_t x = 0; x < w; ++x, src += step, dst += 3) {
                std::uint32_t px = src[0] | static_cast<std::uint32_t>(src[1]) << 8;
                if (step == 4)
                    px |= static_cast<std::uint32_t>(src[2]) << 16 |
                          static_cast<std::uint32_t>(src[3]) << 24;
                dst[0] = red(px);
                dst[1] = green(px);
                dst[2] = blue(px);
            }
            break;
        }
        }
    }
    return true;
}

bool readFileHeader(Bytes data, std::uint32_t& offBits, DecodeError& err) {
    ByteReader r(data);
    const std::uint8_t b = r.u8(), m = r.u8();
    r.skip(8); // file size and reserved words: writers disagree, nothing depends on them
    offBits = r.u32le();
    if (!r.ok()) return detail::truncated(err, "truncated file header");
    if (b != 'B' || m != 'M') return detail::notThisFormat(err, "not a BMP file");
    return true;
}

bool dibFacts(const DibLayout& l, PictureFacts& facts, DecodeError& err) {
    return detail::facts(facts, l.w, l.ht, l.bpp(), err);
}

} // namespace

bool sniff(Bytes data) {
    return data.size() >= 14 && data[0] == 'B' && data[1] == 'M';
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    std::uint32_t offBits = 0;
    DibLayout l;
    return readFileHeader(data, offBits, err) && readDibLayout(data, 14, offBits, false, l, err) &&
           dibFacts(l, facts, err);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    std::uint32_t offBits = 0;
    return readFileHeader(data, offBits, err) && decodeDib(data, 14, offBits, false, out, err);
}

bool probeIconDib(Bytes data, PictureFacts& facts, DecodeError& err) {
    DibLayout l;
    return readDibLayout(data, 0, std::nullopt, true, l, err) && dibFacts(l, facts, err);
}

bool decodeIconDib(Bytes data, Image& out, DecodeError& err) {
    return decodeDib(data, 0, std::nullopt, true, out, err);
}

} // namespace folio::codecs::bmp
