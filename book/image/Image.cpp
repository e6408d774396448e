#include "book/image/Image.h"

#include "book/base/file_read.h"

#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/Formats.h"
#include "book/image/kernels.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>

namespace folio {

PageSize pageSizeBeforeTurn(std::uint32_t w, std::uint32_t h, std::uint32_t pageHeight) {
    const bool portrait = w < h;
    const std::uint32_t turnedWidth = portrait ? h : w, turnedHeight = portrait ? w : h;
    const auto width =
        static_cast<std::uint32_t>(std::uint64_t{turnedWidth} * pageHeight / turnedHeight);
    return portrait ? PageSize{pageHeight, width} : PageSize{width, pageHeight};
}

std::uint16_t storedBpp(unsigned decoderDepth) {
    if (decoderDepth <= 1) return 1;
    if (decoderDepth <= 4) return 4;
    if (decoderDepth <= 8) return 8;
    return 24;
}

bool Image::Create(std::uint32_t w, std::uint32_t h, std::uint16_t bpp, std::string* err) {
    auto fail = [&](const char* why) {
        if (err) *err = why;
        return false;
    };
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24) return fail("unsupported depth");
    if (w == 0 || h == 0) return fail("empty image");
    if (w > kMaxImageSide || h > kMaxImageSide ||
        static_cast<std::uint64_t>(w) * h > kMaxImagePixels)
        return fail("image too large");
    const std::uint64_t bytes = std::uint64_t{w} * h * (bpp == 24 ? 3 : 1);
    if (bytes > kMaxImageBytes) return fail("image too large for the memory budget");
    std::vector<std::uint8_t> pixels;
    try {
        pixels.assign(static_cast<std::size_t>(bytes), 0);
    } catch (const std::bad_alloc&) {
        return fail("out of memory");
    }
    pixels_ = std::move(pixels);
    width_ = w;
    height_ = h;
    bpp_ = bpp;
    palette_.assign(bpp == 24 ? 0 : (std::size_t{1} << bpp), Rgb{});
    return true;
}

void Image::Clear() {
    pixels_.clear();
    pixels_.shrink_to_fit();
    palette_.clear();
    width_ = height_ = 0;
    bpp_ = 0;
}

void Image::SetPalette(std::span<const Rgb> colors) {
    if (bpp_ == 24) return;
    const std::size_t n = std::min(colors.size(), palette_.size());
    std::copy_n(colors.begin(), n, palette_.begin());
    std::fill(palette_.begin() + static_cast<std::ptrdiff_t>(n), palette_.end(), Rgb{});
}

void Image::SetGrayPalette() {
    if (bpp_ == 24) return;
    const std::size_t n = palette_.size();
    for (std::size_t i = 0; i < n; ++i) {
        const auto v = static_cast<std::uint8_t>(i * 255 / (n - 1));
        palette_[i] = Rgb{v, v, v};
    }
}

bool Image::IsGrayRamp() const {
    if (bpp_ != 8 || palette_.size() != 256) return false;
    for (std::size_t i = 0; i < 256; ++i) {
        const auto v = static_cast<std::uint8_t>(i);
        if (palette_[i] != Rgb{v, v, v}) return false;
    }
    return true;
}

Rgb Image::PixelColor(std::uint32_t x, std::uint32_t y) const {
    const std::uint8_t* p = Row(y) + static_cast<std::size_t>(x) * BytesPerPixel();
    if (bpp_ == 24) return Rgb{p[0], p[1], p[2]};
    return palette_[*p];
}

void Image::SetDpi(std::uint32_t x, std::uint32_t y) {
    // JFIF stores 16-bit densities; 0 means "unknown" and falls back to the screen default.
    xDpi_ = x == 0 ? 96 : std::min<std::uint32_t>(x, 65535);
    yDpi_ = y == 0 ? 96 : std::min<std::uint32_t>(y, 65535);
}

bool readImageFile(const std::string& path, std::vector<std::uint8_t>& out, std::string& err) {
    return readWholeFile(path, kMaxFileBytes, out, err);
}

bool Image::adopt(Image&& decoded, std::uint32_t imageType) {
    decoded.type_ = imageType;
    decoded.jpegQuality_ = jpegQuality_;
    *this = std::move(decoded);
    error_.clear();
    return true;
}

