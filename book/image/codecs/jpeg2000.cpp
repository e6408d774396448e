// JPEG 2000 over OpenJPEG: JP2 files and raw code streams, told apart by their first bytes.
// This decoder is also tried on every file nobody else recognised, so anything without one of
// the two signatures is turned away before OpenJPEG is touched.
#include "book/image/ByteReader.h"
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <openjpeg.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace folio::codecs::jpeg2000 {
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

// The box at r's position inside `data`, r moved past it; false when its header or its
// length does not fit inside data (a length of 0 runs to the end of data).
struct Box {
    std::uint32_t type = 0;
    std::size_t payload = 0, end = 0;
};
bool nextBox(ByteReader& r, Bytes data, Box& box) {
    const std::uint64_t start = r.pos();
    std::uint64_t length = r.u32be();
    box.type = r.u32be();
    std::uint64_t header = 8;
    if (length == 1) {
        const std::uint64_t hi = r.u32be(), lo = r.u32be();
        length = (hi << 32) | lo;
        header = 16;
    } else if (length == 0) {
        length = data.size() - start;
    }
    if (!r.ok() || length < header || length > data.size() - start) return false;
    box.payload = static_cast<std::size_t>(start + header);
    box.end = static_cast<std::size_t>(start + length);
    r.seek(box.end);
    return true;
}

// Top-level boxes of a JP2 must lie inside the file and include a code stream; OpenJPEG alone
// would decode a file cut inside its code stream box as far as the data goes.
bool checkJp2Boxes(Bytes data, DecodeError& err) {
    ByteReader r(data);
    bool codestream = false;
    while (r.remaining() > 0) {
        Box box;
        if (!nextBox(r, data, box)) return detail::truncated(err, "JPEG 2000 box truncated");
        if (box.type == 0x6A703263) { // 'jp2c'
            if (!startsWith(data.subspan(box.payload), kCodestreamStart)) {
                return detail::damaged(err, "JPEG 2000 code stream missing");
            }
            codestream = true;
        }
    }
    if (!codestream) {
        return detail::truncated(err, "JPEG 2000 code stream missing");
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
bool checkHeader(const opj_image_t& img, DecodeError& err) {
    if (img.numcomps == 0 || !img.comps || img.x1 <= img.x0 || img.y1 <= img.y0)
        return detail::damaged(err, "JPEG 2000 header invalid");
    if (!withinLimits(img.x1 - img.x0, img.y1 - img.y0))
        return detail::overLimits(err, "image too large");
    std::uint64_t total = 0;
    for (OPJ_UINT32 c = 0; c < img.numcomps; ++c) {
        const opj_image_comp_t& comp = img.comps[c];
        if (comp.dx == 0 || comp.dy == 0 || comp.prec == 0 || comp.prec > 31)
            return detail::damaged(err, "JPEG 2000 component invalid");
        const std::uint64_t w = ceilDiv(img.x1, comp.dx) - ceilDiv(img.x0, comp.dx);
        const std::uint64_t h = ceilDiv(img.y1, comp.dy) - ceilDiv(img.y0, comp.dy);
        if (!withinLimits(w, h)) return detail::overLimits(err, "image too large");
        total += w * h;
    }
    if (total > kMaxTotalSamples)
        return detail::overLimits(err, "image too large for the memory budget");
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

// A gray component deeper than 8 bits is kept as true colour.
std::uint16_t grayDepth(unsigned prec) {
    return prec == 1 ? 1 : prec <= 8 ? 8 : 24;
}

bool toImage(const opj_image_t& img, Image& out, DecodeError& err) {
    for (OPJ_UINT32 c = 0; c < img.numcomps; ++c) {
        const opj_image_comp_t& comp = img.comps[c];
        if (!comp.data || comp.w == 0 || comp.h == 0 || comp.dx == 0 || comp.dy == 0 ||
            comp.prec == 0 || comp.prec > 31)
            return detail::damaged(err, "JPEG 2000 component not decoded");
    }
    const opj_image_comp_t& base = img.comps[0];
    const std::uint32_t w = base.w, h = base.h;
    if (img.numcomps < 3) {
        // Gray, possibly followed by alpha, which is dropped.
        const Plane gray = makePlane(base, base);
        const bool bilevel = base.prec == 1;
        const std::uint16_t bpp = grayDepth(base.prec);
        if (!detail::create(out, w, h, bpp, err)) return false;
        out.SetGrayPalette();
        for (std::uint32_t y = 0; y < h; ++y) {
            std::uint8_t* row = out.Row(y);
            for (std::uint32_t x = 0; x < w; ++x) {
                const std::int64_t v = gray.at(x, y);
                const std::uint8_t level =
                    bilevel ? static_cast<std::uint8_t>(v) : scaleTo8(v, gray.max);
                if (bpp == 24)
                    row[x * 3] = row[x * 3 + 1] = row[x * 3 + 2] = level;
                else
                    row[x] = level;
            }
        }
        return true;
    }
    if (!detail::create(out, w, h, 24, err)) return false;
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

// The decoder set up over the caller's bytes and the main header read and checked: what
// probe and decode share. Stays where it is built: OpenJPEG holds pointers into it.
struct Opened {
    Bytes data;
    MemStream mem;
    Messages messages;
    std::unique_ptr<opj_codec_t, CodecFree> codec;
    std::unique_ptr<opj_stream_t, StreamFree> stream;
    std::unique_ptr<opj_image_t, ImageFree> image;
    bool jp2 = false;

    bool fail(DecodeReason reason, const char* fallback, DecodeError& err) const {
        if (messages.failed && messages.first[0] != '\0')
            return detail::fail(err, reason, std::string("JPEG 2000: ") + messages.first.data());
        return detail::fail(err, reason, fallback);
    }
};

bool open(Bytes data, Opened& o, DecodeError& err) {
    OPJ_CODEC_FORMAT format;
    if (startsWith(data, kJp2Signature)) {
        if (!checkJp2Boxes(data, err)) return false;
        format = OPJ_CODEC_JP2;
        o.jp2 = true;
    } else if (startsWith(data, kCodestreamStart)) {
        format = OPJ_CODEC_J2K;
    } else {
        return detail::notThisFormat(err, "not a JPEG 2000 file");
    }
    o.data = data;
    o.codec.reset(opj_create_decompress(format));
    if (!o.codec)
        return detail::fail(err, DecodeReason::OutOfMemory, "cannot create JPEG 2000 decoder");
    opj_set_info_handler(o.codec.get(), onQuiet, nullptr);
    opj_set_warning_handler(o.codec.get(), onQuiet, nullptr);
    opj_set_error_handler(o.codec.get(), onError, &o.messages);

    opj_dparameters_t params;
    opj_set_default_decoder_parameters(&params);
    if (!opj_setup_decoder(o.codec.get(), &params) ||
        // A cut-off code stream is an error, not a blurry picture.
        !opj_decoder_set_strict_mode(o.codec.get(), OPJ_TRUE) ||
        !opj_codec_set_threads(o.codec.get(), 1))
        return o.fail(DecodeReason::Damaged, "cannot set up JPEG 2000 decoder", err);

    o.mem = MemStream{data, 0};
    o.stream.reset(opj_stream_create(64 * 1024, OPJ_TRUE));
    if (!o.stream) return o.fail(DecodeReason::OutOfMemory, "cannot create JPEG 2000 stream", err);
    opj_stream_set_user_data(o.stream.get(), &o.mem, nullptr);
    opj_stream_set_user_data_length(o.stream.get(), data.size());
    opj_stream_set_read_function(o.stream.get(), readFn);
    opj_stream_set_skip_function(o.stream.get(), skipFn);
    opj_stream_set_seek_function(o.stream.get(), seekFn);

    opj_image_t* raw = nullptr;
    const bool header = opj_read_header(o.stream.get(), o.codec.get(), &raw);
    o.image.reset(raw);
    if (!header || !o.image || o.messages.failed)
        return o.fail(DecodeReason::Damaged, "JPEG 2000 header unreadable", err);
    return checkHeader(*o.image, err);
}

// A box's payload found among the boxes of `within`; empty when there is none.
Bytes findBox(Bytes within, std::uint32_t wanted) {
    ByteReader r(within);
    while (r.remaining() >= 8) {
        Box box;
        if (!nextBox(r, within, box)) return {};
        if (box.type == wanted) return within.subspan(box.payload, box.end - box.payload);
    }
    return {};
}

// The component the picture's size and gray depth come from once the decoder has applied a
// JP2 palette (pclr with cmap: one new component per palette column, each as deep as its
// column) and the channel definitions (cdef: colour channels moved to their place).
struct Base {
    std::uint32_t numcomps = 0;
    std::uint32_t source = 0; // index into the code stream's components
    unsigned prec = 0;
};

Base jp2Base(Bytes data, const opj_image_t& img) {
    Base b{img.numcomps, 0, img.comps[0].prec};
    const Bytes header = findBox(data, 0x6A703268); // 'jp2h'
    const Bytes pclr = findBox(header, 0x70636C72); // 'pclr'
    const Bytes cmap = findBox(header, 0x636D6170); // 'cmap'
    const Bytes cdef = findBox(header, 0x63646566); // 'cdef'
    // Component i of the result: where it comes from and how deep it is.
    std::vector<std::uint32_t> from(img.numcomps);
    std::vector<unsigned> prec(img.numcomps);
    for (std::uint32_t i = 0; i < img.numcomps; ++i)
        from[i] = i, prec[i] = img.comps[i].prec;
    if (pclr.size() >= 3 && !cmap.empty()) {
        ByteReader r(pclr);
        r.skip(2); // entries
        const unsigned columns = r.u8();
        std::vector<unsigned> depth(columns);
        for (unsigned& d : depth)
            d = (r.u8() & 0x7Fu) + 1;
        ByteReader m(cmap);
        if (columns > 0 && r.ok() && cmap.size() >= std::size_t{columns} * 4) {
            from.assign(columns, 0);
            prec = depth;
            for (unsigned i = 0; i < columns; ++i) {
                from[i] = m.u16be();
                m.skip(2); // mapping type, palette column
            }
        }
    }
    if (cdef.size() >= 2) {
        ByteReader r(cdef);
        const unsigned n = r.u16be();
        std::vector<std::array<std::uint16_t, 3>> info;
        for (unsigned i = 0; i < n && r.remaining() >= 6; ++i)
            info.push_back({r.u16be(), r.u16be(), r.u16be()}); // channel, type, association
        for (std::size_t i = 0; i < info.size(); ++i) {
            const std::uint16_t cn = info[i][0], typ = info[i][1], asoc = info[i][2];
            if (cn >= from.size() || asoc == 0 || asoc == 65535) continue;
            const std::uint16_t acn = static_cast<std::uint16_t>(asoc - 1);
            if (acn >= from.size() || cn == acn || typ != 0) continue;
            std::swap(from[cn], from[acn]);
            std::swap(prec[cn], prec[acn]);
            for (std::size_t j = i + 1; j < info.size(); ++j) {
                if (info[j][0] == cn)
                    info[j][0] = acn;
                else if (info[j][0] == acn)
                    info[j][0] = cn;
            }
        }
    }
    b.numcomps = static_cast<std::uint32_t>(from.size());
    b.source = from.empty() ? 0 : from[0];
    b.prec = prec.empty() ? 0 : prec[0];
    return b;
}

// Main-header markers that carry a length, which a walk to the first tile-part can follow.
bool knownSegment(std::uint16_t marker) {
    switch (marker) {
    case 0xFF50: // CAP
    case 0xFF51: // SIZ
    case 0xFF52: // COD
    case 0xFF53: // COC
    case 0xFF55: // TLM
    case 0xFF57: // PLM
    case 0xFF59: // CPF
    case 0xFF5C: // QCD
    case 0xFF5D: // QCC
    case 0xFF5E: // RGN
    case 0xFF5F: // POC
    case 0xFF60: // PPM
    case 0xFF63: // CRG
    case 0xFF64: // COM
        return true;
    default:
        return false;
    }
}

// The first tile-part must lie inside the file: the strict decoder refuses it otherwise.
// Only a main header made of known segments is followed; anything else is left to the
// decoder, which resynchronises on unknown markers in its own way.
bool firstTilePartInside(Bytes data, bool jp2) {
    std::size_t start = 0;
    if (jp2) {
        const Bytes cs = findBox(data, 0x6A703263); // 'jp2c'
        if (cs.empty()) return true;
        start = static_cast<std::size_t>(cs.data() - data.data());
    }
    ByteReader r(data);
    r.seek(start + 2); // SOC
    while (r.ok()) {
        const std::size_t at = r.pos();
        const std::uint16_t marker = r.u16be();
        if (!r.ok()) return true;
        if (marker == 0xFF90) { // SOT
            r.skip(4);          // length, tile index
            const std::uint64_t psot = r.u32be();
            return !r.ok() || psot == 0 || psot <= data.size() - at;
        }
        if (!knownSegment(marker)) return true;
        const std::uint16_t length = r.u16be();
        if (length < 2 || !r.skip(length - 2u)) return true;
    }
    return true;
}

} // namespace

bool sniff(Bytes data) {
    return startsWith(data, kJp2Signature) || startsWith(data, kCodestreamStart);
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    Opened o;
    if (!open(data, o, err)) return false;
    const opj_image_t& img = *o.image;
    if (!firstTilePartInside(data, o.jp2))
        return detail::truncated(err, "JPEG 2000 tile data past the end");
    const Base b = o.jp2 ? jp2Base(data, img) : Base{img.numcomps, 0, img.comps[0].prec};
    if (b.numcomps == 0 || b.source >= img.numcomps || b.prec == 0 || b.prec > 31)
        return detail::damaged(err, "JPEG 2000 component invalid");
    const opj_image_comp_t& c = img.comps[b.source];
    const std::uint64_t w = ceilDiv(img.x1, c.dx) - ceilDiv(img.x0, c.dx);
    const std::uint64_t h = ceilDiv(img.y1, c.dy) - ceilDiv(img.y0, c.dy);
    return detail::facts(facts, w, h, b.numcomps < 3 ? grayDepth(b.prec) : 24, err);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    Opened o;
    if (!open(data, o, err)) return false;
    if (!opj_decode(o.codec.get(), o.stream.get(), o.image.get()) ||
        !opj_end_decompress(o.codec.get(), o.stream.get()) || o.messages.failed)
        return o.fail(DecodeReason::Damaged, "JPEG 2000 data unreadable", err);
    return toImage(*o.image, out, err);
}

} // namespace folio::codecs::jpeg2000
