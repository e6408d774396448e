// TIFF over libtiff, read from memory. Only the first page is decoded. Gray, palette and plain
// RGB pages are unpacked here (so alpha is dropped rather than premultiplied, and odd sample
// depths work); YCbCr, CMYK, Lab and LogLuv pages go through libtiff's RGBA interface.
#include "book/image/ByteReader.h"
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <tiffio.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#if defined(TIFFLIB_VERSION) && TIFFLIB_VERSION >= 20221213
#define FOLIO_TIFF_OPEN_OPTIONS 1
#else
#define FOLIO_TIFF_OPEN_OPTIONS 0
#endif

namespace folio::codecs::tiff {
namespace {

// Largest single buffer libtiff may allocate while decoding one of our pages.
constexpr std::uint64_t kMaxLibtiffAlloc = kMaxImageBytes;

// The file being read plus what libtiff reported about it. Handed to libtiff as both the
// client handle and the error-handler data, so nothing here is shared between decodes.
struct Source {
    Bytes data;
    std::uint64_t pos = 0;
    bool failed = false;
    std::array<char, 160> message{};
};

tmsize_t readProc(thandle_t h, void* buf, tmsize_t n) {
    auto* s = static_cast<Source*>(h);
    const std::uint64_t size = s->data.size();
    if (n <= 0 || s->pos >= size) return 0;
    const std::uint64_t count =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(n), size - s->pos);
    std::memcpy(buf, s->data.data() + s->pos, static_cast<std::size_t>(count));
    s->pos += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t writeProc(thandle_t, void*, tmsize_t) {
    return -1;
}

toff_t seekProc(thandle_t h, toff_t off, int whence) {
    auto* s = static_cast<Source*>(h);
    const std::uint64_t size = s->data.size();
    std::uint64_t target = 0;
    switch (whence) {
    case SEEK_SET:
        target = off;
        break;
    // Relative seeks may move backwards: the unsigned offset then carries a negative value.
    case SEEK_CUR:
        target = s->pos + off;
        break;
    case SEEK_END:
        target = size + off;
        break;
    default:
        return static_cast<toff_t>(-1);
    }
    if (target > size) return static_cast<toff_t>(-1);
    s->pos = target;
    return target;
}

int closeProc(thandle_t) {
    return 0;
}

toff_t sizeProc(thandle_t h) {
    return static_cast<Source*>(h)->data.size();
}

int mapProc(thandle_t h, void** base, toff_t* size) {
    auto* s = static_cast<Source*>(h);
    if (s->data.empty()) return 0;
    // libtiff only reads through the mapping when the file is opened read-only.
    *base = const_cast<std::uint8_t*>(s->data.data());
    *size = s->data.size();
    return 1;
}

void unmapProc(thandle_t, void*, toff_t) {}

#if FOLIO_TIFF_OPEN_OPTIONS
int onError(TIFF*, void* user, const char*, const char* fmt, va_list ap) {
    auto* s = static_cast<Source*>(user);
    if (!s->failed) std::vsnprintf(s->message.data(), s->message.size(), fmt, ap);
    s->failed = true;
    return 1;
}

int onWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

struct OptionsFree {
    void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};
#endif

struct TiffClose {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffClose>;

// The process-wide handlers print to stderr by default; per-handle handlers do the real work,
// these only catch messages libtiff emits before a handle exists.
void silenceGlobalHandlers() {
    static const bool silenced = [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    (void)silenced;
}

TiffPtr openTiff(Source& src) {
#if FOLIO_TIFF_OPEN_OPTIONS
    std::unique_ptr<TIFFOpenOptions, OptionsFree> opts(TIFFOpenOptionsAlloc());
    if (!opts) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), onError, &src);
    TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), onWarning, &src);
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), static_cast<tmsize_t>(kMaxLibtiffAlloc));
    return TiffPtr(TIFFClientOpenExt("memory", "r", &src, readProc, writeProc, seekProc, closeProc,
                                     sizeProc, mapProc, unmapProc, opts.get()));
#else
    return TiffPtr(TIFFClientOpen("memory", "r", &src, readProc, writeProc, seekProc, closeProc,
                                  sizeProc, mapProc, unmapProc));
#endif
}

