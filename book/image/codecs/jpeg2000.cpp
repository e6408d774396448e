// JPEG 2000 over OpenJPEG: JP2 files and raw code streams, told apart by their first bytes.
// This decoder is also tried on every file nobody else recognised, so anything without one of
// the two signatures is turned away before OpenJPEG is touched.
#include "book/image/ByteReader.h"
#include "book/image/codecs/Codecs.h"

#include <openjpeg.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace folio::codecs {
namespace {

constexpr std::array<std::uint8_t, 12> kJp2Signature = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50,
                                                        0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A};
constexpr std::array<std::uint8_t, 4> kCodestreamStart = {0xFF, 0x4F, 0xFF, 0x51};

// OpenJPEG keeps every decoded component in 32-bit samples (plus its code-block buffers):
// twice the per-image budget for those, so an RGB picture of about 90 MP still opens.
constexpr std::uint64_t kMaxTotalSamples = 2 * kMaxImageBytes / sizeof(OPJ_INT32);

bool startsWith(Bytes data, std::span<const std::uint8_t> prefix) {
    return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin());
}

// Read position over the caller's span; OpenJPEG pulls from it through the callbacks below.
struct MemStream {
    Bytes data;
    std::uint64_t pos = 0;
};

OPJ_SIZE_T readFn(void* buf, OPJ_SIZE_T n, void* user) {
    auto* s = static_cast<MemStream*>(user);
    const std::uint64_t size = s->data.size();
    if (s->pos >= size) return static_cast<OPJ_SIZE_T>(-1);
    const std::uint64_t count = std::min<std::uint64_t>(n, size - s->pos);
    std::memcpy(buf, s->data.data() + s->pos, static_cast<std::size_t>(count));
    s->pos += count;
    return static_cast<OPJ_SIZE_T>(count);
}

OPJ_OFF_T skipFn(OPJ_OFF_T n, void* user) {
    auto* s = static_cast<MemStream*>(user);
    const std::uint64_t size = s->data.size();
    if (n < 0) {
        const auto back = static_cast<std::uint64_t>(-(n + 1)) + 1;
        if (back > s->pos) return -1;
        s->pos -= back;
        return n;
    }
    const std::uint64_t step =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(n), size - s->pos);
    if (step == 0 && n > 0) return -1;
    s->pos += step;
    return static_cast<OPJ_OFF_T>(step);
}

OPJ_BOOL seekFn(OPJ_OFF_T to, void* user) {
    auto* s = static_cast<MemStream*>(user);
    if (to < 0 || static_cast<std::uint64_t>(to) > s->data.size()) return OPJ_FALSE;
    s->pos = static_cast<std::uint64_t>(to);
    return OPJ_TRUE;
}

// Errors mark the decode failed; nothing is ever printed.
struct Messages {
    bool failed = false;
    std::array<char, 128> first{};
};

void onError(const char* msg, void* user) {
    auto* m = static_cast<Messages*>(user);
    if (!m->failed && msg) {
        std::strncpy(m->first.data(), msg, m->first.size() - 1);
        // OpenJPEG's messages end in a newline.
        if (char* nl = std::strchr(m->first.data(), '\n')) *nl = '\0';
    }
    m->failed = true;
}

void onQuiet(const char*, void*) {}

