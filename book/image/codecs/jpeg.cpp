// JPEG decoding through the classic libjpeg API (libjpeg-turbo).
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>

namespace folio::codecs::jpeg {

namespace {

// Lives in the caller's frame so that nothing with a destructor sits in the frame that
// calls setjmp; libjpeg's own memory is released by jpeg_destroy_decompress.
struct JpegErrorMgr {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool inScans; // set once the header is read
};

// Each progressive scan passes over the whole picture again; a file that is nothing but
// scans would keep us busy for minutes. Real encoders use about ten.
constexpr int kMaxProgressiveScans = 500;

[[noreturn]] void onJpegError(j_common_ptr cinfo) {
    auto* mgr = reinterpret_cast<JpegErrorMgr*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, mgr->message);
    std::longjmp(mgr->jump, 1);
}

// Warnings that mean lost or damaged picture data: the picture would be partial, so fail.
// Stray bytes between header segments lose nothing and are common enough to let pass.
bool isDataWarning(int code, bool inScans) {
    switch (code) {
    case JWRN_EXTRANEOUS_DATA:
        return inScans;
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_PROGRESSION:
        return true;
    default:
        return false;
    }
}

void onJpegMessage(j_common_ptr cinfo, int level) {
    // Trace messages (level >= 0) and harmless metadata warnings are dropped unprinted.
    const auto* mgr = reinterpret_cast<const JpegErrorMgr*>(cinfo->err);
    if (level < 0 && isDataWarning(cinfo->err->msg_code, mgr->inScans)) onJpegError(cinfo);
}

void onJpegOutput(j_common_ptr) {}

void onJpegProgress(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor) return;
    const auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (dinfo->input_scan_number <= kMaxProgressiveScans) return;
    auto* mgr = reinterpret_cast<JpegErrorMgr*>(cinfo->err);
    std::snprintf(mgr->message, sizeof mgr->message, "too many progressive scans (over %d)",
                  kMaxProgressiveScans);
    std::longjmp(mgr->jump, 1);
}

struct JpegDecoder {
    jpeg_decompress_struct cinfo{};
    JpegErrorMgr err{};
    jpeg_progress_mgr progress{};
    bool created = false;

    JpegDecoder() = default;
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;
    ~JpegDecoder() {
        if (created) jpeg_destroy_decompress(&cinfo);
    }
};

std::uint8_t mul255(unsigned a, unsigned b) {
    return static_cast<std::uint8_t>((a * b + 127) / 255);
}