std::uint64_t typeSize(std::uint16_t type) {
    switch (type) {
    case TIFF_BYTE:
    case TIFF_ASCII:
    case TIFF_SBYTE:
    case TIFF_UNDEFINED:
        return 1;
    case TIFF_SHORT:
    case TIFF_SSHORT:
        return 2;
    case TIFF_LONG:
    case TIFF_SLONG:
    case TIFF_FLOAT:
    case TIFF_IFD:
        return 4;
    case TIFF_RATIONAL:
    case TIFF_SRATIONAL:
    case TIFF_DOUBLE:
    case TIFF_LONG8:
    case TIFF_SLONG8:
    case TIFF_IFD8:
        return 8;
    default:
        return 0;
    }
}

// libtiff tolerates a first directory whose entries point past the end of the file (it drops
// the tag with a warning); a file cut short there is truncated, so refuse it up front. This
// also turns non-TIFF input away before libtiff sees it.
bool checkFirstDirectory(Bytes data, DecodeError& err) {
    ByteReader r(data);
    const std::uint8_t b0 = r.u8(), b1 = r.u8();
    bool le = false;
    if (b0 == 'I' && b1 == 'I')
        le = true;
    else if (!(b0 == 'M' && b1 == 'M')) {
        return detail::notThisFormat(err, "not a TIFF file");
    }
    auto u16 = [&] { return le ? r.u16le() : r.u16be(); };
    auto u32 = [&] { return le ? r.u32le() : r.u32be(); };
    auto u64 = [&] {
        const std::uint64_t a = u32(), b = u32();
        return le ? (b << 32) | a : (a << 32) | b;
    };
    const std::uint16_t magic = u16();
    bool big = false;
    if (magic == 43) {
        big = true;
        if (u16() != 8 || u16() != 0) {
            return detail::notThisFormat(err, "not a TIFF file");
        }
    } else if (magic != 42) {
        return detail::notThisFormat(err, "not a TIFF file");
    }
    const std::uint64_t ifd = big ? u64() : u32();
    if (!r.ok() || ifd > data.size() || !r.seek(static_cast<std::size_t>(ifd))) {
        return detail::truncated(err, "TIFF truncated");
    }
    const std::uint64_t count = big ? u64() : u16();
    const std::uint64_t entrySize = big ? 20 : 12;
    const std::uint64_t inlineSize = big ? 8 : 4;
    if (!r.ok() || count == 0 || count > r.remaining() / entrySize) {
        return detail::truncated(err, "TIFF directory truncated");
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        r.skip(2); // tag
        const std::uint64_t size = typeSize(u16());
        const std::uint64_t n = big ? u64() : u32();
        // Counts beyond the file size cannot describe stored data whatever the type.
        if (size != 0 && n > data.size()) {
            return detail::truncated(err, "TIFF tag count past the end");
        }
        const std::uint64_t bytes = size * n;
        if (bytes <= inlineSize) {
            r.skip(static_cast<std::size_t>(inlineSize));
            continue;
        }
        const std::uint64_t off = big ? u64() : u32();
        if (off > data.size() || bytes > data.size() - off) {
            return detail::truncated(err, "TIFF tag data past the end");
        }
    }
    (void)(big ? u64() : u32()); // next directory
    if (!r.ok()) {
        return detail::truncated(err, "TIFF directory truncated");
    }
    return true;
}

bool failWith(const Source& src, DecodeReason reason, const char* fallback, DecodeError& err) {
    if (src.failed && src.message[0] != '\0')
        return detail::fail(err, reason, std::string("TIFF: ") + src.message.data());
    return detail::fail(err, reason, fallback);
}

// How raw samples become 8-bit levels.
struct SampleKind {
    unsigned bits = 8;
    std::uint16_t format = SAMPLEFORMAT_UINT;
};

bool readableSamples(const SampleKind& k) {
    switch (k.format) {
    case SAMPLEFORMAT_UINT:
    case SAMPLEFORMAT_INT:
    case SAMPLEFORMAT_VOID:
        return k.bits >= 1 && k.bits <= 32;
    case SAMPLEFORMAT_IEEEFP:
        return k.bits == 32 || k.bits == 64;
    default:
        return false;
    }
}