struct CodecFree {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamFree {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageFree {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};

// Top-level boxes of a JP2 must lie inside the file and include a code stream; OpenJPEG alone
// would decode a file cut inside its code stream box as far as the data goes.
bool checkJp2Boxes(Bytes data, std::string& err) {
    ByteReader r(data);
    bool codestream = false;
    while (r.remaining() > 0) {
        const std::uint64_t start = r.pos();
        std::uint64_t length = r.u32be();
        const std::uint32_t type = r.u32be();
        std::uint64_t header = 8;
        if (length == 1) {
            const std::uint64_t hi = r.u32be(), lo = r.u32be();
            length = (hi << 32) | lo;
            header = 16;
        } else if (length == 0) {
            length = data.size() - start; // runs to the end of the file
        }
        if (!r.ok() || length < header || length > data.size() - start) {
            err = "JPEG 2000 box truncated";
            return false;
        }
        if (type == 0x6A703263) { // 'jp2c'
            if (!startsWith(data.subspan(start + header), kCodestreamStart)) {
                err = "JPEG 2000 code stream missing";
                return false;
            }
            codestream = true;
        }
        r.seek(static_cast<std::size_t>(start + length));
    }
    if (!codestream) {
        err = "JPEG 2000 code stream missing";
        return false;
    }
    return true;
}

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) {
    return (a + b - 1) / b;
}

bool withinLimits(std::uint64_t w, std::uint64_t h) {
    return w > 0 && h > 0 && w <= kMaxImageSide && h <= kMaxImageSide && w * h <= kMaxImagePixels;
}

// Size and sample range checks on the header alone, before OpenJPEG allocates the pixels.
bool checkHeader(const opj_image_t& img, std::string& err) {
    if (img.numcomps == 0 || !img.comps || img.x1 <= img.x0 || img.y1 <= img.y0) {
        err = "JPEG 2000 header invalid";
        return false;
    }
    if (!withinLimits(img.x1 - img.x0, img.y1 - img.y0)) {
        err = "image too large";
        return false;
    }
    std::uint64_t total = 0;
    for (OPJ_UINT32 c = 0; c < img.numcomps; ++c) {
        const opj_image_comp_t& comp = img.comps[c];
        if (comp.dx == 0 || comp.dy == 0 || comp.prec == 0 || comp.prec > 31) {
            err = "JPEG 2000 component invalid";
            return false;
        }
        const std::uint64_t w = ceilDiv(img.x1, comp.dx) - ceilDiv(img.x0, comp.dx);
        const std::uint64_t h = ceilDiv(img.y1, comp.dy) - ceilDiv(img.y0, comp.dy);
        if (!withinLimits(w, h)) {
            err = "image too large";
            return false;
        }
        total += w * h;
    }
    if (total > kMaxTotalSamples) {
        err = "image too large for the memory budget";
        return false;
    }
    return true;
}

// One component read as unsigned levels 0 .. max on the grid of the first component.
struct Plane {
    const opj_image_comp_t* comp = nullptr;
    std::int64_t offset = 0;
    std::int64_t max = 0;
    std::vector<std::uint32_t> colOf, rowOf; // output column/row -> this component's index

    std::int64_t at(std::uint32_t x, std::uint32_t y) const {
        const std::int64_t v = comp->data[std::size_t{rowOf[y]} * comp->w + colOf[x]] + offset;
        return std::clamp<std::int64_t>(v, 0, max);
    }
};

// Nearest sample of `comp` at each pixel of `base`, through the shared reference grid.
Plane makePlane(const opj_image_comp_t& base, const opj_image_comp_t& comp) {
    Plane p;
    p.comp = &comp;
    p.offset = comp.sgnd ? std::int64_t{1} << (comp.prec - 1) : 0;
    p.max = (std::int64_t{1} << comp.prec) - 1;
    auto map = [](std::uint32_t n, std::uint64_t baseOrigin, std::uint64_t baseStep,
                  std::uint64_t origin, std::uint64_t step, std::uint32_t count) {
        std::vector<std::uint32_t> idx(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint64_t ref = (baseOrigin + i) * baseStep;
            const std::uint64_t j = ref / step;
            idx[i] = static_cast<std::uint32_t>(
                j < origin ? 0 : std::min<std::uint64_t>(j - origin, count - 1));
        }
        return idx;
    };
    p.colOf = map(base.w, base.x0, base.dx, comp.x0, comp.dx, comp.w);
    p.rowOf = map(base.h, base.y0, base.dy, comp.y0, comp.dy, comp.h);
    return p;
}

std::uint8_t scaleTo8(std::int64_t v, std::int64_t max) {
    return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
}

bool toImage(const opj_image_t& img, Image& out, std::string& err) {
    for (OPJ_UINT32 c = 0; c < img.numcomps; ++c) {
        const opj_image_comp_t& comp = img.comps[c];
        if (!comp.data || comp.w == 0 || comp.h == 0 || comp.dx == 0 || comp.dy == 0 ||
            comp.prec == 0 || comp.prec > 31) {
            err = "JPEG 2000 component not decoded";
            return false;
        }
    }
    const opj_image_comp_t& base = img.comps[0];
    const std::uint32_t w = base.w, h = base.h;
    if (img.numcomps < 3) {
        // Gray, possibly followed by alpha, which is dropped.
        const Plane gray = makePlane(base, base);
        const bool bilevel = base.prec == 1;
        if (!out.Create(w, h, bilevel ? 1 : 8, &err)) return false;
        out.SetGrayPalette();
        for (std::uint32_t y = 0; y < h; ++y) {
            std::uint8_t* row = out.Row(y);
            for (std::uint32_t x = 0; x < w; ++x) {
                const std::int64_t v = gray.at(x, y);
                row[x] = bilevel ? static_cast<std::uint8_t>(v) : scaleTo8(v, gray.max);
            }
        }
        return true;
    }
    if (!out.Create(w, h, 24, &err)) return false;
    const Plane p0 = makePlane(base, img.comps[0]);
    const Plane p1 = makePlane(base, img.comps[1]);
    const Plane p2 = makePlane(base, img.comps[2]);
    const bool ycc = img.color_space == OPJ_CLRSPC_SYCC;
    for (std::uint32_t y = 0; y < h; ++y) {
        std::uint8_t* row = out.Row(y);
        for (std::uint32_t x = 0; x < w; ++x) {
            std::int64_t a = p0.at(x, y), b = p1.at(x, y), c = p2.at(x, y);
            if (ycc) {
                const double yy = static_cast<double>(a);
                const double cb = static_cast<double>(b - (p1.max + 1) / 2);
                const double cr = static_cast<double>(c - (p2.max + 1) / 2);
                auto clampLevel = [&](double v) {
                    return std::clamp<std::int64_t>(static_cast<std::int64_t>(v + 0.5), 0, p0.max);
                };
                a = clampLevel(yy + 1.402 * cr);
                b = clampLevel(yy - 0.344136 * cb - 0.714136 * cr);
                c = clampLevel(yy + 1.772 * cb);
                row[x * 3] = scaleTo8(a, p0.max);
                row[x * 3 + 1] = scaleTo8(b, p0.max);
                row[x * 3 + 2] = scaleTo8(c, p0.max);
            } else {
                row[x * 3] = scaleTo8(a, p0.max);
                row[x * 3 + 1] = scaleTo8(b, p1.max);
                row[x * 3 + 2] = scaleTo8(c, p2.max);
            }
        }
    }
    return true;
}

} // namespace

