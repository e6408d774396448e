// JPEG XL through libjxl: lossy, lossless and recompressed-JPEG files, turned upright as the
// file's orientation says, the first frame of an animation; 24-bit RGB, or 8-bit gray for a
// gray picture (alpha is dropped, as for every format).
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include <dlfcn.h>
#include <jxl/decode.h>
#include <jxl/encode.h>

namespace {

// libjxl 0.7 writes every failure it meets on stderr, and has no switch to turn that off:
// while a thread is inside it, what it writes there is dropped (the definition below takes
// the place of the C library's for the whole program, and hands everything else on).
thread_local bool tInsideLibjxl = false;

class Quiet {
  public:
    Quiet() { tInsideLibjxl = true; }
    ~Quiet() { tInsideLibjxl = false; }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;
};

} // namespace

// What libjxl calls for its messages (vfprintf as _FORTIFY_SOURCE builds it).
extern "C" int __vfprintf_chk(std::FILE* stream, int flag, const char* format, va_list args) {
    using Next = int (*)(std::FILE*, int, const char*, va_list);
    static const Next next = [] {
        Next fn = nullptr;
        void* found = dlsym(RTLD_NEXT, "__vfprintf_chk");
        static_assert(sizeof fn == sizeof found);
        std::memcpy(&fn, &found, sizeof fn);
        return fn == &__vfprintf_chk ? nullptr : fn; // never itself
    }();
    if (tInsideLibjxl && stream == stderr) return 0;
    return next ? next(stream, flag, format, args) : -1;
}

namespace folio::codecs::jxl {

namespace {

struct DecoderDestroy {
    void operator()(JxlDecoder* d) const { JxlDecoderDestroy(d); }
};
using Decoder = std::unique_ptr<JxlDecoder, DecoderDestroy>;

// The decoder set to the whole file, no thread pool (the builder decodes pages on its own
// worker threads already), upright output and straight colour under alpha.
Decoder openDecoder(Bytes data, int events, DecodeError& err) {
    Decoder dec(JxlDecoderCreate(nullptr));
    if (!dec) {
        detail::fail(err, DecodeReason::OutOfMemory, "out of memory");
        return nullptr;
    }
    if (JxlDecoderSubscribeEvents(dec.get(), events) != JXL_DEC_SUCCESS ||
        JxlDecoderSetKeepOrientation(dec.get(), JXL_FALSE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(dec.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec.get(), data.data(), data.size()) != JXL_DEC_SUCCESS) {
        detail::unsupported(err, "JPEG XL: decoder refused its settings");
        return nullptr;
    }
    // The input is left open: a file cut short then asks for more input, and needing more
    // than the whole file is what tells a truncated one.
    return dec;
}

bool stopped(JxlDecoderStatus status, DecodeError& err) {
    if (status == JXL_DEC_NEED_MORE_INPUT) return detail::truncated(err, "JPEG XL: file cut short");
    return detail::damaged(err, "JPEG XL: damaged picture data");
}

// The picture's facts from the basic info (already the upright size), under the limits.
// libjxl keeps its own whole-frame planes of 32-bit samples, one per channel, alpha and
// other extra channels included, and a second canvas to blend an animation's frames into:
// those are held to the memory budget as well, before any of them is allocated.
bool checkedFacts(const JxlBasicInfo& info, PictureFacts& facts, DecodeError& err) {
    if (info.num_color_channels != 1 && info.num_color_channels != 3)
        return detail::unsupported(err, "JPEG XL: unsupported number of colour channels");
    const std::uint16_t bpp = info.num_color_channels == 1 ? 8 : 24;
    if (!detail::facts(facts, info.xsize, info.ysize, bpp, err)) return false;
    const std::uint64_t channels = std::uint64_t{info.num_color_channels} + info.num_extra_channels;
    const std::uint64_t own =
        std::uint64_t{info.xsize} * info.ysize * channels * 4 * (info.have_animation ? 2 : 1);
    if (own > kMaxImageBytes)
        return detail::overLimits(err, "image too large for the memory budget");
    return true;
}

// Runs the decoder to its basic info and checks it.
bool readFacts(JxlDecoder* dec, PictureFacts& facts, JxlBasicInfo& info, DecodeError& err) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(dec);
    if (status != JXL_DEC_BASIC_INFO) return stopped(status, err);
    if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS)
        return detail::damaged(err, "JPEG XL: damaged header");
    return checkedFacts(info, facts, err);
}

} // namespace

bool sniff(Bytes data) {
    const JxlSignature sig = JxlSignatureCheck(data.data(), data.size());
    return sig == JXL_SIG_CODESTREAM || sig == JXL_SIG_CONTAINER;
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    if (!sniff(data)) return detail::notThisFormat(err, "not a JPEG XL file");
    const Quiet quiet;
    const Decoder dec = openDecoder(data, JXL_DEC_BASIC_INFO, err);
    JxlBasicInfo info;
    return dec && readFacts(dec.get(), facts, info, err);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    if (!sniff(data)) return detail::notThisFormat(err, "not a JPEG XL file");
    const Quiet quiet;
    const Decoder dec =
        openDecoder(data, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE, err);
    PictureFacts facts;
    JxlBasicInfo info;
    if (!dec || !readFacts(dec.get(), facts, info, err)) return false;
    const bool gray = facts.bpp == 8;
    const JxlPixelFormat format{gray ? 1u : 3u, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
        switch (status) {
        case JXL_DEC_COLOR_ENCODING: {
            // A lossy picture's colour is converted to sRGB, as other formats are shown;
            // the decoder ignores the wish for pixels stored in their own colour space.
            JxlColorEncoding srgb;
            JxlColorEncodingSetToSRGB(&srgb, gray ? JXL_TRUE : JXL_FALSE);
            JxlDecoderSetPreferredColorProfile(dec.get(), &srgb);
            break;
        }
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            if (!detail::create(out, facts.width, facts.height, facts.bpp, err)) return false;
            if (gray) out.SetGrayPalette();
            std::size_t size = 0;
            if (JxlDecoderImageOutBufferSize(dec.get(), &format, &size) != JXL_DEC_SUCCESS ||
                size != out.Pixels().size())
                return detail::damaged(err, "JPEG XL: frame differs from its header");
            if (JxlDecoderSetImageOutBuffer(dec.get(), &format, out.Pixels().data(), size) !=
                JXL_DEC_SUCCESS)
                return detail::damaged(err, "JPEG XL: frame differs from its header");
            break;
        }
        case JXL_DEC_FULL_IMAGE: // the first frame is the picture
            return true;
        case JXL_DEC_SUCCESS:
            return detail::damaged(err, "JPEG XL: no picture in the file");
        default:
            return stopped(status, err);
        }
    }
}

} // namespace folio::codecs::jxl
