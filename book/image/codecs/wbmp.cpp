// Wireless bitmap (WBMP) type 0: an uncompressed bilevel picture behind a tiny header.
#include "book/image/ByteReader.h"
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

namespace folio::codecs {

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

} // namespace

bool decodeWbmp(Bytes data, Image& out, std::string& err) {
    // No signature: a zero type, a zero header byte and sane sizes whose bitmap fills the
    // file are all there is to tell a WBMP from something else.
    ByteReader r(data);
    const std::uint8_t type = r.u8();
    const std::uint8_t fixedHeader = r.u8();
    if (!r.ok() || type != 0 || fixedHeader != 0) return detail::fail(err, "not a WBMP file");
    std::uint32_t width = 0, height = 0;
    if (!readMultiByte(r, width) || !readMultiByte(r, height) || width == 0 || height == 0)
        return detail::fail(err, "not a WBMP file");
    if (!detail::sizeAllowed(width, height)) return detail::fail(err, "image too large");
    const std::size_t rowBytes = (std::size_t{width} + 7) / 8;
    if (r.remaining() / rowBytes < height) return detail::fail(err, "truncated WBMP data");

    if (!out.Create(width, height, 1, &err)) return false;
    detail::setBilevelPalette(out);
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* src = r.take(rowBytes).data();
        std::uint8_t* dst = out.Row(y);
        for (std::uint32_t x = 0; x < width; ++x)
            dst[x] = (src[x / 8] >> (7 - x % 8)) & 1u;
    }
    return true;
}

} // namespace folio::codecs