// Sample `index` of a decoded row. libtiff has already put 16/24/32/64-bit samples into host
// order; smaller or odd widths stay packed most significant bit first.
std::uint64_t rawSample(const std::uint8_t* row, std::uint64_t index, unsigned bits) {
    switch (bits) {
    case 8:
        return row[index];
    case 16: {
        std::uint16_t v;
        std::memcpy(&v, row + index * 2, 2);
        return v;
    }
    case 24: {
        const std::uint8_t* p = row + index * 3;
        if constexpr (std::endian::native == std::endian::little)
            return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
        else
            return p[2] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[0]} << 16);
    }
    case 32: {
        std::uint32_t v;
        std::memcpy(&v, row + index * 4, 4);
        return v;
    }
    case 64: {
        std::uint64_t v;
        std::memcpy(&v, row + index * 8, 8);
        return v;
    }
    default: {
        std::uint64_t bit = index * bits;
        std::uint64_t v = 0;
        for (unsigned i = 0; i < bits; ++i, ++bit)
            v = (v << 1) | ((row[bit >> 3] >> (7 - (bit & 7))) & 1u);
        return v;
    }
    }
}

std::uint8_t scaleTo8(std::uint64_t v, unsigned bits) {
    const std::uint64_t max = (std::uint64_t{1} << bits) - 1;
    return static_cast<std::uint8_t>((std::min(v, max) * 255 + max / 2) / max);
}

std::uint8_t level8(std::uint64_t raw, const SampleKind& k) {
    switch (k.format) {
    case SAMPLEFORMAT_INT: {
        // Two's complement of `bits` bits, shifted so the most negative value is 0.
        const std::uint64_t half = std::uint64_t{1} << (k.bits - 1);
        return scaleTo8((raw + half) & ((half << 1) - 1), k.bits);
    }
    case SAMPLEFORMAT_IEEEFP: {
        double d = 0;
        if (k.bits == 32) {
            float f;
            const auto u = static_cast<std::uint32_t>(raw);
            std::memcpy(&f, &u, 4);
            d = f;
        } else {
            std::memcpy(&d, &raw, 8);
        }
        if (!(d > 0)) return 0; // also NaN
        if (d >= 1) return 255;
        return static_cast<std::uint8_t>(d * 255 + 0.5);
    }
    default:
        return scaleTo8(raw, k.bits);
    }
}

// How one sample plane is cut into strips or tiles, checked against the allocation limit
// before anything is read: what the probe and forEachRow share.
struct RowLayout {
    bool tiled = false;
    std::uint32_t tw = 0, th = 0, rps = 0;
    std::uint64_t bufferBytes = 0, rowBytes = 0;
};

bool readRowLayout(TIFF* tif, const Source& src, std::uint32_t w, std::uint32_t h,
                   std::uint64_t bitsPerPixel, RowLayout& l, DecodeError& err) {
    l.tiled = TIFFIsTiled(tif);
    if (l.tiled) {
        if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &l.tw) ||
            !TIFFGetField(tif, TIFFTAG_TILELENGTH, &l.th) || l.tw == 0 || l.th == 0)
            return detail::damaged(err, "TIFF tile size missing");
        l.bufferBytes = TIFFTileSize64(tif);
        l.rowBytes = TIFFTileRowSize64(tif);
        if (l.bufferBytes == 0 || l.bufferBytes > kMaxLibtiffAlloc || l.rowBytes == 0 ||
            l.rowBytes > l.bufferBytes / l.th ||
            (std::uint64_t{l.tw} * bitsPerPixel + 7) / 8 > l.rowBytes)
            return failWith(src, DecodeReason::Damaged, "TIFF tile size invalid", err);
        return true;
    }
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &l.rps);
    if (l.rps == 0 || l.rps > h) l.rps = h;
    l.rowBytes = TIFFScanlineSize64(tif);
    if (l.rowBytes == 0 || l.rowBytes > kMaxLibtiffAlloc / l.rps ||
        (std::uint64_t{w} * bitsPerPixel + 7) / 8 > l.rowBytes)
        return failWith(src, DecodeReason::Damaged, "TIFF strip size invalid", err);
    l.bufferBytes = l.rowBytes * l.rps;
    return true;
}

