// HEIF (HEVC) and AVIF (AV1) through libheif: the primary image, turned and mirrored as the
// file says (irot, imir), as 24-bit RGB, or 8-bit gray when the file is monochrome.
#include "book/image/ByteReader.h"
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <libheif/heif.h>

namespace folio::codecs::heif {

namespace {

struct ContextFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleRelease {
    void operator()(const heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageRelease {
    void operator()(const heif_image* i) const { heif_image_release(i); }
};
struct OptionsFree {
    void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};

// Calls f(name, payload) for each box that fills `boxes`, until f returns true; stops at a
// box that overruns its container.
template <class F> void forEachBox(Bytes boxes, F&& f) {
    ByteReader r(boxes);
    while (r.remaining() >= 8) {
        std::uint64_t size = r.u32be();
        const Bytes name = r.take(4);
        std::uint64_t header = 8;
        if (size == 1) {
            size = std::uint64_t{r.u32be()} << 32;
            size |= r.u32be();
            header = 16;
        } else if (size == 0) {
            size = header + r.remaining();
        }
        if (!r.ok() || size < header || size - header > r.remaining()) return;
        const Bytes payload = r.take(static_cast<std::size_t>(size - header));
        if (f(name, payload)) return;
    }
}

bool isBox(Bytes name, const char (&type)[5]) {
    return std::memcmp(name.data(), type, 4) == 0;
}

// The payload of the first box of `type` among `boxes`; empty when there is none.
Bytes childBox(Bytes boxes, const char (&type)[5]) {
    Bytes found;
    forEachBox(boxes, [&](Bytes name, Bytes payload) {
        if (!isBox(name, type)) return false;
        found = payload;
        return true;
    });
    return found;
}

std::uint64_t readUint(ByteReader& r, unsigned bytes) {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < bytes; ++i)
        v = (v << 8) | r.u8();
    return v;
}

// The canvas a derived primary image (a grid of tiles, an overlay) is decoded into. libheif
// allocates it at the size its own descriptor gives, whatever the image's ispe box says, so
// that size is checked against the limits too. False when the primary image is derived but
// its descriptor cannot be read.
struct Canvas {
    bool derived = false;
    std::uint64_t width = 0, height = 0;
};

// Calls f(boxes) with the child boxes of every top-level meta box. libheif reads the image
// from the last one, so whatever is checked before decoding is checked in all of them.
template <class F> void forEachMeta(Bytes data, F&& f) {
    forEachBox(data, [&](Bytes name, Bytes payload) {
        if (isBox(name, "meta") && payload.size() >= 4) f(payload.subspan(4));
        return false;
    });
}

// One meta box's primary image.
bool derivedCanvasOf(Bytes data, Bytes boxes, Canvas& canvas) {

    ByteReader pitm(childBox(boxes, "pitm"));
    const std::uint8_t pitmVersion = pitm.u8();
    pitm.skip(3);
    const std::uint32_t primary = pitmVersion == 0 ? pitm.u16be() : pitm.u32be();
    ByteReader iinf(childBox(boxes, "iinf"));
    const std::uint8_t iinfVersion = iinf.u8();
    iinf.skip(3 + (iinfVersion == 0 ? 2 : 4));
    if (!pitm.ok() || !iinf.ok()) return true;
    bool overlay = false;
    forEachBox(iinf.all().subspan(iinf.pos()), [&](Bytes name, Bytes payload) {
        ByteReader infe(payload);
        const std::uint8_t v = infe.u8();
        infe.skip(3);
        if (!isBox(name, "infe") || v < 2) return false;
        const std::uint32_t id = v == 2 ? infe.u16be() : infe.u32be();
        infe.skip(2);
        const Bytes type = infe.take(4);
        if (!infe.ok() || id != primary) return false;
        canvas.derived = isBox(type, "grid") || isBox(type, "iovl");
        overlay = isBox(type, "iovl");
        return true;
    });
    if (!canvas.derived) return true;

    // Where the descriptor is: the first extent of the item in iloc.
    ByteReader iloc(childBox(boxes, "iloc"));
    const std::uint8_t v = iloc.u8();
    iloc.skip(3);
    const std::uint8_t sizes = iloc.u8(), more = iloc.u8();
    const unsigned offsetSize = sizes >> 4, lengthSize = sizes & 15, baseSize = more >> 4;
    const unsigned indexSize = v == 1 || v == 2 ? more & 15 : 0;
    if (offsetSize > 8 || lengthSize > 8 || baseSize > 8 || indexSize > 8) return false;
    const std::uint32_t items = v < 2 ? iloc.u16be() : iloc.u32be();
    for (std::uint32_t i = 0; i < items && iloc.ok(); ++i) {
        const std::uint32_t id = v < 2 ? iloc.u16be() : iloc.u32be();
        const unsigned method = v == 1 || v == 2 ? iloc.u16be() & 15 : 0;
        iloc.skip(2);
        const std::uint64_t base = readUint(iloc, baseSize);
        const std::uint16_t extents = iloc.u16be();
        std::uint64_t offset = 0, length = 0;
        for (std::uint16_t e = 0; e < extents && iloc.ok(); ++e) {
            iloc.skip(indexSize);
            const std::uint64_t o = readUint(iloc, offsetSize), l = readUint(iloc, lengthSize);
            if (e == 0) offset = o, length = l;
        }
        if (!iloc.ok()) return false;
        if (id != primary) continue;
        const Bytes from = method == 0 ? data : method == 1 ? childBox(boxes, "idat") : Bytes{};
        if (base > from.size() || offset > from.size() - base) return false;
        ByteReader d(from.subspan(static_cast<std::size_t>(base + offset)));
        d.skip(1); // version
        const bool wide = (d.u8() & 1) != 0;
        d.skip(overlay ? 8 : 2); // the fill colour, or the rows and columns
        canvas.width = wide ? d.u32be() : d.u16be();
        canvas.height = wide ? d.u32be() : d.u16be();
        return d.ok() && (length == 0 || d.pos() <= length);
    }
    return false;
}

// The largest canvas of them all; false when any descriptor cannot be read.
bool derivedCanvas(Bytes data, Canvas& canvas) {
    bool readable = true;
    forEachMeta(data, [&](Bytes boxes) {
        Canvas one;
        readable = derivedCanvasOf(data, boxes, one) && readable;
        if (one.derived &&
            (!canvas.derived || one.width * one.height > canvas.width * canvas.height))
            canvas = one;
    });
    return readable;
}

// libde265 prints "SPS error: ..." on the terminal, then fails, for a sequence parameter set
// whose block sizes disagree with each other or with the picture's size, and nothing silences
// it. The same conditions are checked here first, so such a file fails quietly; whatever this
// cannot follow is left to the decoder, which then fails or decodes without a word.
class SpsBits {
  public:
    // The NAL unit's payload with its emulation prevention bytes taken out.
    explicit SpsBits(Bytes payload) {
        int zeros = 0;
        for (const std::uint8_t b : payload) {
            if (zeros >= 2 && b == 3) {
                zeros = 0;
                continue;
            }
            rbsp_.push_back(b);
            zeros = b == 0 ? zeros + 1 : 0;
        }
    }
    bool ok() const { return ok_; }
    std::uint32_t bits(unsigned n) {
        std::uint32_t v = 0;
        for (unsigned i = 0; i < n; ++i) {
            if (bit_ >= rbsp_.size() * 8) return ok_ = false, 0;
            v = (v << 1) | ((rbsp_[bit_ / 8] >> (7 - bit_ % 8)) & 1u);
            ++bit_;
        }
        return v;
    }
    void skip(unsigned n) { bits(n); }
    // Exp-Golomb, as long as the decoder reads it (it refuses more than 20 leading zeros).
    std::uint32_t ue() {
        unsigned zeros = 0;
        while (ok_ && bits(1) == 0)
            if (++zeros > 20) return ok_ = false, 0;
        return ok_ ? (1u << zeros) - 1 + bits(zeros) : 0;
    }

