// Wireless bitmap (WBMP) type 0: an uncompressed bilevel picture behind a tiny header.
#include "book/image/ByteReader.h"
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

namespace folio::codecs::wbmp {

namespace {

// A multi-byte integer: 7 bits per byte, high bit set on all bytes but the last. Refuses
// redundant leading zero groups and anything past 28 bits, which no real picture needs.
bool readMultiByte(ByteReader& r, std::uint32_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t b = r.u8();
        if (!r.ok() || (i == 0 && b == 0x80)) return false;
        value = (value << 7) | (b & 0x7Fu);
        if ((b & 0x80) == 0) return true;
    }
    return false;
}

struct Layout {
    std::uint32_t width = 0, height = 0;
    std::size_t rowBytes = 0, dataStart = 0;
};

// No signature: a zero type, a zero header byte and sane sizes whose bitmap fills the file
// are all there is to tell a WBMP from something else.
bool readHeader(Bytes data, Layout& l, DecodeError& err) {
    ByteReader r(data);
    const std::uint8_t type = r.u8();
    const std::uint8_t fixedHeader = r.u8();
    if (!r.ok() || type != 0 || fixedHeader != 0)
        return detail::notThisFormat(err, "not a WBMP file");
    if (!readMultiByte(r, l.width) || !readMultiByte(r, l.height) || l.width == 0 || l.height == 0)
        return detail::notThisFormat(err, "not a WBMP file");
    if (!detail::sizeAllowed(l.width, l.height)) return detail::overLimits(err, "image too large");
    l.rowBytes = (std::size_t{l.width} + 7) / 8;
    if (r.remaining() / l.rowBytes < l.height) return detail::truncated(err, "truncated WBMP data");
    l.dataStart = r.pos();
    return true;
}

} // namespace

bool sniff(Bytes data) {
    return data.size() >= 2 && data[0] == 0 && data[1] == 0;
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    Layout l;
    return readHeader(data, l, err) && detail::facts(facts, l.width, l.height, 1, err);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    Layout l;
    if (!readHeader(data, l, err) || !detail::create(out, l.width, l.height, 1, err)) return false;
    detail::setBilevelPalette(out);
    const std::uint8_t* src = data.data() + l.dataStart;
    for (std::uint32_t y = 0; y < l.height; ++y, src += l.rowBytes) {
        std::uint8_t* dst = out.Row(y);
        for (std::uint32_t x = 0; x < l.width; ++x)
            dst[x] = (src[x / 8] >> (7 - x % 8)) & 1u;
    }
    return true;
}

} // namespace folio::codecs::wbmp
