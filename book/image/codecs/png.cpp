// PNG decoding through libpng 1.6, reading from memory.
#include "book/image/ByteReader.h"
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <png.h>

namespace folio::codecs::png {

namespace {

// Ancillary chunks (text, ICC profiles) are never needed whole beyond this.
constexpr png_alloc_size_t kMaxChunkBytes = 8u << 20;
constexpr png_uint_32 kMaxCachedChunks = 256;

// Trivially destructible on purpose: it is touched on both sides of a longjmp.
struct PngSource {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos;
    char message[128];
};

[[noreturn]] void onPngError(png_structp png, png_const_charp msg) {
    auto* src = static_cast<PngSource*>(png_get_error_ptr(png));
    if (src) {
        std::strncpy(src->message, msg ? msg : "PNG error", sizeof src->message - 1);
        src->message[sizeof src->message - 1] = '\0';
    }
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

void readFromSpan(png_structp png, png_bytep dst, png_size_t length) {
    auto* src = static_cast<PngSource*>(png_get_io_ptr(png));
    if (length > src->size - src->pos) png_error(png, "truncated file");
    std::memcpy(dst, src->data + src->pos, length);
    src->pos += length;
}

struct PngReader {
    png_structp png = nullptr;
    png_infop info = nullptr;

    PngReader() = default;
    PngReader(const PngReader&) = delete;
    PngReader& operator=(const PngReader&) = delete;
    ~PngReader() {
        if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
};

std::uint32_t perMetreToDpi(png_uint_32 v) {
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(v) * 254 + 5000) / 10000);
}

// What the header (IHDR up to the first IDAT) settles, with the transforms set to match.
struct Layout {
    png_uint_32 w = 0, h = 0;
    int depth = 0, colorType = 0, passes = 1;
    std::uint16_t bpp = 0;
};

// Reads and checks the header and sets the transforms; may longjmp, so it is only called
// below a setjmp and keeps nothing with a destructor. False with `why` set when refused.
bool readHeader(png_structp png, png_infop info, PngSource& src, Layout& l, const char*& why,
                DecodeReason& reason) {
    png_set_read_fn(png, &src, readFromSpan);
    png_set_user_limits(png, kMaxImageSide, kMaxImageSide);
    png_set_chunk_malloc_max(png, kMaxChunkBytes);
    png_set_chunk_cache_max(png, kMaxCachedChunks);
    // A CRC error in any chunk, ancillary included, means a damaged file.
    png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);

    png_read_info(png, info);
    int interlace = 0;
    png_get_IHDR(png, info, &l.w, &l.h, &l.depth, &l.colorType, &interlace, nullptr, nullptr);
    if (!detail::sizeAllowed(l.w, l.h)) {
        why = "image too large";
        reason = DecodeReason::OverLimits;
        return false;
    }