  private:
    std::vector<std::uint8_t> rbsp_;
    std::size_t bit_ = 0;
    bool ok_ = true;
};

// True only when the set is one the decoder would print about.
bool spsDecoderComplainsOf(Bytes payload) {
    SpsBits b(payload);
    b.skip(4);
    const unsigned subLayers = b.bits(3) + 1;
    if (subLayers > 7) return false;
    b.skip(1);
    // profile_tier_level: the general profile and level, then each sub-layer's if present.
    b.skip(88 + 8);
    std::uint32_t present[8] = {};
    for (unsigned i = 0; i + 1 < subLayers; ++i)
        present[i] = b.bits(2);
    if (subLayers > 1) b.skip(2 * (9 - subLayers));
    for (unsigned i = 0; i + 1 < subLayers; ++i)
        b.skip((present[i] & 2 ? 88 : 0) + (present[i] & 1 ? 8 : 0));
    b.ue(); // its id
    if (b.ue() == 3) b.skip(1);
    const std::uint32_t width = b.ue(), height = b.ue();
    if (b.bits(1))
        for (int i = 0; i < 4; ++i)
            b.ue();         // conformance window
    b.ue(), b.ue(), b.ue(); // bit depths, picture order count bits
    const bool everyLayer = b.bits(1);
    for (unsigned i = everyLayer ? 0 : subLayers - 1; i < subLayers; ++i)
        b.ue(), b.ue(), b.ue();
    const std::int64_t minCb = std::int64_t{b.ue()} + 3, ctb = minCb + b.ue();
    const std::int64_t minTb = std::int64_t{b.ue()} + 2, maxTb = minTb + b.ue();
    const std::int64_t depthInter = b.ue(), depthIntra = b.ue();
    // Past these the decoder refuses quietly.
    if (!b.ok() || minCb > 6 || ctb > 6 || minTb > 5 || maxTb > 5) return false;
    return depthInter > ctb - minTb || depthIntra > ctb - minTb || width % (1u << minCb) != 0 ||
           height % (1u << minCb) != 0 || minTb > minCb || maxTb > std::min<std::int64_t>(ctb, 5);
}

// Whether any sequence parameter set in an HEVC configuration box is one of those.
bool hevcConfigurationDamaged(Bytes hvcC) {
    ByteReader r(hvcC);
    r.skip(22);
    const unsigned arrays = r.u8();
    for (unsigned a = 0; a < arrays && r.ok(); ++a) {
        const unsigned type = r.u8() & 0x3f;
        const unsigned units = r.u16be();
        for (unsigned u = 0; u < units && r.ok(); ++u) {
            const Bytes unit = r.take(r.u16be());
            // The two header bytes name the unit's type again; 33 is a sequence parameter set.
            if (r.ok() && type == 33 && unit.size() > 2 && ((unit[0] >> 1) & 0x3f) == 33 &&
                spsDecoderComplainsOf(unit.subspan(2)))
                return true;
        }
    }
    return false;
}

// What the codec configurations of the file say. libheif reads them but does not tell before
// decoding, so the probe reads the same boxes.
struct Coding {
    // Every HEVC and AV1 configuration monochrome (an alpha plane is monochrome too, so a
    // colour picture with alpha stays colour). Decode keeps to this answer, so the two agree.
    bool gray = false;
    bool av1 = false;
    bool hevcDamaged = false; // a parameter set the HEVC decoder would complain of
};

Coding coding(Bytes data) {
    // Every meta box counts: which one libheif ends up decoding from is not told, and a
    // damaged file may hold several. One AV1 configuration anywhere asks for the quiet decoder.
    Coding c;
    bool any = false, allGray = true;
    forEachMeta(data, [&](Bytes boxes) {
        forEachBox(childBox(childBox(boxes, "iprp"), "ipco"), [&](Bytes name, Bytes body) {
            if (isBox(name, "hvcC")) {
                any = true;
                allGray = allGray && body.size() >= 17 && (body[16] & 3) == 0; // chroma_format_idc
                c.hevcDamaged = c.hevcDamaged || hevcConfigurationDamaged(body);
            } else if (isBox(name, "av1C")) {
                any = c.av1 = true;
                allGray = allGray && body.size() >= 3 && (body[2] & 0x10) != 0; // mono_chrome
            }
            return false;
        });
    });
    c.gray = any && allGray;
    return c;
}

// libheif's preferred AV1 decoder (dav1d) prints its complaints about damaged data on the
// terminal; aom's decoder reports them only through its return codes.
const char* quietAv1Decoder() {
    static const char* const id = [] {
        const heif_decoder_descriptor* d[16];
        const int n = heif_get_decoder_descriptors(heif_compression_AV1, d, 16);
        for (int i = 0; i < n; ++i)
            if (std::strcmp(heif_decoder_descriptor_get_id_name(d[i]), "aom") == 0) return "aom";
        return static_cast<const char*>(nullptr);
    }();
    return id;
}

bool heifFail(const heif_error& e, DecodeError& err) {
    DecodeReason reason = DecodeReason::Damaged;
    if (e.code == heif_error_Memory_allocation_error)
        reason = e.subcode == heif_suberror_Security_limit_exceeded ? DecodeReason::OverLimits
                                                                    : DecodeReason::OutOfMemory;
    else if (e.code == heif_error_Unsupported_filetype || e.code == heif_error_Unsupported_feature)
        reason = DecodeReason::Unsupported;
    else if (e.subcode == heif_suberror_End_of_data)
        reason = DecodeReason::Truncated;
    return detail::fail(err, reason,
                        std::string("HEIF: ") + (e.message && *e.message ? e.message : "damaged"));
}

void initOnce() {
    static const bool ready = [] {
        heif_init(nullptr);
        return true;
    }();
    (void)ready;
}

// The file read and its primary image found, with its size as decoded, checked against the
// limits before any pixel is decoded: what probe and decode share.
struct Opened {
    std::unique_ptr<heif_context, ContextFree> ctx;
    std::unique_ptr<const heif_image_handle, HandleRelease> primary;
    PictureFacts facts;
    Coding coding;
};

bool open(Bytes data, Opened& o, DecodeError& err) {
    if (!sniff(data)) return detail::notThisFormat(err, "not a HEIF or AVIF file");
    initOnce();
    o.ctx.reset(heif_context_alloc());
    if (!o.ctx) return detail::fail(err, DecodeReason::OutOfMemory, "out of memory");
    heif_context_set_maximum_image_size_limit(o.ctx.get(), static_cast<int>(kMaxImageSide));
    // The builder decodes pages on its own worker threads already.
    heif_context_set_max_decoding_threads(o.ctx.get(), 0);
    heif_error e =
        heif_context_read_from_memory_without_copy(o.ctx.get(), data.data(), data.size(), nullptr);
    if (e.code != heif_error_Ok) return heifFail(e, err);
    heif_image_handle* handle = nullptr;
    e = heif_context_get_primary_image_handle(o.ctx.get(), &handle);
    o.primary.reset(handle);
    if (e.code != heif_error_Ok || !handle) return heifFail(e, err);

    // The coded size is what the decoder allocates, before any turn or crop.
    const int codedW = heif_image_handle_get_ispe_width(handle);
    const int codedH = heif_image_handle_get_ispe_height(handle);
    const int w = heif_image_handle_get_width(handle), h = heif_image_handle_get_height(handle);
    if (w <= 0 || h <= 0) return detail::damaged(err, "empty image");
    Canvas canvas;
    if (!derivedCanvas(data, canvas)) return detail::damaged(err, "HEIF: damaged image grid");
    // libheif's planes at coded size: three of them, two bytes a sample past 8 bits.
    const int bits = heif_image_handle_get_luma_bits_per_pixel(handle);
    const auto fits = [&](std::uint64_t cw, std::uint64_t ch, DecodeError& e) {
        if (!detail::sizeAllowed(cw, ch)) return detail::overLimits(e, "image too large");
        if (cw * ch * 3 * (bits > 8 ? 2 : 1) > kMaxImageBytes)
            return detail::overLimits(e, "image too large for the memory budget");
        return true;
    };
    if (codedW > 0 && codedH > 0 && !fits(std::uint64_t(codedW), std::uint64_t(codedH), err))
        return false;
    if (canvas.derived && !fits(canvas.width, canvas.height, err)) return false;
    o.coding = coding(data);
    if (o.coding.hevcDamaged) return detail::damaged(err, "HEIF: damaged HEVC parameter set");
    return detail::facts(o.facts, static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h),
                         o.coding.gray ? 8 : 24, err);
}

} // namespace

bool sniff(Bytes data) {
    if (data.size() < 12) return false;
    // Only the file type box is read; it is near the start.
    const int len = static_cast<int>(std::min<std::size_t>(data.size(), 4096));
    switch (heif_check_filetype(data.data(), len)) {
    case heif_filetype_yes_supported:
        return true;
    case heif_filetype_maybe: // a general image file brand: still pictures of some codec
        return heif_has_compatible_brand(data.data(), len, "mif1") ||
               heif_has_compatible_brand(data.data(), len, "mif2");
    default:
        return false;
    }
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    Opened o;
    if (!open(data, o, err)) return false;
    facts = o.facts;
    return true;
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    Opened o;
    if (!open(data, o, err)) return false;
    const bool gray = o.facts.bpp == 8;
    const std::unique_ptr<heif_decoding_options, OptionsFree> options(
        heif_decoding_options_alloc());
    if (!options) return detail::fail(err, DecodeReason::OutOfMemory, "out of memory");
    options->convert_hdr_to_8bit = 1;
    if (o.coding.av1) options->decoder_id = quietAv1Decoder();
    heif_image* decoded = nullptr;
    const heif_error e = heif_decode_image(
        o.primary.get(), &decoded, gray ? heif_colorspace_monochrome : heif_colorspace_RGB,
        gray ? heif_chroma_monochrome : heif_chroma_interleaved_RGB, options.get());
    const std::unique_ptr<const heif_image, ImageRelease> picture(decoded);
    if (e.code != heif_error_Ok || !decoded) return heifFail(e, err);

    const heif_channel channel = gray ? heif_channel_Y : heif_channel_interleaved;
    int stride = 0;
    const std::uint8_t* plane = heif_image_get_plane_readonly(decoded, channel, &stride);
    if (!plane || heif_image_get_bits_per_pixel_range(decoded, channel) != 8 ||
        heif_image_get_width(decoded, channel) != static_cast<int>(o.facts.width) ||
        heif_image_get_height(decoded, channel) != static_cast<int>(o.facts.height))
        return detail::damaged(err, "HEIF: decoded picture differs from its header");
    if (!detail::create(out, o.facts.width, o.facts.height, o.facts.bpp, err)) return false;
    if (gray) out.SetGrayPalette();
    const std::size_t row = out.Stride();
    if (stride < 0 || static_cast<std::size_t>(stride) < row)
        return detail::damaged(err, "HEIF: decoded picture differs from its header");
    for (std::uint32_t y = 0; y < o.facts.height; ++y)
        std::memcpy(out.Row(y), plane + std::size_t{y} * static_cast<std::size_t>(stride), row);
    return true;
}

} // namespace folio::codecs::heif