// Decodes every strip or tile of one sample plane and hands each row piece to
// fn(y, x0, count, data), where data holds the pixels x0 .. x0+count-1 of row y.
template <class Fn>
bool forEachRow(TIFF* tif, const Source& src, std::uint32_t w, std::uint32_t h, std::uint16_t plane,
                std::uint64_t bitsPerPixel, Fn&& fn, DecodeError& err) {
    RowLayout l;
    if (!readRowLayout(tif, src, w, h, bitsPerPixel, l, err)) return false;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(l.bufferBytes));
    if (l.tiled) {
        const std::uint32_t tw = l.tw, th = l.th;
        const std::uint64_t tileBytes = l.bufferBytes, rowBytes = l.rowBytes;
        for (std::uint32_t ty = 0; ty < h; ty += std::min(th, h - ty)) {
            for (std::uint32_t tx = 0; tx < w; tx += std::min(tw, w - tx)) {
                const std::uint32_t tile = TIFFComputeTile(tif, tx, ty, 0, plane);
                const tmsize_t n =
                    TIFFReadEncodedTile(tif, tile, buf.data(), static_cast<tmsize_t>(tileBytes));
                if (n < 0 || static_cast<std::uint64_t>(n) < tileBytes || src.failed)
                    return failWith(src, DecodeReason::Damaged, "TIFF tile unreadable", err);
                const std::uint32_t rows = std::min(th, h - ty), cols = std::min(tw, w - tx);
                for (std::uint32_t r = 0; r < rows; ++r)
                    fn(ty + r, tx, cols, &buf[r * rowBytes]);
            }
        }
        return true;
    }
    const std::uint32_t rps = l.rps;
    const std::uint64_t rowBytes = l.rowBytes;
    for (std::uint32_t y0 = 0; y0 < h; y0 += std::min(rps, h - y0)) {
        const std::uint32_t rows = std::min(rps, h - y0);
        const std::uint64_t want = rowBytes * rows;
        const tmsize_t n = TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, y0, plane), buf.data(),
                                                static_cast<tmsize_t>(want));
        if (n < 0 || static_cast<std::uint64_t>(n) < want || src.failed)
            return failWith(src, DecodeReason::Damaged, "TIFF strip unreadable", err);
        for (std::uint32_t r = 0; r < rows; ++r)
            fn(y0 + r, 0, w, &buf[r * rowBytes]);
    }
    return true;
}

struct Page {
    std::uint32_t w = 0, h = 0;
    std::uint16_t spp = 1, photometric = PHOTOMETRIC_MINISBLACK, planar = PLANARCONFIG_CONTIG;
    SampleKind kind;
    // Samples per pixel in one decoded plane.
    std::uint16_t stride() const { return planar == PLANARCONFIG_CONTIG ? spp : 1; }
};

// 1, 2 and 4-bit pages keep their levels as palette indices; deeper ones become a ramp.
bool grayIndexed(const Page& p) {
    const bool integer = p.kind.format != SAMPLEFORMAT_IEEEFP && p.kind.format != SAMPLEFORMAT_INT;
    return integer && (p.kind.bits == 1 || p.kind.bits == 2 || p.kind.bits == 4);
}

std::uint16_t grayDepth(const Page& p) {
    if (!grayIndexed(p)) return 8;
    return p.kind.bits == 1 ? 1 : p.kind.bits == 4 ? 4 : 8;
}

// The colour map of a palette page, checked usable.
bool colorMap(TIFF* tif, const Page& p, std::uint16_t*& r, std::uint16_t*& g, std::uint16_t*& b,
              DecodeError& err) {
    const unsigned bits = p.kind.bits;
    if ((bits != 1 && bits != 2 && bits != 4 && bits != 8) ||
        p.kind.format == SAMPLEFORMAT_IEEEFP) {
        return detail::unsupported(err, "unsupported TIFF palette depth");
    }
    if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) || !r || !g || !b) {
        return detail::damaged(err, "TIFF colour map missing");
    }
    return true;
}