// Four-component samples to RGB. Adobe writers store the inks inverted (0 = full ink), so
// a sample there is already "how much light is left".
void cmykRowToRgb(const JSAMPLE* src, std::uint8_t* dst, JDIMENSION width, bool inverted) {
    for (JDIMENSION x = 0; x < width; ++x, src += 4, dst += 3) {
        unsigned c = src[0], m = src[1], y = src[2], k = src[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        dst[0] = mul255(c, k);
        dst[1] = mul255(m, k);
        dst[2] = mul255(y, k);
    }
}

std::uint32_t perCmToDpi(unsigned v) {
    return static_cast<std::uint32_t>((v * 254u + 50u) / 100u);
}

// The largest DCT-domain reduction (1/2, 1/4, 1/8) that keeps the shorter side at least
// `shortSide`; 1 when none does.
unsigned reductionFor(JDIMENSION w, JDIMENSION h, std::uint32_t shortSide) {
    if (shortSide == 0) return 1;
    const std::uint64_t shorter = std::min(w, h);
    // Leave the area average at least 7/4 to reduce: the DCT-domain step alone aliases fine
    // detail (text, line art) where the average would have smoothed it.
    const std::uint64_t wanted = (std::uint64_t{shortSide} * 7 + 3) / 4;
    for (unsigned d : {8u, 4u, 2u})
        if ((shorter + d - 1) / d >= wanted) return d;
    return 1;
}

// After the header: the output colour space, scale and depth, and the limits, all before
// anything of the picture is allocated. Shared by the decoder and the header probe.
bool chooseOutput(jpeg_decompress_struct& cinfo, const JpegReduction& reduce, std::uint16_t& bpp,
                  bool& cmyk, const char*& why, DecodeReason& reason) {
    reason = DecodeReason::OverLimits;
    if (!detail::sizeAllowed(cinfo.image_width, cinfo.image_height)) {
        why = "image too large";
        return false;
    }
    cmyk = false;
    bpp = 24;
    switch (cinfo.num_components) {
    case 1:
        cinfo.out_color_space = JCS_GRAYSCALE;
        bpp = 8;
        break;
    case 3:
        if (cinfo.jpeg_color_space != JCS_YCbCr && cinfo.jpeg_color_space != JCS_RGB) {
            why = "unsupported JPEG colour space";
            reason = DecodeReason::Unsupported;
            return false;
        }
        if (reduce.grayOnly && cinfo.jpeg_color_space == JCS_YCbCr) {
            // Luma alone: no chroma upsampling and no colour conversion at all.
            cinfo.out_color_space = JCS_GRAYSCALE;
            bpp = 8;
            break;
        }
        cinfo.out_color_space = JCS_RGB;
        break;
    case 4:
        if (cinfo.jpeg_color_space != JCS_CMYK && cinfo.jpeg_color_space != JCS_YCCK) {
            why = "unsupported JPEG colour space";
            reason = DecodeReason::Unsupported;
            return false;
        }
        cinfo.out_color_space = JCS_CMYK;
        cmyk = true;
        break;
    default:
        why = "unsupported JPEG component count";
        reason = DecodeReason::Unsupported;
        return false;
    }

    cinfo.scale_num = 1;
    cinfo.scale_denom = reductionFor(cinfo.image_width, cinfo.image_height, reduce.shortSide);
    jpeg_calc_output_dimensions(&cinfo);

    // Progressive and arithmetic-coded files keep every coefficient of the picture in memory
    // until the last scan: count those against the budget too, before anything is allocated.
    std::uint64_t need = std::uint64_t{cinfo.output_width} * cinfo.output_height * (bpp / 8);
    if (cinfo.progressive_mode || cinfo.arith_code) {
        for (int c = 0; c < cinfo.num_components; ++c)
            need += std::uint64_t{cinfo.comp_info[c].width_in_blocks} *
                    cinfo.comp_info[c].height_in_blocks * DCTSIZE2 * sizeof(JCOEF);
    }
    if (need > kMaxImageBytes) {
        why = "image too large for the memory budget";
        return false;
    }
    return true;
}

void prepare(JpegDecoder& d) {
    d.cinfo.err = jpeg_std_error(&d.err.pub);
    d.err.pub.error_exit = onJpegError;
    d.err.pub.emit_message = onJpegMessage;
    d.err.pub.output_message = onJpegOutput;
    d.err.message[0] = '\0';
    d.err.inScans = false;
}

// Creates the decompressor and reads the header; called below setjmp.
void readHeader(JpegDecoder& d, Bytes data) {
    jpeg_decompress_struct& cinfo = d.cinfo;
    jpeg_create_decompress(&cinfo);
    d.created = true;
    // Without a backing store, libjpeg refuses coefficient buffers beyond this budget.
    cinfo.mem->max_memory_to_use = static_cast<long>(kMaxImageBytes);
    d.progress.progress_monitor = onJpegProgress;
    cinfo.progress = &d.progress;
    jpeg_mem_src(&cinfo, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&cinfo, TRUE);
}

// The header read and the output chosen: size, depth and resolution as decoded. Called
// below the caller's setjmp.
bool readFacts(JpegDecoder& d, Bytes data, const JpegReduction& reduce, PictureFacts& facts,
               bool& cmyk, const char*& why, DecodeReason& reason) {
    jpeg_decompress_struct& cinfo = d.cinfo;
    readHeader(d, data);
    std::uint16_t bpp = 24;
    if (!chooseOutput(cinfo, reduce, bpp, cmyk, why, reason)) return false;
    facts = PictureFacts{cinfo.output_width, cinfo.output_height, bpp, 0, 0};
    if (cinfo.saw_JFIF_marker) {
        if (cinfo.density_unit == 1) {
            facts.xDpi = cinfo.X_density;
            facts.yDpi = cinfo.Y_density;
        } else if (cinfo.density_unit == 2) {
            facts.xDpi = perCmToDpi(cinfo.X_density);
            facts.yDpi = perCmToDpi(cinfo.Y_density);
        }
    }
    return true;
}

// Every libjpeg call happens here, below setjmp; only trivially destructible locals.
// On failure `why` points at a static reason or at d.err.message.
bool runJpeg(JpegDecoder& d, Bytes data, const JpegReduction& reduce, RowSink& sink,
             std::string& sinkErr, const char*& why, DecodeReason& reason) {
    jpeg_decompress_struct& cinfo = d.cinfo;
    prepare(d);
    if (setjmp(d.err.jump)) {
        why = d.err.message[0] ? d.err.message : "corrupt JPEG data";
        return false;
    }
    PictureFacts facts;
    bool cmyk = false;
    if (!readFacts(d, data, reduce, facts, cmyk, why, reason)) return false;
    const std::uint16_t bpp = facts.bpp;
    if (!sink.begin(facts, sinkErr)) {
        why = sinkErr.c_str();
        reason = sinkErr == "out of memory" ? DecodeReason::OutOfMemory : DecodeReason::OverLimits;
        return false;
    }

    d.err.inScans = true;
    jpeg_start_decompress(&cinfo);
    if (cinfo.output_width != facts.width || cinfo.output_height != facts.height ||
        cinfo.output_components != (bpp == 8 ? 1 : (cmyk ? 4 : 3))) {
        why = "unexpected JPEG output layout";
        return false;
    }
    JSAMPARRAY cmykRow = nullptr;
    if (cmyk)
        cmykRow = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                             cinfo.output_width * 4, 1);
    const bool inverted = cinfo.saw_Adobe_marker;
    while (cinfo.output_scanline < cinfo.output_height) {
        const JDIMENSION y = cinfo.output_scanline;
        if (cmyk) {
            if (jpeg_read_scanlines(&cinfo, cmykRow, 1) != 1) break;
            cmykRowToRgb(cmykRow[0], sink.rowBuffer(y), cinfo.output_width, inverted);
        } else {
            JSAMPROW row = sink.rowBuffer(y);
            if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) break;
        }
        sink.rowDone(y);
    }
    if (cinfo.output_scanline != cinfo.output_height) {
        why = "truncated JPEG data";
        reason = DecodeReason::Truncated;
        return false;
    }
    // Reading on to EOI is what reveals a file cut after its last scan line.
    jpeg_finish_decompress(&cinfo);
    return true;
}

