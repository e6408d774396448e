// GIF decoding through giflib 5, record by record so that memory stays bounded by the
// logical screen whatever the file claims about its frames.
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gif_lib.h>

namespace folio::codecs::gif {

namespace {

// Bounds on the work a composed animation may ask for.
constexpr int kMaxComposedFrames = 10000;
constexpr std::uint64_t kMaxDecodedPixels = 2 * kMaxImagePixels;

struct GifSource {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos;
};

int readFromSpan(GifFileType* gif, GifByteType* dst, int n) {
    auto* src = static_cast<GifSource*>(gif->UserData);
    if (n <= 0) return 0;
    const std::size_t count = std::min(static_cast<std::size_t>(n), src->size - src->pos);
    std::memcpy(dst, src->data + src->pos, count);
    src->pos += count;
    return static_cast<int>(count);
}

struct GifCloser {
    void operator()(GifFileType* gif) const {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};
using GifHandle = std::unique_ptr<GifFileType, GifCloser>;

struct Frame {
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    int transparent = -1; // from the graphics control extension before the frame
};

// Reads one extension, remembering the transparent index of a graphics control block.
bool readExtension(GifFileType* gif, int& transparent) {
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return false;
    if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4)
        transparent = (block[1] & 0x01) ? block[4] : -1;
    while (block) {
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return false;
    }
    return true;
}

// Skips extensions up to the next image descriptor; false on the trailer or an error
// (`ended` tells them apart).
bool nextImage(GifFileType* gif, int& transparent, bool& ended) {
    ended = false;
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) return false;
        switch (type) {
        case IMAGE_DESC_RECORD_TYPE:
            return true;
        case EXTENSION_RECORD_TYPE:
            if (!readExtension(gif, transparent)) return false;
            break;
        case TERMINATE_RECORD_TYPE:
            ended = true;
            return false;
        default:
            return false;
        }
    }
}

bool readFrame(GifFileType* gif, Frame& f, int transparent) {
    if (DGifGetImageDesc(gif) == GIF_ERROR) return false;
    f.left = gif->Image.Left;
    f.top = gif->Image.Top;
    f.width = gif->Image.Width;
    f.height = gif->Image.Height;
    f.interlaced = gif->Image.Interlace;
    f.transparent = transparent;
    return true;
}

// Skips a frame's compressed blocks without decoding them.
bool skipFrameData(GifFileType* gif) {
    int codeSize = 0;
    GifByteType* block = nullptr;
    if (DGifGetCode(gif, &codeSize, &block) == GIF_ERROR) return false;
    while (block)
        if (DGifGetCodeNext(gif, &block) == GIF_ERROR) return false;
    return true;
}

// Decodes every line of the current frame in stream order and hands each to `sink` with
// its row number, so interlaced frames land on the right rows.
template <class Sink>
bool decodeLines(GifFileType* gif, const Frame& f, std::vector<std::uint8_t>& line, Sink&& sink) {
    if (f.width <= 0 || f.height <= 0) return skipFrameData(gif); // no pixels, only blocks
    line.resize(static_cast<std::size_t>(f.width));
    auto one = [&](int y) {
        if (DGifGetLine(gif, line.data(), f.width) == GIF_ERROR) return false;
        sink(y, line.data());
        return true;
    };
    if (!f.interlaced) {
        for (int y = 0; y < f.height; ++y)
            if (!one(y)) return false;
        return true;
    }
    constexpr int kStart[4] = {0, 4, 2, 1};
    constexpr int kStep[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int y = kStart[pass]; y < f.height; y += kStep[pass])
            if (!one(y)) return false;
    return true;
}

// The part of a frame that falls on the screen, in frame coordinates.
struct Clip {
    int x0 = 0, x1 = 0; // columns [x0, x1) of the frame line
};

Clip clipColumns(const Frame& f, std::uint32_t screenW) {
    Clip c;
    const long long right = std::min<long long>(static_cast<long long>(f.left) + f.width, screenW);
    c.x1 = right > f.left ? static_cast<int>(right - f.left) : 0;
    return c;
}

unsigned depthForTable(int colorCount) {
    if (colorCount <= 2) return 1;
    if (colorCount <= 16) return 4;
    return 8;
}

bool fail(DecodeError& err, DecodeReason reason, std::string_view why) {
    return detail::fail(err, reason, "GIF: " + std::string(why));
}

