// PNG decoding through libpng 1.6, reading from memory.
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <png.h>

namespace folio::codecs {

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

// Every libpng call that may longjmp happens here; only trivially destructible locals.
bool runPng(PngReader& r, PngSource& src, Image& out, std::string& createErr, const char*& why) {
    png_structp png = r.png;
    png_infop info = r.info;
    if (setjmp(png_jmpbuf(png))) {
        why = src.message[0] ? src.message : "corrupt PNG data";
        return false;
    }
    png_set_read_fn(png, &src, readFromSpan);
    png_set_user_limits(png, kMaxImageSide, kMaxImageSide);
    png_set_chunk_malloc_max(png, kMaxChunkBytes);
    png_set_chunk_cache_max(png, kMaxCachedChunks);
    // A CRC error in any chunk, ancillary included, means a damaged file.
    png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);

    png_read_info(png, info);
    png_uint_32 w = 0, h = 0;
    int depth = 0, colorType = 0, interlace = 0;
    png_get_IHDR(png, info, &w, &h, &depth, &colorType, &interlace, nullptr, nullptr);
    if (!detail::sizeAllowed(w, h)) {
        why = "image too large";
        return false;
    }

    std::uint16_t bpp = 24;
    switch (colorType) {
    case PNG_COLOR_TYPE_PALETTE:
    case PNG_COLOR_TYPE_GRAY:
        if (depth < 8) png_set_packing(png);
        if (depth == 16) png_set_strip_16(png);
        bpp = storedBpp(depth > 8 ? 8 : static_cast<unsigned>(depth));
        break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        png_set_strip_16(png);
        png_set_strip_alpha(png);
        bpp = 8;
        break;
    case PNG_COLOR_TYPE_RGB:
    case PNG_COLOR_TYPE_RGB_ALPHA:
        png_set_strip_16(png);
        png_set_strip_alpha(png);
        bpp = 24;
        break;
    default:
        why = "unsupported PNG colour type";
        return false;
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const std::size_t bytesPerPixel = bpp == 24 ? 3 : 1;
    if (png_get_rowbytes(png, info) != static_cast<std::size_t>(w) * bytesPerPixel) {
        why = "unexpected PNG row layout";
        return false;
    }

    if (!out.Create(w, h, bpp, &createErr)) {
        why = createErr.c_str();
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

} // namespace

bool decodePng(Bytes data, Image& out, std::string& err) {
    if (data.size() < 8 || png_sig_cmp(data.data(), 0, 8) != 0)
        return detail::fail(err, "not a PNG file");
    PngSource src{data.data(), data.size(), 0, {}};
    PngReader reader;
    reader.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &src, onPngError, onPngWarning);
    if (!reader.png) return detail::fail(err, "out of memory");
    reader.info = png_create_info_struct(reader.png);
    if (!reader.info) return detail::fail(err, "out of memory");
    std::string createErr;
    const char* why = nullptr;
    if (!runPng(reader, src, out, createErr, why)) {
        err = std::string("PNG: ") + (why ? why : "decoding failed");
        return false;
    }
    return true;
}

} // namespace folio::codecs