// Rows straight into a whole Image.
class ImageSink final : public RowSink {
  public:
    explicit ImageSink(Image& out) : out_(out) {}
    bool begin(const PictureFacts& f, std::string& err) override {
        if (!out_.Create(f.width, f.height, f.bpp, &err)) return false;
        if (f.bpp == 8) out_.SetGrayPalette();
        if (f.xDpi != 0 || f.yDpi != 0) out_.SetDpi(f.xDpi, f.yDpi);
        return true;
    }
    std::uint8_t* rowBuffer(std::uint32_t y) override { return out_.Row(y); }
    void rowDone(std::uint32_t) override {}

  private:
    Image& out_;
};

// The header alone, under the decoder's limits, and what the file's structure shows of
// the data: the first scan's data present and an end-of-image marker after it, without
// which the decoder fails.
bool probeJpeg(JpegDecoder& d, Bytes data, PictureFacts& facts, const char*& why,
               DecodeReason& reason) {
    prepare(d);
    if (setjmp(d.err.jump)) {
        why = d.err.message[0] ? d.err.message : "corrupt JPEG data";
        return false;
    }
    bool cmyk = false;
    if (!readFacts(d, data, JpegReduction{}, facts, cmyk, why, reason)) return false;
    const std::uint8_t* rest = d.cinfo.src->next_input_byte;
    std::size_t left = d.cinfo.src->bytes_in_buffer;
    for (; left >= 2; ++rest, --left) {
        const void* at = std::memchr(rest, 0xFF, left - 1);
        if (!at) break;
        left -= static_cast<std::size_t>(static_cast<const std::uint8_t*>(at) - rest);
        rest = static_cast<const std::uint8_t*>(at);
        if (rest[1] == 0xD9) return true;
    }
    why = "truncated JPEG data";
    reason = DecodeReason::Truncated;
    return false;
}

bool fail(DecodeError& err, DecodeReason reason, const char* why) {
    return detail::fail(err, reason, std::string("JPEG: ") + (why ? why : "decoding failed"));
}

} // namespace

bool sniff(Bytes data) {
    return data.size() >= 4 && data[0] == 0xFF && data[1] == 0xD8;
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    if (!sniff(data)) return detail::notThisFormat(err, "not a JPEG file");
    JpegDecoder decoder;
    PictureFacts f;
    const char* why = nullptr;
    DecodeReason reason = DecodeReason::Damaged;
    if (!probeJpeg(decoder, data, f, why, reason)) return fail(err, reason, why);
    return detail::facts(facts, f.width, f.height, f.bpp, err);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    ImageSink sink(out);
    return decodeRows(data, JpegReduction{}, sink, err);
}

bool decodeRows(Bytes data, const JpegReduction& reduce, RowSink& sink, DecodeError& err) {
    if (!sniff(data)) return detail::notThisFormat(err, "not a JPEG file");
    JpegDecoder decoder;
    std::string sinkErr;
    const char* why = nullptr;
    DecodeReason reason = DecodeReason::Damaged;
    if (!runJpeg(decoder, data, reduce, sink, sinkErr, why, reason)) return fail(err, reason, why);
    return true;
}

} // namespace folio::codecs::jpeg

namespace folio::codecs {

bool decodeJpegReduced(Bytes data, const JpegReduction& reduce, Image& out, std::string& err) {
    jpeg::ImageSink sink(out);
    return decodeJpegRows(data, reduce, sink, err);
}

bool decodeJpegRows(Bytes data, const JpegReduction& reduce, RowSink& sink, std::string& err) {
    DecodeError e;
    if (jpeg::decodeRows(data, reduce, sink, e)) return true;
    err = e.detail;
    return false;
}

} // namespace folio::codecs