// Paints one frame line onto a 24-bit canvas: transparent and out-of-table pixels keep
// what is below them.
void paintLine(Image& canvas, const Frame& f, int y, const std::uint8_t* line,
               const ColorMapObject* map) {
    const long long sy = static_cast<long long>(f.top) + y;
    if (!map || sy >= canvas.GetHeight()) return;
    const Clip c = clipColumns(f, canvas.GetWidth());
    std::uint8_t* row = canvas.Row(static_cast<std::uint32_t>(sy));
    for (int x = c.x0; x < c.x1; ++x) {
        const int idx = line[x];
        if (idx == f.transparent || idx >= map->ColorCount) continue;
        std::uint8_t* p = row + (static_cast<std::size_t>(f.left) + x) * 3;
        p[0] = map->Colors[idx].Red;
        p[1] = map->Colors[idx].Green;
        p[2] = map->Colors[idx].Blue;
    }
}

// The rest of a composed file: every further frame painted with its own table.
bool composeRest(GifFileType* gif, Image& canvas, Frame f, std::vector<std::uint8_t>& line,
                 std::uint64_t decoded, DecodeError& err) {
    for (int frames = 2;; ++frames) {
        const std::uint64_t area = static_cast<std::uint64_t>(f.width) * f.height;
        decoded += area;
        if (frames > kMaxComposedFrames || area > kMaxImagePixels || decoded > kMaxDecodedPixels)
            return fail(err, DecodeReason::OverLimits, "animation too large");
        const ColorMapObject* map = gif->Image.ColorMap;
        const bool ok = decodeLines(
            gif, f, line, [&](int y, const std::uint8_t* px) { paintLine(canvas, f, y, px, map); });
        if (!ok) return fail(err, DecodeReason::Damaged, "truncated or corrupt frame");
        int transparent = -1;
        bool ended = false;
        if (!nextImage(gif, transparent, ended)) {
            if (ended) return true;
            return fail(err, DecodeReason::Damaged, "truncated or corrupt file");
        }
        if (!readFrame(gif, f, transparent))
            return fail(err, DecodeReason::Damaged, "corrupt frame header");
    }
}

// The logical screen, the first frame and the table in force for it: what probe and decode
// share. Leaves the reader at the first frame's pixel data.
struct Opening {
    GifHandle gif;
    std::uint32_t screenW = 0, screenH = 0;
    Frame first;
    std::uint64_t firstArea = 0;
    const ColorMapObject* map = nullptr;
    std::uint16_t bpp = 0;
    // Frames drawn on a screen larger in both directions, with no shared table, are pieces
    // of one picture: when a second frame follows, they are composed.
    bool candidate() const {
        return gif->SColorMap == nullptr && static_cast<std::uint32_t>(first.width) != screenW &&
               static_cast<std::uint32_t>(first.height) != screenH;
    }
};

bool open(Bytes data, GifSource& src, Opening& o, DecodeError& err) {
    if (!sniff(data)) return fail(err, DecodeReason::NotThisFormat, "not a GIF file");
    int openError = 0;
    o.gif.reset(DGifOpen(&src, readFromSpan, &openError));
    if (!o.gif) return fail(err, DecodeReason::Damaged, "unreadable header");
    o.screenW = static_cast<std::uint32_t>(o.gif->SWidth);
    o.screenH = static_cast<std::uint32_t>(o.gif->SHeight);
    if (o.screenW == 0 || o.screenH == 0) return fail(err, DecodeReason::Damaged, "empty screen");
    if (!detail::sizeAllowed(o.screenW, o.screenH))
        return fail(err, DecodeReason::OverLimits, "image too large");

    int transparent = -1;
    bool ended = false;
    if (!nextImage(o.gif.get(), transparent, ended))
        return ended ? fail(err, DecodeReason::Damaged, "no image")
                     : fail(err, DecodeReason::Damaged, "corrupt file");
    if (!readFrame(o.gif.get(), o.first, transparent))
        return fail(err, DecodeReason::Damaged, "corrupt frame header");
    o.firstArea = static_cast<std::uint64_t>(o.first.width) * o.first.height;
    if (o.firstArea == 0) return fail(err, DecodeReason::Damaged, "empty frame");
    if (o.firstArea > kMaxImagePixels)
        return fail(err, DecodeReason::OverLimits, "frame too large");

    o.map = o.gif->Image.ColorMap ? o.gif->Image.ColorMap : o.gif->SColorMap;
    if (!o.map || o.map->ColorCount < 1 || o.map->ColorCount > 256)
        return fail(err, DecodeReason::Damaged, "no colour table for the first image");
    o.bpp = storedBpp(depthForTable(o.map->ColorCount));
    return true;
}

