// WebP through libwebp: still pictures (lossy, lossless, with or without alpha) and the
// first frame of an animation, always as 24-bit RGB (alpha is dropped, as for every format).
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <cstring>
#include <memory>

#include <webp/decode.h>
#include <webp/demux.h>

namespace folio::codecs::webp {

namespace {

struct DemuxDelete {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};
struct AnimDelete {
    void operator()(WebPAnimDecoder* d) const { WebPAnimDecoderDelete(d); }
};

// What the container says, read by libwebp's demuxer, which walks every chunk and so refuses
// a file cut short or with chunks that contradict each other before any pixel is decoded.
struct Layout {
    std::uint32_t width = 0, height = 0;
    bool animated = false;
};

bool readLayout(Bytes data, Layout& l, DecodeError& err) {
    if (!sniff(data)) return detail::notThisFormat(err, "not a WebP file");
    const WebPData whole{data.data(), data.size()};
    WebPDemuxState state = WEBP_DEMUX_PARSE_ERROR;
    const std::unique_ptr<WebPDemuxer, DemuxDelete> demux(WebPDemuxPartial(&whole, &state));
    if (!demux || state != WEBP_DEMUX_DONE) {
        if (state == WEBP_DEMUX_PARSED_HEADER || state == WEBP_DEMUX_PARSING_HEADER)
            return detail::truncated(err, "WebP: file cut short");
        return detail::damaged(err, "WebP: damaged file structure");
    }
    l.width = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH);
    l.height = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
    l.animated = (WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS) & ANIMATION_FLAG) != 0;
    if (WebPDemuxGetI(demux.get(), WEBP_FF_FRAME_COUNT) < 1)
        return detail::damaged(err, "WebP: no picture in the file");
    if (!l.animated) {
        // The still picture's own header must give the size the container does.
        WebPBitstreamFeatures f;
        if (WebPGetFeatures(data.data(), data.size(), &f) != VP8_STATUS_OK)
            return detail::damaged(err, "WebP: damaged picture header");
        if (f.has_animation || static_cast<std::uint32_t>(f.width) != l.width ||
            static_cast<std::uint32_t>(f.height) != l.height)
            return detail::damaged(err, "WebP: picture and canvas sizes differ");
    }
    return true;
}

// The picture's facts under the limits; libwebp's own whole-picture buffers (ARGB for a
// lossless picture, two canvases for an animation) are held to the memory budget as well.
bool checkedFacts(Bytes data, Layout& l, PictureFacts& facts, DecodeError& err) {
    if (!readLayout(data, l, err)) return false;
    if (!detail::facts(facts, l.width, l.height, 24, err)) return false;
    const std::uint64_t own = std::uint64_t{l.width} * l.height * (l.animated ? 8 : 4);
    if (own > kMaxImageBytes)
        return detail::overLimits(err, "image too large for the memory budget");
    return true;
}

bool decodeFirstFrame(Bytes data, const Layout& l, Image& out, DecodeError& err) {
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options))
        return detail::unsupported(err, "WebP: animation decoder unavailable");
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;
    const WebPData whole{data.data(), data.size()};
    const std::unique_ptr<WebPAnimDecoder, AnimDelete> anim(WebPAnimDecoderNew(&whole, &options));
    if (!anim) return detail::damaged(err, "WebP: damaged animation");
    WebPAnimInfo info;
    if (!WebPAnimDecoderGetInfo(anim.get(), &info) || info.canvas_width != l.width ||
        info.canvas_height != l.height)
        return detail::damaged(err, "WebP: damaged animation");
    std::uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(anim.get(), &canvas, &timestamp) || !canvas)
        return detail::damaged(err, "WebP: first frame undecodable");
    if (!detail::create(out, l.width, l.height, 24, err)) return false;
    const std::size_t pixels = std::size_t{l.width} * l.height;
    std::uint8_t* dst = out.Pixels().data();
    for (std::size_t i = 0; i < pixels; ++i, canvas += 4, dst += 3)
        std::memcpy(dst, canvas, 3);
    return true;
}

} // namespace

bool sniff(Bytes data) {
    return data.size() >= 12 && std::memcmp(data.data(), "RIFF", 4) == 0 &&
           std::memcmp(data.data() + 8, "WEBP", 4) == 0;
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    Layout l;
    return checkedFacts(data, l, facts, err);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    Layout l;
    PictureFacts facts;
    if (!checkedFacts(data, l, facts, err)) return false;
    if (l.animated) return decodeFirstFrame(data, l, out, err);
    if (!detail::create(out, l.width, l.height, 24, err)) return false;
    std::vector<std::uint8_t>& px = out.Pixels();
    if (!WebPDecodeRGBInto(data.data(), data.size(), px.data(), px.size(),
                           static_cast<int>(out.Stride())))
        return detail::damaged(err, "WebP: picture data undecodable");
    return true;
}

} // namespace folio::codecs::webp