bool decodeGray(TIFF* tif, const Source& src, const Page& p, Image& out, DecodeError& err) {
    const bool whiteIsZero = p.photometric == PHOTOMETRIC_MINISWHITE;
    const unsigned bits = p.kind.bits;
    const bool indexed = grayIndexed(p);
    const std::uint16_t depth = grayDepth(p);
    if (!detail::create(out, p.w, p.h, depth, err)) return false;
    if (indexed) {
        const unsigned levels = 1u << bits;
        std::vector<Rgb> pal(levels);
        for (unsigned i = 0; i < levels; ++i) {
            auto v = static_cast<std::uint8_t>(i * 255 / (levels - 1));
            if (whiteIsZero) v = static_cast<std::uint8_t>(255 - v);
            pal[i] = Rgb{v, v, v};
        }
        out.SetPalette(pal);
    } else {
        out.SetGrayPalette();
    }
    const std::uint64_t stride = p.stride();
    auto put = [&](std::uint32_t y, std::uint32_t x0, std::uint32_t n, const std::uint8_t* d) {
        std::uint8_t* dst = out.Row(y) + x0;
        if (indexed && bits == 1 && stride == 1) {
            // Bilevel scans, the common case by far: eight pixels from each byte.
            for (std::uint32_t i = 0; i < n; ++i)
                dst[i] = static_cast<std::uint8_t>((d[i >> 3] >> (7 - (i & 7))) & 1u);
            return;
        }
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint64_t raw = rawSample(d, i * stride, bits);
            if (indexed) {
                dst[i] = static_cast<std::uint8_t>(raw);
            } else {
                const std::uint8_t v = level8(raw, p.kind);
                dst[i] = whiteIsZero ? static_cast<std::uint8_t>(255 - v) : v;
            }
        }
    };
    return forEachRow(tif, src, p.w, p.h, 0, stride * bits, put, err);
}

bool decodePalette(TIFF* tif, const Source& src, const Page& p, Image& out, DecodeError& err) {
    const unsigned bits = p.kind.bits;
    std::uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    if (!colorMap(tif, p, r, g, b, err)) return false;
    const unsigned n = 1u << bits;
    // Many writers store 8-bit values in the 16-bit map; libtiff's own reader accepts that too.
    bool eightBit = true;
    for (unsigned i = 0; i < n; ++i)
        if (r[i] > 255 || g[i] > 255 || b[i] > 255) eightBit = false;
    auto to8 = [&](std::uint16_t v) { return static_cast<std::uint8_t>(eightBit ? v : v >> 8); };
    std::vector<Rgb> pal(n);
    for (unsigned i = 0; i < n; ++i)
        pal[i] = Rgb{to8(r[i]), to8(g[i]), to8(b[i])};
    if (!detail::create(out, p.w, p.h, bits == 4 ? 4 : 8, err)) return false;
    out.SetPalette(pal);
    const std::uint64_t stride = p.stride();
    auto put = [&](std::uint32_t y, std::uint32_t x0, std::uint32_t cnt, const std::uint8_t* d) {
        std::uint8_t* dst = out.Row(y) + x0;
        for (std::uint32_t i = 0; i < cnt; ++i)
            dst[i] = static_cast<std::uint8_t>(rawSample(d, i * stride, bits));
    };
    return forEachRow(tif, src, p.w, p.h, 0, stride * bits, put, err);
}

bool decodeRgb(TIFF* tif, const Source& src, const Page& p, Image& out, DecodeError& err) {
    if (!detail::create(out, p.w, p.h, 24, err)) return false;
    const unsigned bits = p.kind.bits;
    const std::uint64_t stride = p.stride();
    if (p.planar == PLANARCONFIG_CONTIG) {
        auto put = [&](std::uint32_t y, std::uint32_t x0, std::uint32_t n, const std::uint8_t* d) {
            std::uint8_t* dst = out.Row(y) + std::size_t{x0} * 3;
            for (std::uint32_t i = 0; i < n; ++i)
                for (unsigned c = 0; c < 3; ++c)
                    dst[i * 3 + c] = level8(rawSample(d, i * stride + c, bits), p.kind);
        };
        return forEachRow(tif, src, p.w, p.h, 0, stride * bits, put, err);
    }
    for (std::uint16_t c = 0; c < 3; ++c) {
        auto put = [&](std::uint32_t y, std::uint32_t x0, std::uint32_t n, const std::uint8_t* d) {
            std::uint8_t* dst = out.Row(y) + std::size_t{x0} * 3 + c;
            for (std::uint32_t i = 0; i < n; ++i)
                dst[i * 3] = level8(rawSample(d, i, bits), p.kind);
        };
        if (!forEachRow(tif, src, p.w, p.h, c, bits, put, err)) return false;
    }
    return true;
}