bool decodeJpeg2000(Bytes data, Image& out, std::string& err) {
    OPJ_CODEC_FORMAT format;
    if (startsWith(data, kJp2Signature)) {
        if (!checkJp2Boxes(data, err)) return false;
        format = OPJ_CODEC_JP2;
    } else if (startsWith(data, kCodestreamStart)) {
        format = OPJ_CODEC_J2K;
    } else {
        err = "not a JPEG 2000 file";
        return false;
    }

    Messages messages;
    std::unique_ptr<opj_codec_t, CodecFree> codec(opj_create_decompress(format));
    if (!codec) {
        err = "cannot create JPEG 2000 decoder";
        return false;
    }
    opj_set_info_handler(codec.get(), onQuiet, nullptr);
    opj_set_warning_handler(codec.get(), onQuiet, nullptr);
    opj_set_error_handler(codec.get(), onError, &messages);
    auto fail = [&](const char* fallback) {
        err = messages.failed && messages.first[0] != '\0'
                  ? std::string("JPEG 2000: ") + messages.first.data()
                  : std::string(fallback);
        return false;
    };

    opj_dparameters_t params;
    opj_set_default_decoder_parameters(&params);
    if (!opj_setup_decoder(codec.get(), &params) ||
        // A cut-off code stream is an error, not a blurry picture.
        !opj_decoder_set_strict_mode(codec.get(), OPJ_TRUE) ||
        !opj_codec_set_threads(codec.get(), 1))
        return fail("cannot set up JPEG 2000 decoder");

    MemStream mem{data, 0};
    std::unique_ptr<opj_stream_t, StreamFree> stream(opj_stream_create(64 * 1024, OPJ_TRUE));
    if (!stream) return fail("cannot create JPEG 2000 stream");
    opj_stream_set_user_data(stream.get(), &mem, nullptr);
    opj_stream_set_user_data_length(stream.get(), data.size());
    opj_stream_set_read_function(stream.get(), readFn);
    opj_stream_set_skip_function(stream.get(), skipFn);
    opj_stream_set_seek_function(stream.get(), seekFn);

    opj_image_t* raw = nullptr;
    const bool header = opj_read_header(stream.get(), codec.get(), &raw);
    std::unique_ptr<opj_image_t, ImageFree> image(raw);
    if (!header || !image || messages.failed) return fail("JPEG 2000 header unreadable");
    if (!checkHeader(*image, err)) return false;
    if (!opj_decode(codec.get(), stream.get(), image.get()) ||
        !opj_end_decompress(codec.get(), stream.get()) || messages.failed)
        return fail("JPEG 2000 data unreadable");
    return toImage(*image, out, err);
}

} // namespace folio::codecs