// After the first frame: whether a second one follows that makes the file composed.
bool secondFrame(Opening& o, Frame& second, bool& composed, DecodeError& err) {
    composed = false;
    if (!o.candidate()) return true;
    int transparent = -1;
    bool ended = false;
    if (nextImage(o.gif.get(), transparent, ended)) {
        if (!readFrame(o.gif.get(), second, transparent))
            return fail(err, DecodeReason::Damaged, "corrupt frame header");
        composed = true;
    } else if (!ended) {
        return fail(err, DecodeReason::Damaged, "truncated or corrupt file");
    }
    return true;
}

} // namespace

bool sniff(Bytes data) {
    return data.size() >= 13 && std::memcmp(data.data(), "GIF8", 4) == 0;
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    GifSource src{data.data(), data.size(), 0};
    Opening o;
    if (!open(data, src, o, err)) return false;
    if (!skipFrameData(o.gif.get()))
        return fail(err, DecodeReason::Truncated, "truncated or corrupt image data");
    Frame second;
    bool composed = false;
    if (!secondFrame(o, second, composed, err)) return false;
    return detail::facts(facts, o.screenW, o.screenH, composed ? 24 : o.bpp, err);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    GifSource src{data.data(), data.size(), 0};
    Opening o;
    if (!open(data, src, o, err)) return false;
    GifHandle& gif = o.gif;
    const std::uint32_t screenW = o.screenW, screenH = o.screenH;
    const Frame& first = o.first;
    const std::uint64_t firstArea = o.firstArea;
    const ColorMapObject* map = o.map;
    const int colorCount = map->ColorCount;
    if (!detail::create(out, screenW, screenH, o.bpp, err))
        return fail(err, err.reason, err.detail);
    std::array<Rgb, 256> colors{};
    for (int i = 0; i < colorCount; ++i)
        colors[i] = Rgb{map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue};
    out.SetPalette(std::span<const Rgb>(colors.data(), static_cast<std::size_t>(colorCount)));

    const std::size_t paletteSize = out.GetPalette().size();
    const int background = gif->SBackGroundColor < colorCount ? gif->SBackGroundColor : 0;
    std::fill(out.Pixels().begin(), out.Pixels().end(), static_cast<std::uint8_t>(background));

    // Raw indices go in first; indices past the palette are repaired once it is known
    // whether the file is composed (which needs them raw for transparency).
    const Clip clip = clipColumns(first, screenW);
    std::vector<std::uint8_t> line;
    const bool ok = decodeLines(gif.get(), first, line, [&](int y, const std::uint8_t* px) {
        const long long sy = static_cast<long long>(first.top) + y;
        if (sy >= screenH || clip.x1 <= clip.x0) return;
        std::memcpy(out.Row(static_cast<std::uint32_t>(sy)) + first.left, px + clip.x0,
                    static_cast<std::size_t>(clip.x1 - clip.x0));
    });
    if (!ok) return fail(err, DecodeReason::Damaged, "truncated or corrupt image data");

    Frame second;
    bool composed = false;
    if (!secondFrame(o, second, composed, err)) return false;

    if (!composed) {
        for (auto& px : out.Pixels())
            if (px >= paletteSize) px = 0;
        return true;
    }

    Image canvas;
    if (!detail::create(canvas, screenW, screenH, 24, err))
        return fail(err, err.reason, err.detail);
    for (int y = 0; y < first.height; ++y) {
        const long long sy = static_cast<long long>(first.top) + y;
        if (sy >= screenH) break;
        const std::uint8_t* indices = out.Row(static_cast<std::uint32_t>(sy)) + first.left;
        std::uint8_t* row = canvas.Row(static_cast<std::uint32_t>(sy));
        for (int x = clip.x0; x < clip.x1; ++x) {
            const int idx = indices[x];
            if (idx == first.transparent || idx >= colorCount) continue;
            std::uint8_t* p = row + (static_cast<std::size_t>(first.left) + x) * 3;
            p[0] = colors[idx].r;
            p[1] = colors[idx].g;
            p[2] = colors[idx].b;
        }
    }
    if (!composeRest(gif.get(), canvas, second, line, firstArea, err)) return false;
    out = std::move(canvas);
    return true;
}

} // namespace folio::codecs::gif