bool Image::LoadMemory(std::span<const std::uint8_t> data, std::uint32_t imageType) {
    try {
        Image decoded;
        std::uint32_t type = kFormatNone;
        codecs::DecodeError err;
        if (codecs::decodeAny(data, imageType, decoded, type, err))
            return adopt(std::move(decoded), type);
        error_ = err.detail;
    } catch (const std::bad_alloc&) {
        error_ = "out of memory";
    }
    return false;
}

namespace {

// A JPEG's rows reduced as they are decoded into a picture already at page size, so the
// full picture never exists in memory.
class PageSink final : public codecs::RowSink {
  public:
    PageSink(Image& out, std::uint32_t pageHeight) : out_(out), pageHeight_(pageHeight) {}

    bool begin(const codecs::PictureFacts& f, std::string& err) override {
        // Only reductions stream; a picture to be enlarged loads whole for the page steps.
        // The page size is the upright picture's; the rows are reduced as stored and turned
        // upright on the small page.
        orientation_ = f.orientation;
        const bool turned = f.orientation >= 5;
        const PageSize upright = pageSizeBeforeTurn(turned ? f.height : f.width,
                                                    turned ? f.width : f.height, pageHeight_);
        const PageSize page = turned ? PageSize{upright.height, upright.width} : upright;
        reduce_ = page.height < f.height;
        const std::uint32_t w = reduce_ ? page.width : f.width;
        const std::uint32_t h = reduce_ ? page.height : f.height;
        // Colour rows are reduced as they are and made gray afterwards, on the small page:
        // three running sums cost less than graying every source pixel.
        const bool rgb = f.bpp == 24;
        if (!out_.Create(w, h, rgb ? 24 : 8, &err)) return false;
        if (!rgb) out_.SetGrayPalette();
        if (f.xDpi != 0 || f.yDpi != 0) out_.SetDpi(f.xDpi, f.yDpi);
        if (reduce_) {
            row_.resize(std::size_t{f.width} * (f.bpp / 8));
            reducer_.emplace(f.width, f.height, rgb ? 3 : 1, w, h, out_.Row(0));
        }
        return true;
    }
    std::uint8_t* rowBuffer(std::uint32_t y) override {
        return reduce_ ? row_.data() : out_.Row(y);
    }
    void rowDone(std::uint32_t) override {
        if (reduce_) reducer_->push(row_.data());
    }
    std::uint8_t orientation() const { return orientation_; }

  private:
    Image& out_;
    std::uint32_t pageHeight_;
    std::uint8_t orientation_ = 1;
    bool reduce_ = false;
    std::vector<std::uint8_t> row_;
    std::optional<kernels::RowReducer> reducer_;
};

} // namespace

bool Image::LoadForPage(const std::string& path, std::uint32_t imageType, std::uint32_t pageHeight,
                        bool gray, bool fast) {
    std::vector<std::uint8_t> data;
    std::string err;
    if (!readImageFile(path, data, err)) {
        error_ = err;
        return false;
    }
    return LoadMemoryForPage(data, imageType, pageHeight, gray, fast);
}

bool Image::LoadMemoryForPage(std::span<const std::uint8_t> data, std::uint32_t imageType,
                              std::uint32_t pageHeight, bool gray, bool fast) {
    std::string err;
    // Only a file named as JPEG: anything else, or a JPEG that fails here, takes the
    // ordinary path with its recognition by content.
    if (imageType == kFormatJpeg) {
        try {
            Image decoded;
            PageSink sink(decoded, pageHeight);
            const codecs::JpegReduction reduction{fast ? pageHeight : 0, fast && gray};
            if (codecs::decodeJpegRows(data, reduction, sink, err) && decoded.IsValid()) {
                if (!decoded.Orient(sink.orientation())) {
                    error_ = "out of memory";
                    return false;
                }
                return adopt(std::move(decoded), kFormatJpeg);
            }
        } catch (const std::bad_alloc&) {
            error_ = "out of memory";
            return false;
        }
    }
    return LoadMemory(data, imageType);
}

bool Image::Load(const std::string& path, std::uint32_t imageType) {
    std::vector<std::uint8_t> data;
    std::string err;
    if (!readImageFile(path, data, err)) {
        error_ = err;
        return false;
    }
    return LoadMemory(data, imageType);
}

} // namespace folio
