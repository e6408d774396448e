// HEIF (HEVC) and AVIF (AV1) through libheif: the primary image, turned and mirrored as the
// file says (irot, imir), as 24-bit RGB, or 8-bit gray when the file is monochrome.
#include "book/image/ByteReader.h"
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

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

// The payload of the first box of `type` among the boxes that fill `boxes`; empty when there
// is none or the boxes overrun their container.
Bytes childBox(Bytes boxes, const char (&type)[5]) {
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
        if (!r.ok() || size < header || size - header > r.remaining()) return {};
        const Bytes payload = r.take(static_cast<std::size_t>(size - header));
        if (std::memcmp(name.data(), type, 4) == 0) return payload;
    }
    return {};
}

// What the codec configurations of the file say. libheif reads them but does not tell before
// decoding, so the probe reads the same boxes.
struct Coding {
    // Every HEVC and AV1 configuration monochrome (an alpha plane is monochrome too, so a
    // colour picture with alpha stays colour). Decode keeps to this answer, so the two agree.
    bool gray = false;
    bool av1 = false;
};

Coding coding(Bytes data) {
    Coding c;
    const Bytes meta = childBox(data, "meta");
    if (meta.size() < 4) return c;
    const Bytes ipco = childBox(childBox(meta.subspan(4), "iprp"), "ipco");
    ByteReader r(ipco);
    bool any = false, allGray = true;
    while (r.remaining() >= 8) {
        const std::uint32_t size = r.u32be();
        const Bytes name = r.take(4);
        if (!r.ok() || size < 8 || size - 8 > r.remaining()) break;
        const Bytes body = r.take(size - 8);
        if (std::memcmp(name.data(), "hvcC", 4) == 0) {
            any = true;
            allGray = allGray && body.size() >= 17 && (body[16] & 3) == 0; // chroma_format_idc
        } else if (std::memcmp(name.data(), "av1C", 4) == 0) {
            any = c.av1 = true;
            allGray = allGray && body.size() >= 3 && (body[2] & 0x10) != 0; // mono_chrome
        }
    }
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
    if (codedW > 0 && codedH > 0) {
        if (!detail::sizeAllowed(static_cast<std::uint32_t>(codedW),
                                 static_cast<std::uint32_t>(codedH)))
            return detail::overLimits(err, "image too large");
        // libheif's planes at coded size: three of them, two bytes a sample past 8 bits.
        const int bits = heif_image_handle_get_luma_bits_per_pixel(handle);
        const std::uint64_t own =
            std::uint64_t(codedW) * std::uint64_t(codedH) * 3 * (bits > 8 ? 2 : 1);
        if (own > kMaxImageBytes)
            return detail::overLimits(err, "image too large for the memory budget");
    }
    o.coding = coding(data);
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
