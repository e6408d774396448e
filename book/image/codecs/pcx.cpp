// ZSoft PCX: bilevel, 16-colour (bit planes or packed), 256-colour and 24-bit pictures.
#include "book/image/ByteReader.h"
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <algorithm>
#include <array>
#include <vector>

namespace folio::codecs::pcx {

namespace {

constexpr std::size_t kHeaderSize = 128;
constexpr std::size_t kTrailerPaletteSize = 769; // 0x0C and 256 RGB triples

// The stored depth for a bits-per-pixel / planes pair, or 0 when the pair is not one we know.
unsigned storedDepth(unsigned bits, unsigned planes) {
    if (bits == 1 && planes == 1) return 1;
    if (bits == 1 && planes >= 2 && planes <= 4) return 4;
    if ((bits == 2 || bits == 4) && planes == 1) return 4;
    if (bits == 8 && planes == 1) return 8;
    if (bits == 8 && (planes == 3 || planes == 4)) return 24;
    return 0;
}

// Many writers put the screen mode or the picture size into the resolution fields; only
// values that could be a real scan resolution are kept.
bool plausibleDpi(unsigned x, unsigned y, unsigned w, unsigned h) {
    if (x < 20 || y < 20 || x > 10000 || y > 10000) return false;
    if (x == w && y == h) return false;
    constexpr std::array<std::array<unsigned, 2>, 6> screens{
        {{320, 200}, {640, 200}, {640, 350}, {640, 480}, {800, 600}, {1024, 768}}};
    for (const auto& s : screens)
        if (x == s[0] && y == s[1]) return false;
    return true;
}

// The 256-colour palette: normally the file's last 769 bytes, else right after the image
// data when something was appended behind it. A marker with too few bytes after it is a
// cut file; no marker at all means a gray picture.
bool setTrailerPalette(Bytes data, std::size_t dataEnd, Image& out, DecodeError& err) {
    const std::size_t n = data.size();
    std::size_t at = n;
    if (n - dataEnd >= kTrailerPaletteSize && data[n - kTrailerPaletteSize] == 0x0C)
        at = n - kTrailerPaletteSize;
    else if (dataEnd < n && data[dataEnd] == 0x0C && n - dataEnd >= kTrailerPaletteSize)
        at = dataEnd;
    else if (dataEnd < n && data[dataEnd] == 0x0C)
        return detail::truncated(err, "truncated PCX palette");
    if (at == n) {
        out.SetGrayPalette();
        return true;
    }
    std::array<Rgb, 256> pal{};
    const std::uint8_t* p = data.data() + at + 1;
    for (std::size_t i = 0; i < pal.size(); ++i)
        pal[i] = Rgb{p[i * 3], p[i * 3 + 1], p[i * 3 + 2]};
    out.SetPalette(pal);
    return true;
}

struct Layout {
    unsigned bits = 0, planes = 0, depth = 0;
    std::uint32_t width = 0, height = 0;
    std::uint16_t hdpi = 0, vdpi = 0, bytesPerLine = 0;
    std::size_t lineBytes = 0;
    Bytes headerPalette;
};

bool readLayout(Bytes data, Layout& l, DecodeError& err) {
    ByteReader r(data);
    const std::uint8_t maker = r.u8();
    const std::uint8_t version = r.u8();
    const std::uint8_t encoding = r.u8();
    l.bits = r.u8();
    const std::uint16_t xmin = r.u16le(), ymin = r.u16le(), xmax = r.u16le(), ymax = r.u16le();
    l.hdpi = r.u16le();
    l.vdpi = r.u16le();
    l.headerPalette = r.take(48);
    r.skip(1);
    l.planes = r.u8();
    l.bytesPerLine = r.u16le();
    if (!r.ok() || data.size() < kHeaderSize || maker != 0x0A || encoding != 1 || xmin > xmax ||
        ymin > ymax)
        return detail::notThisFormat(err, "not a PCX file");
    if (version != 0 && version != 2 && version != 3 && version != 4 && version != 5)
        return detail::notThisFormat(err, "not a PCX file");
    l.depth = storedDepth(l.bits, l.planes);
    if (l.depth == 0) return detail::unsupported(err, "unsupported PCX depth");

    l.width = xmax - xmin + 1u;
    l.height = ymax - ymin + 1u;
    if (l.bytesPerLine == 0 || std::uint64_t{l.bytesPerLine} * 8 < std::uint64_t{l.width} * l.bits)
        return detail::damaged(err, "bad PCX line length");
    if (!detail::sizeAllowed(l.width, l.height)) return detail::overLimits(err, "image too large");
    // A two-byte run gives at most 63 bytes: refuse data that cannot fill the picture.
    l.lineBytes = std::size_t{l.bytesPerLine} * l.planes;
    if (data.size() - kHeaderSize < (2 * l.lineBytes * l.height + 62) / 63)
        return detail::truncated(err, "truncated PCX data");
    return true;
}

} // namespace

bool sniff(Bytes data) {
    return data.size() >= kHeaderSize && data[0] == 0x0A && data[2] == 1;
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    Layout l;
    return readLayout(data, l, err) &&
           detail::facts(facts, l.width, l.height, static_cast<std::uint16_t>(l.depth), err);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    Layout l;
    if (!readLayout(data, l, err)) return false;
    const unsigned bits = l.bits, planes = l.planes, depth = l.depth;
    const std::uint32_t width = l.width, height = l.height;
    const std::uint16_t bytesPerLine = l.bytesPerLine;
    const std::size_t lineBytes = l.lineBytes;
    const Bytes headerPalette = l.headerPalette;
    ByteReader r(data);

    if (!detail::create(out, width, height, static_cast<std::uint16_t>(depth), err)) return false;
    if (depth == 1) {
        detail::setBilevelPalette(out);
    } else if (depth == 4) {
        std::array<Rgb, 16> pal{};
        for (std::size_t i = 0; i < pal.size(); ++i)
            pal[i] = Rgb{headerPalette[i * 3], headerPalette[i * 3 + 1], headerPalette[i * 3 + 2]};
        out.SetPalette(pal);
    }
    if (plausibleDpi(l.hdpi, l.vdpi, width, height)) out.SetDpi(l.hdpi, l.vdpi);

    r.seek(kHeaderSize);
    std::vector<std::uint8_t> line(lineBytes);
    // A run may go on into the next line; what it has left is carried over.
    std::size_t pendingCount = 0;
    std::uint8_t pendingValue = 0;
    for (std::uint32_t y = 0; y < height; ++y) {
        std::size_t filled = 0;
        while (filled < lineBytes) {
            if (pendingCount == 0) {
                const std::uint8_t b = r.u8();
                if ((b & 0xC0) == 0xC0) {
                    pendingCount = b & 0x3Fu;
                    pendingValue = r.u8();
                } else {
                    pendingCount = 1;
                    pendingValue = b;
                }
                if (!r.ok()) return detail::truncated(err, "truncated PCX data");
                continue;
            }
            const std::size_t n = std::min(pendingCount, lineBytes - filled);
            std::fill_n(line.begin() + static_cast<std::ptrdiff_t>(filled), n, pendingValue);
            filled += n;
            pendingCount -= n;
        }

        std::uint8_t* dst = out.Row(y);
        const std::uint8_t* src = line.data();
        if (depth == 24) {
            for (std::uint32_t x = 0; x < width; ++x) {
                dst[x * 3] = src[x];
                dst[x * 3 + 1] = src[bytesPerLine + x];
                dst[x * 3 + 2] = src[2 * std::size_t{bytesPerLine} + x];
            }
        } else if (bits == 8) {
            std::copy_n(src, width, dst);
        } else if (bits == 1) {
            // One bit per plane; plane p gives bit p of the index.
            for (std::uint32_t x = 0; x < width; ++x) {
                unsigned v = 0;
                for (unsigned p = 0; p < planes; ++p) {
                    const std::uint8_t byte = src[p * std::size_t{bytesPerLine} + x / 8];
                    v |= ((byte >> (7 - x % 8)) & 1u) << p;
                }
                dst[x] = static_cast<std::uint8_t>(v);
            }
        } else {
            const unsigned perByte = 8 / bits, mask = (1u << bits) - 1;
            for (std::uint32_t x = 0; x < width; ++x) {
                const unsigned shift = 8 - bits * (x % perByte + 1);
                dst[x] = static_cast<std::uint8_t>((src[x / perByte] >> shift) & mask);
            }
        }
    }
    if (depth == 8) return setTrailerPalette(data, r.pos(), out, err);
    return true;
}

} // namespace folio::codecs::pcx