struct RgbaReader {
    TIFFRGBAImage img{};
    bool begun = false;
    RgbaReader() = default;
    RgbaReader(const RgbaReader&) = delete;
    RgbaReader& operator=(const RgbaReader&) = delete;
    ~RgbaReader() {
        if (begun) TIFFRGBAImageEnd(&img);
    }
};

// Colour models libtiff converts for us (subsampled YCbCr, CMYK, Lab, LogLuv, ...).
bool decodeViaRgba(TIFF* tif, const Source& src, const Page& p, Image& out, DecodeError& err) {
    char why[1024] = {};
    if (!TIFFRGBAImageOK(tif, why))
        return detail::unsupported(err, std::string("unsupported TIFF: ") + why);
    if (!detail::create(out, p.w, p.h, 24, err)) return false;
    std::vector<std::uint32_t> raster(std::size_t{p.w} * p.h);
    RgbaReader reader;
    if (!TIFFRGBAImageBegin(&reader.img, tif, 1, why))
        return failWith(src, DecodeReason::Damaged, "TIFF image unreadable", err);
    reader.begun = true;
    // Rows as stored, like our own unpacking: the orientation is applied afterwards, the
    // quarter-turned ones included, which libtiff's reader would only flip.
    reader.img.req_orientation = reader.img.orientation;
    if (!TIFFRGBAImageGet(&reader.img, raster.data(), p.w, p.h) || src.failed)
        return failWith(src, DecodeReason::Damaged, "TIFF image unreadable", err);
    std::uint8_t* dst = out.Pixels().data();
    for (const std::uint32_t px : raster) {
        *dst++ = static_cast<std::uint8_t>(TIFFGetR(px));
        *dst++ = static_cast<std::uint8_t>(TIFFGetG(px));
        *dst++ = static_cast<std::uint8_t>(TIFFGetB(px));
    }
    return true;
}

std::uint32_t toDpi(float value, std::uint16_t unit) {
    double v = value;
    if (unit == RESUNIT_CENTIMETER) v *= 2.54;
    if (!(v >= 0.5) || !std::isfinite(v)) return 0;
    return static_cast<std::uint32_t>(std::min(v + 0.5, 65535.0));
}

void readResolution(TIFF* tif, Image& out) {
    float xr = 0, yr = 0;
    std::uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (unit != RESUNIT_INCH && unit != RESUNIT_CENTIMETER) return;
    const bool hasX = TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xr) != 0;
    const bool hasY = TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yr) != 0;
    if (!hasX && !hasY) return;
    const std::uint32_t x = toDpi(hasX ? xr : yr, unit), y = toDpi(hasY ? yr : xr, unit);
    out.SetDpi(x, y);
}

// Every strip or tile must lie inside the file: a cut-off file fails instead of decoding
// partly.
bool checkStrileExtents(TIFF* tif, const Source& src, DecodeError& err) {
    const std::uint32_t n = TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    const std::uint64_t size = src.data.size();
    for (std::uint32_t i = 0; i < n; ++i) {
        int bad = 0;
        const std::uint64_t off = TIFFGetStrileOffsetWithErr(tif, i, &bad);
        const std::uint64_t count = bad ? 0 : TIFFGetStrileByteCountWithErr(tif, i, &bad);
        if (bad || count > size || off > size - count) {
            return detail::truncated(err, "TIFF image data past the end");
        }
    }
    return true;
}

// The first page opened and its tags read and checked, strips and tiles inside the file: what
// probe and decode share. Stays where it is built: libtiff holds a pointer to the source.
struct Opened {
    Source src;
    TiffPtr tif;
    Page p;
    std::uint16_t orientation = ORIENTATION_TOPLEFT;
    bool own = false; // samples we unpack ourselves
};

