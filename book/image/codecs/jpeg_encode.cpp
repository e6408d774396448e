#include "book/image/codecs/Codecs.h"

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio> // jpeglib.h needs FILE
#include <jconfig.h>
#include <jerror.h>
#include <jpeglib.h>

namespace folio::codecs {

namespace {

struct ErrorSink {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

// libjpeg's default would print and exit; we keep the text and unwind to encode().
void onError(j_common_ptr cinfo) {
    auto* sink = reinterpret_cast<ErrorSink*>(cinfo->err);
    sink->pub.format_message(cinfo, sink->message);
    std::longjmp(sink->jump, 1);
}
void onMessage(j_common_ptr, int) {}
void onOutput(j_common_ptr) {}

// Appends the stream to a vector that grows geometrically.
struct VectorDest {
    jpeg_destination_mgr pub;
    std::vector<std::uint8_t>* out;
    std::size_t base; // bytes the vector held before this stream
};

constexpr std::size_t kFirstChunk = 16384;

VectorDest* destOf(j_compress_ptr cinfo) {
    return reinterpret_cast<VectorDest*>(cinfo->dest);
}

// Resizes so that the buffer handed to libjpeg ends at the new end of the vector; the error
// leaves through error_exit only after the exception is gone.
void growTo(j_compress_ptr cinfo, std::size_t used, std::size_t size) {
    VectorDest* d = destOf(cinfo);
    bool failed = false;
    try {
        d->out->resize(size);
    } catch (...) {
        failed = true;
    }
    if (failed) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    d->pub.next_output_byte = d->out->data() + used;
    d->pub.free_in_buffer = size - used;
}

void initDestination(j_compress_ptr cinfo) {
    const std::size_t base = destOf(cinfo)->base;
    growTo(cinfo, base, base + kFirstChunk);
}

boolean emptyOutputBuffer(j_compress_ptr cinfo) {
    // libjpeg calls this with the whole buffer filled.
    VectorDest* d = destOf(cinfo);
    const std::size_t used = d->out->size();
    growTo(cinfo, used, used + std::max(used - d->base, kFirstChunk));
    return TRUE;
}

void termDestination(j_compress_ptr cinfo) {
    VectorDest* d = destOf(cinfo);
    d->out->resize(d->out->size() - d->pub.free_in_buffer);
}

struct Compressor {
    jpeg_compress_struct cinfo{};
    ErrorSink sink{};
    VectorDest dest{};
    Compressor() = default;
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    // Safe on a zeroed or half-made struct: libjpeg only frees what it allocated.
    ~Compressor() { jpeg_destroy_compress(&cinfo); }
};

// Everything that can longjmp happens here; it holds no object with a destructor, so the
// jump skips nothing that needs cleaning up. Returns false with sink.message set.
bool compress(Compressor& c, const Image& image, int quality, bool gray) {
    c.cinfo.err = jpeg_std_error(&c.sink.pub);
    c.sink.pub.error_exit = onError;
    c.sink.pub.emit_message = onMessage;
    c.sink.pub.output_message = onOutput;
    if (setjmp(c.sink.jump)) return false;

    jpeg_create_compress(&c.cinfo);
    c.dest.pub.init_destination = initDestination;
    c.dest.pub.empty_output_buffer = emptyOutputBuffer;
    c.dest.pub.term_destination = termDestination;
    c.cinfo.dest = &c.dest.pub;

    c.cinfo.image_width = image.GetWidth();
    c.cinfo.image_height = image.GetHeight();
    c.cinfo.input_components = gray ? 1 : 3;
    c.cinfo.in_color_space = gray ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c.cinfo);
    // Tables are not clamped to baseline: low qualities keep their coarse steps.
    jpeg_set_quality(&c.cinfo, quality, FALSE);
    c.cinfo.write_JFIF_header = TRUE;
    c.cinfo.density_unit = 1; // dots per inch
    c.cinfo.X_density = static_cast<UINT16>(std::min<std::uint32_t>(image.GetXDpi(), 65535));
    c.cinfo.Y_density = static_cast<UINT16>(std::min<std::uint32_t>(image.GetYDpi(), 65535));

    jpeg_start_compress(&c.cinfo, TRUE);
    constexpr JDIMENSION kBatch = 16;
    JSAMPROW rows[kBatch];
    while (c.cinfo.next_scanline < c.cinfo.image_height) {
        const JDIMENSION n = std::min(kBatch, c.cinfo.image_height - c.cinfo.next_scanline);
        for (JDIMENSION i = 0; i < n; ++i)
            // libjpeg reads input rows only; its row type just lacks the const.
            rows[i] = const_cast<JSAMPROW>(image.Row(c.cinfo.next_scanline + i));
        jpeg_write_scanlines(&c.cinfo, rows, n);
    }
    jpeg_finish_compress(&c.cinfo);
    return true;
}

} // namespace

bool encodeJpeg(const Image& image, int quality, std::vector<std::uint8_t>& out, std::string& err) {
    if (!image.IsValid()) {
        err = "no image to encode";
        return false;
    }
    const bool gray = image.IsGrayRamp();
    if (!gray && image.GetBpp() != 24) {
        err = "only gray-ramp and 24-bit images can be written as JPEG";
        return false;
    }
    const std::size_t base = out.size();
    Compressor c;
    c.dest.out = &out;
    c.dest.base = base;
    if (!compress(c, image, std::clamp(quality, 1, 100), gray)) {
        out.resize(base);
        err = c.sink.message[0] ? c.sink.message : "JPEG encoder failed";
        return false;
    }
    return true;
}

std::string jpegLibraryIdentity() {
    return "libjpeg-turbo=" + std::to_string(LIBJPEG_TURBO_VERSION_NUMBER);
}

} // namespace folio::codecs
