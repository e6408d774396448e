// JPEG 2000, WebP, HEIF and AVIF files made with the real encoders (OpenJPEG, libwebp,
// libheif), for the tests and the seed generator alike. Header-only, like ByteWriter.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <libheif/heif.h>
#include <openjpeg.h>
#include <webp/encode.h>
#include <webp/mux.h>

namespace folio::test {

namespace detail {

struct WriteStream {
    std::vector<std::uint8_t> bytes;
    std::uint64_t pos = 0;
};

inline OPJ_SIZE_T jWrite(void* buf, OPJ_SIZE_T n, void* user) {
    auto* s = static_cast<WriteStream*>(user);
    if (s->pos + n > s->bytes.size()) s->bytes.resize(s->pos + n);
    std::memcpy(s->bytes.data() + s->pos, buf, n);
    s->pos += n;
    return n;
}
inline OPJ_OFF_T jSkip(OPJ_OFF_T n, void* user) {
    auto* s = static_cast<WriteStream*>(user);
    s->pos += static_cast<std::uint64_t>(n);
    if (s->pos > s->bytes.size()) s->bytes.resize(s->pos);
    return n;
}
inline OPJ_BOOL jSeek(OPJ_OFF_T to, void* user) {
    auto* s = static_cast<WriteStream*>(user);
    s->pos = static_cast<std::uint64_t>(to);
    if (s->pos > s->bytes.size()) s->bytes.resize(s->pos);
    return OPJ_TRUE;
}
inline void jQuiet(const char*, void*) {}
} // namespace detail

// JPEG 2000 components as functions of the position and the component index.
using CompFn = std::int32_t (*)(std::uint32_t x, std::uint32_t y, unsigned comp);

struct J2kPicture {
    std::uint32_t w = 8, h = 6;
    unsigned comps = 1, prec = 8;
    bool sgnd = false;
    std::uint32_t chromaDx = 1; // horizontal subsampling of components 1 and 2
    OPJ_COLOR_SPACE space = OPJ_CLRSPC_GRAY;
    CompFn fn = nullptr;
};

// Lossless (5-3) encoding of `s` as a raw code stream or a JP2 file.
inline std::vector<std::uint8_t> encodeJ2k(const J2kPicture& s, OPJ_CODEC_FORMAT format) {
    std::vector<opj_image_cmptparm_t> parms(s.comps);
    for (unsigned c = 0; c < s.comps; ++c) {
        std::memset(&parms[c], 0, sizeof parms[c]);
        parms[c].dx = (c == 1 || c == 2) ? s.chromaDx : 1;
        parms[c].dy = 1;
        parms[c].w = (s.w + parms[c].dx - 1) / parms[c].dx;
        parms[c].h = s.h;
        parms[c].prec = s.prec;
        parms[c].sgnd = s.sgnd;
    }
    std::unique_ptr<opj_image_t, void (*)(opj_image_t*)> image(
        opj_image_create(s.comps, parms.data(), s.space), opj_image_destroy);
    if (!image) return {};
    image->x0 = image->y0 = 0;
    image->x1 = s.w;
    image->y1 = s.h;
    for (unsigned c = 0; c < s.comps; ++c) {
        const opj_image_comp_t& comp = image->comps[c];
        for (std::uint32_t y = 0; y < comp.h; ++y)
            for (std::uint32_t x = 0; x < comp.w; ++x)
                comp.data[y * comp.w + x] = s.fn(x * comp.dx, y, c);
    }
    opj_cparameters_t params;
    opj_set_default_encoder_parameters(&params);
    params.tcp_numlayers = 1;
    params.tcp_rates[0] = 0;
    params.cp_disto_alloc = 1;
    params.numresolution = 2;
    params.tcp_mct = (s.comps >= 3 && s.chromaDx == 1) ? 1 : 0;
    std::unique_ptr<opj_codec_t, void (*)(opj_codec_t*)> codec(opj_create_compress(format),
                                                               opj_destroy_codec);
    opj_set_info_handler(codec.get(), detail::jQuiet, nullptr);
    opj_set_warning_handler(codec.get(), detail::jQuiet, nullptr);
    opj_set_error_handler(codec.get(), detail::jQuiet, nullptr);
    if (!opj_setup_encoder(codec.get(), &params, image.get())) return {};
    detail::WriteStream out;
    std::unique_ptr<opj_stream_t, void (*)(opj_stream_t*)> stream(
        opj_stream_create(1 << 16, OPJ_FALSE), opj_stream_destroy);
    opj_stream_set_user_data(stream.get(), &out, nullptr);
    opj_stream_set_write_function(stream.get(), detail::jWrite);
    opj_stream_set_skip_function(stream.get(), detail::jSkip);
    opj_stream_set_seek_function(stream.get(), detail::jSeek);
    if (!opj_start_compress(codec.get(), image.get(), stream.get()) ||
        !opj_encode(codec.get(), stream.get()) || !opj_end_compress(codec.get(), stream.get()))
        return {};
    stream.reset(); // flushes
    return out.bytes;
}

// A still WebP from RGBA rows (w * 4 bytes each); empty on failure. exact keeps the colour
// under transparent pixels, so a lossless file gives back exactly what went in.
inline std::vector<std::uint8_t> webpStill(int w, int h, const std::vector<std::uint8_t>& rgba,
                                           bool lossless, float quality = 90) {
    WebPConfig config;
    if (!WebPConfigInit(&config)) return {};
    config.lossless = lossless;
    config.quality = quality;
    config.exact = 1;
    WebPPicture pic;
    if (!WebPPictureInit(&pic)) return {};
    pic.width = w, pic.height = h, pic.use_argb = lossless;
    WebPMemoryWriter writer;
    WebPMemoryWriterInit(&writer);
    pic.writer = WebPMemoryWrite;
    pic.custom_ptr = &writer;
    const bool ok = WebPPictureImportRGBA(&pic, rgba.data(), w * 4) && WebPEncode(&config, &pic);
    WebPPictureFree(&pic);
    std::vector<std::uint8_t> out;
    if (ok) out.assign(writer.mem, writer.mem + writer.size);
    WebPMemoryWriterClear(&writer);
    return out;
}

// A lossless animated WebP, one frame per RGBA picture, 100 ms each; empty on failure.
inline std::vector<std::uint8_t>
webpAnimation(int w, int h, const std::vector<std::vector<std::uint8_t>>& frames) {
    WebPAnimEncoderOptions options;
    WebPConfig config;
    if (!WebPAnimEncoderOptionsInit(&options) || !WebPConfigInit(&config)) return {};
    config.lossless = 1;
    const std::unique_ptr<WebPAnimEncoder, decltype(&WebPAnimEncoderDelete)> enc(
        WebPAnimEncoderNew(w, h, &options), WebPAnimEncoderDelete);
    if (!enc) return {};
    int timestamp = 0;
    for (const auto& rgba : frames) {
        WebPPicture pic;
        WebPPictureInit(&pic);
        pic.width = w, pic.height = h, pic.use_argb = 1;
        const bool ok = WebPPictureImportRGBA(&pic, rgba.data(), w * 4) &&
                        WebPAnimEncoderAdd(enc.get(), &pic, timestamp, &config);
        WebPPictureFree(&pic);
        if (!ok) return {};
        timestamp += 100;
    }
    WebPAnimEncoderAdd(enc.get(), nullptr, timestamp, nullptr);
    WebPData data;
    WebPDataInit(&data);
    std::vector<std::uint8_t> out;
    if (WebPAnimEncoderAssemble(enc.get(), &data)) out.assign(data.bytes, data.bytes + data.size);
    WebPDataClear(&data);
    return out;
}

namespace detail {
inline heif_error collectHeif(heif_context*, const void* data, size_t size, void* user) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(user);
    const auto* p = static_cast<const std::uint8_t*>(data);
    out->insert(out->end(), p, p + size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}
} // namespace detail

// A HEIF file (HEVC: .heic, AV1: .avif) from rows of gray, RGB or RGBA pixels (1, 3 or 4
// bytes a pixel, told by the size of `pixels`), stored turned as `orientation` says
// (irot/imir); empty when this libheif has no encoder for the format or encoding fails.
inline std::vector<std::uint8_t> heifFile(heif_compression_format format, int w, int h,
                                          const std::vector<std::uint8_t>& pixels,
                                          heif_orientation orientation = heif_orientation_normal,
                                          int quality = 90) {
    if (!heif_have_encoder_for_format(format)) return {};
    const std::unique_ptr<heif_context, decltype(&heif_context_free)> ctx(heif_context_alloc(),
                                                                          heif_context_free);
    heif_encoder* raw = nullptr;
    if (heif_context_get_encoder_for_format(ctx.get(), format, &raw).code != heif_error_Ok)
        return {};
    const std::unique_ptr<heif_encoder, decltype(&heif_encoder_release)> enc(raw,
                                                                             heif_encoder_release);
    heif_encoder_set_lossy_quality(enc.get(), quality);
    heif_encoder_set_parameter_string(enc.get(), "x265:log-level", "none");
    const std::size_t channels = pixels.size() / (static_cast<std::size_t>(w) * h);
    const bool gray = channels == 1;
    heif_image* img = nullptr;
    heif_image_create(w, h, gray ? heif_colorspace_monochrome : heif_colorspace_RGB,
                      gray            ? heif_chroma_monochrome
                      : channels == 4 ? heif_chroma_interleaved_RGBA
                                      : heif_chroma_interleaved_RGB,
                      &img);
    const std::unique_ptr<heif_image, decltype(&heif_image_release)> owned(img, heif_image_release);
    const heif_channel channel = gray ? heif_channel_Y : heif_channel_interleaved;
    heif_image_add_plane(img, channel, w, h, 8);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(img, channel, &stride);
    if (!plane) return {};
    const std::size_t row = static_cast<std::size_t>(w) * channels;
    for (int y = 0; y < h; ++y)
        std::copy_n(pixels.begin() + static_cast<std::ptrdiff_t>(row * y), row,
                    plane + static_cast<std::ptrdiff_t>(stride) * y);
    const std::unique_ptr<heif_encoding_options, decltype(&heif_encoding_options_free)> options(
        heif_encoding_options_alloc(), heif_encoding_options_free);
    options->image_orientation = orientation;
    if (heif_context_encode_image(ctx.get(), img, enc.get(), options.get(), nullptr).code !=
        heif_error_Ok)
        return {};
    std::vector<std::uint8_t> out;
    heif_writer writer{1, detail::collectHeif};
    if (heif_context_write(ctx.get(), &writer, &out).code != heif_error_Ok) return {};
    return out;
}

} // namespace folio::test