bool openPage(Bytes data, Opened& o, DecodeError& err) {
    Source& src = o.src;
    Page& p = o.p;
    if (!checkFirstDirectory(data, err)) return false;
    silenceGlobalHandlers();
    src.data = data;
    o.tif = openTiff(src);
    TiffPtr& tif = o.tif;
    if (!tif || src.failed) return failWith(src, DecodeReason::Damaged, "cannot open TIFF", err);

    if (!TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &p.w) ||
        !TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &p.h)) {
        return detail::damaged(err, "TIFF size missing");
    }
    if (p.w == 0 || p.h == 0) {
        return detail::damaged(err, "empty image");
    }
    if (p.w > kMaxImageSide || p.h > kMaxImageSide || std::uint64_t{p.w} * p.h > kMaxImagePixels) {
        return detail::overLimits(err, "image too large");
    }
    std::uint16_t bits = 1, compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &p.spp);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_PLANARCONFIG, &p.planar);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLEFORMAT, &p.kind.format);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_ORIENTATION, &o.orientation);
    if (!TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &p.photometric))
        p.photometric = p.spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    p.kind.bits = bits;
    if (p.spp == 0 || bits == 0) {
        return detail::damaged(err, "TIFF sample layout invalid");
    }
    if (!TIFFIsCODECConfigured(compression)) {
        return detail::unsupported(err, "unsupported TIFF compression");
    }
    if (!checkStrileExtents(tif.get(), src, err)) return false;
    o.own = readableSamples(p.kind);
    return true;
}

} // namespace

bool sniff(Bytes data) {
    return data.size() >= 4 &&
           ((data[0] == 'I' && data[1] == 'I' && data[2] == 42 && data[3] == 0) ||
            (data[0] == 'I' && data[1] == 'I' && data[2] == 43 && data[3] == 0) ||
            (data[0] == 'M' && data[1] == 'M' && data[2] == 0 && data[3] == 42) ||
            (data[0] == 'M' && data[1] == 'M' && data[2] == 0 && data[3] == 43));
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    Opened o;
    if (!openPage(data, o, err)) return false;
    TIFF* tif = o.tif.get();
    const Page& p = o.p;
    const unsigned bits = p.kind.bits;
    RowLayout rows;
    std::uint16_t bpp = 24;
    switch (p.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
        if (!o.own) return detail::unsupported(err, "unsupported TIFF sample format");
        bpp = grayDepth(p);
        if (!readRowLayout(tif, o.src, p.w, p.h, std::uint64_t{p.stride()} * bits, rows, err))
            return false;
        break;
    case PHOTOMETRIC_PALETTE: {
        std::uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (!colorMap(tif, p, r, g, b, err)) return false;
        bpp = bits == 4 ? 4 : 8;
        if (!readRowLayout(tif, o.src, p.w, p.h, std::uint64_t{p.stride()} * bits, rows, err))
            return false;
        break;
    }
    case PHOTOMETRIC_RGB:
        if (o.own && p.spp >= 3) {
            const std::uint64_t planeBits =
                p.planar == PLANARCONFIG_CONTIG ? std::uint64_t{p.stride()} * bits : bits;
            if (!readRowLayout(tif, o.src, p.w, p.h, planeBits, rows, err)) return false;
            break;
        }
        [[fallthrough]];
    default: {
        char why[1024] = {};
        if (!TIFFRGBAImageOK(tif, why))
            return detail::unsupported(err, std::string("unsupported TIFF: ") + why);
        break;
    }
    }
    if (o.src.failed) return failWith(o.src, DecodeReason::Damaged, "TIFF read error", err);
    const bool turned =
        o.orientation >= ORIENTATION_LEFTTOP && o.orientation <= ORIENTATION_LEFTBOT;
    return detail::facts(facts, turned ? p.h : p.w, turned ? p.w : p.h, bpp, err);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    Opened o;
    if (!openPage(data, o, err)) return false;
    const Page& p = o.p;
    bool ok = false;
    switch (p.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
        if (!o.own) {
            return detail::unsupported(err, "unsupported TIFF sample format");
        }
        ok = decodeGray(o.tif.get(), o.src, p, out, err);
        break;
    case PHOTOMETRIC_PALETTE:
        ok = decodePalette(o.tif.get(), o.src, p, out, err);
        break;
    case PHOTOMETRIC_RGB:
        if (o.own && p.spp >= 3) {
            ok = decodeRgb(o.tif.get(), o.src, p, out, err);
            break;
        }
        [[fallthrough]];
    default:
        ok = decodeViaRgba(o.tif.get(), o.src, p, out, err);
        break;
    }
    if (!ok) return false;
    if (o.src.failed) return failWith(o.src, DecodeReason::Damaged, "TIFF read error", err);
    readResolution(o.tif.get(), out);
    if (!out.Orient(static_cast<std::uint8_t>(std::min<std::uint16_t>(o.orientation, 255))))
        return detail::fail(err, DecodeReason::OutOfMemory, "out of memory");
    return true;
}

} // namespace folio::codecs::tiff
