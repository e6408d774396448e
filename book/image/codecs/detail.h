// Small helpers shared by the simple decoders (TGA, PCX, WBMP, PNM, PGX, Sun raster).
#pragma once

#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace folio::codecs::detail {

// a * b, or false when the product does not fit a size_t.
inline bool checkedMul(std::size_t a, std::size_t b, std::size_t& out) {
    if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) return false;
    out = a * b;
    return true;
}

// Whether a w x h picture is within the library's limits; lets a decoder refuse a lying
// header before it allocates anything at all (line buffers included).
inline bool sizeAllowed(std::uint64_t w, std::uint64_t h) {
    return w > 0 && h > 0 && w <= kMaxImageSide && h <= kMaxImageSide && w * h <= kMaxImagePixels;
}

// A sample in 0..maxval mapped to 0..255 with rounding; values above maxval saturate.
inline std::uint8_t scaleTo8(std::uint32_t v, std::uint32_t maxval) {
    if (maxval == 0) return 0;
    if (v >= maxval) return 255;
    if (maxval == 255) return static_cast<std::uint8_t>(v);
    return static_cast<std::uint8_t>((static_cast<std::uint64_t>(v) * 255 + maxval / 2) / maxval);
}

// A 5-bit channel widened to 8 bits the same way as any other sample scaling.
inline std::uint8_t expand5(unsigned v) {
    return scaleTo8(v & 31u, 31);
}

// Black for 0 and white for 1: the palette of every bilevel picture we produce.
inline void setBilevelPalette(Image& img) {
    const Rgb bw[2] = {Rgb{0, 0, 0}, Rgb{255, 255, 255}};
    img.SetPalette(bw);
}

// The one way a codec fails: a reason and the text users read.
inline bool fail(DecodeError& err, DecodeReason reason, std::string_view detail) {
    err.reason = reason;
    err.detail = detail;
    return false;
}
inline bool truncated(DecodeError& err, std::string_view detail) {
    return fail(err, DecodeReason::Truncated, detail);
}
inline bool overLimits(DecodeError& err, std::string_view detail) {
    return fail(err, DecodeReason::OverLimits, detail);
}
inline bool notThisFormat(DecodeError& err, std::string_view detail) {
    return fail(err, DecodeReason::NotThisFormat, detail);
}
inline bool unsupported(DecodeError& err, std::string_view detail) {
    return fail(err, DecodeReason::Unsupported, detail);
}
inline bool damaged(DecodeError& err, std::string_view detail) {
    return fail(err, DecodeReason::Damaged, detail);
}

// Image::Create with its refusal as a typed reason.
inline bool create(Image& out, std::uint32_t w, std::uint32_t h, std::uint16_t bpp,
                   DecodeError& err) {
    std::string why;
    if (out.Create(w, h, bpp, &why)) return true;
    return fail(err, why == "out of memory" ? DecodeReason::OutOfMemory : DecodeReason::OverLimits,
                why);
}

// What a probe reports, refused exactly where Image::Create would refuse the decoded picture
// (so a probe never promises a picture the decoder cannot hold).
inline bool facts(PictureFacts& f, std::uint64_t w, std::uint64_t h, std::uint16_t bpp,
                  DecodeError& err) {
    if (w == 0 || h == 0) return damaged(err, "empty image");
    if (!sizeAllowed(w, h)) return overLimits(err, "image too large");
    if (w * h * (bpp == 24 ? 3 : 1) > kMaxImageBytes)
        return overLimits(err, "image too large for the memory budget");
    f = PictureFacts{static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h), bpp, 0, 0};
    return true;
}

// The probe of a format whose header reading alone gives the picture's layout (width,
// height and bpp() as decoded).
template <typename Layout>
bool probeLayout(Bytes data, PictureFacts& f, DecodeError& err,
                 bool (*read)(Bytes, Layout&, DecodeError&)) {
    Layout l;
    return read(data, l, err) && facts(f, l.width, l.height, l.bpp(), err);
}

inline bool isSpace(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

inline bool isDigit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

} // namespace folio::codecs::detail