    switch (l.colorType) {
    case PNG_COLOR_TYPE_PALETTE:
    case PNG_COLOR_TYPE_GRAY:
        if (l.depth < 8) png_set_packing(png);
        png_set_strip_16(png);
        if (l.depth == 16) png_set_gray_to_rgb(png); // deeper than 8 bits: true colour
        l.bpp = storedBpp(static_cast<unsigned>(l.depth));
        break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        png_set_strip_16(png);
        png_set_strip_alpha(png);
        if (l.depth == 16) png_set_gray_to_rgb(png);
        l.bpp = l.depth == 16 ? 24 : 8;
        break;
    case PNG_COLOR_TYPE_RGB:
    case PNG_COLOR_TYPE_RGB_ALPHA:
        png_set_strip_16(png);
        png_set_strip_alpha(png);
        l.bpp = 24;
        break;
    default:
        why = "unsupported PNG colour type";
        reason = DecodeReason::Unsupported;
        return false;
    }
    l.passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const std::size_t bytesPerPixel = l.bpp == 24 ? 3 : 1;
    if (png_get_rowbytes(png, info) != static_cast<std::size_t>(l.w) * bytesPerPixel) {
        why = "unexpected PNG row layout";
        reason = DecodeReason::Unsupported;
        return false;
    }
    return true;
}

// Every libpng call that may longjmp happens here; only trivially destructible locals.
bool runPng(PngReader& r, PngSource& src, Image& out, std::string& createErr, const char*& why,
            DecodeReason& reason) {
    png_structp png = r.png;
    png_infop info = r.info;
    if (setjmp(png_jmpbuf(png))) {
        why = src.message[0] ? src.message : "corrupt PNG data";
        return false;
    }
    Layout l;
    if (!readHeader(png, info, src, l, why, reason)) return false;
    const png_uint_32 w = l.w, h = l.h;
    const int depth = l.depth, colorType = l.colorType, passes = l.passes;
    const std::uint16_t bpp = l.bpp;

    if (!out.Create(w, h, bpp, &createErr)) {
        why = createErr.c_str();
        reason =
            createErr == "out of memory" ? DecodeReason::OutOfMemory : DecodeReason::OverLimits;
        return false;
    }
    if (colorType == PNG_COLOR_TYPE_PALETTE) {
        png_colorp plte = nullptr;
        int count = 0;
        if (png_get_PLTE(png, info, &plte, &count) != 0 && plte) {
            std::array<Rgb, 256> colors{};
            const int n = count < 256 ? count : 256;
            for (int i = 0; i < n; ++i)
                colors[i] = Rgb{plte[i].red, plte[i].green, plte[i].blue};
            out.SetPalette(std::span<const Rgb>(colors.data(), static_cast<std::size_t>(n)));
        }
    } else if (bpp != 24) {
        if (depth == 2) {
            // Four levels stored at depth 4: the remaining entries stay unused (black).
            const Rgb levels[4] = {{0, 0, 0}, {85, 85, 85}, {170, 170, 170}, {255, 255, 255}};
            out.SetPalette(levels);
        } else {
            out.SetGrayPalette();
        }
    }
    png_uint_32 xRes = 0, yRes = 0;
    int unit = 0;
    if (png_get_pHYs(png, info, &xRes, &yRes, &unit) != 0 && unit == PNG_RESOLUTION_METER)
        out.SetDpi(perMetreToDpi(xRes), perMetreToDpi(yRes));

    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < h; ++y)
            png_read_row(png, out.Row(y), nullptr);
    // Reading on to IEND is what reveals a file cut after its image data.
    png_read_end(png, nullptr);
    return true;
}

bool probeRun(PngReader& r, PngSource& src, Layout& l, const char*& why, DecodeReason& reason) {
    if (setjmp(png_jmpbuf(r.png))) {
        why = src.message[0] ? src.message : "corrupt PNG data";
        return false;
    }
    return readHeader(r.png, r.info, src, l, why, reason);
}

// Every chunk from the signature to IEND lies inside the file, as the decoder reads them all.
bool chunksComplete(Bytes data) {
    ByteReader r(data);
    r.skip(8);
    while (r.ok()) {
        const std::uint32_t length = r.u32be(), type = r.u32be();
        if (!r.ok() || length > 0x7FFFFFFFu || !r.skip(std::size_t{length} + 4)) return false;
        if (type == 0x49454E44u) return true; // IEND
    }
    return false;
}

// Both entry points share the reader set-up and the failure text.
template <class Run> bool withReader(Bytes data, DecodeError& err, Run&& run) {
    if (!sniff(data)) return detail::notThisFormat(err, "not a PNG file");
    PngSource src{data.data(), data.size(), 0, {}};
    PngReader reader;
    reader.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &src, onPngError, onPngWarning);
    if (!reader.png) return detail::fail(err, DecodeReason::OutOfMemory, "out of memory");
    reader.info = png_create_info_struct(reader.png);
    if (!reader.info) return detail::fail(err, DecodeReason::OutOfMemory, "out of memory");
    const char* why = nullptr;
    DecodeReason reason = DecodeReason::Damaged;
    if (!run(reader, src, why, reason)) {
        if (src.message[0] && std::strcmp(src.message, "truncated file") == 0)
            reason = DecodeReason::Truncated;
        return detail::fail(err, reason, std::string("PNG: ") + (why ? why : "decoding failed"));
    }
    return true;
}

} // namespace

bool sniff(Bytes data) {
    return data.size() >= 8 && png_sig_cmp(data.data(), 0, 8) == 0;
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    Layout l;
    const bool ok = withReader(
        data, err, [&](PngReader& r, PngSource& src, const char*& why, DecodeReason& reason) {
            return probeRun(r, src, l, why, reason);
        });
    if (!ok) return false;
    if (!chunksComplete(data)) return detail::truncated(err, "PNG: truncated file");
    return detail::facts(facts, l.w, l.h, l.bpp, err);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    std::string createErr;
    return withReader(data, err,
                      [&](PngReader& r, PngSource& src, const char*& why, DecodeReason& reason) {
                          return runPng(r, src, out, createErr, why, reason);
                      });
}

} // namespace folio::codecs::png
