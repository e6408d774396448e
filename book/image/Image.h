// Folioforge's own image library: one decoded picture and the operations the book needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace folio {

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// Format codes of the image library; 0 means "no type".
enum ImageFormat : std::uint32_t {
    kFormatNone = 0,
    kFormatBmp = 1,
    kFormatGif = 2,
    kFormatJpeg = 3,
    kFormatPng = 4,
    kFormatIco = 5,
    kFormatTiff = 6,
    kFormatTga = 7,
    kFormatPcx = 8,
    kFormatWbmp = 9,
    kFormatWmf = 10,
    kFormatJp2 = 11,
    kFormatJpc = 12,
    kFormatPgx = 13,
    kFormatPnm = 14,
    kFormatRas = 15,
    kFormatWebp = 16,
    kFormatHeif = 17, // HEIF and AVIF
    kFormatJxl = 18,  // JPEG XL
};

// Limits that hold for every decoder, checked before any pixel buffer is allocated.
inline constexpr std::uint32_t kMaxImageSide = 30000;
inline constexpr std::uint64_t kMaxImagePixels = 400'000'000;
// Memory budget for one decoded picture (and for a codec library's own whole-image buffers):
// keeps a few pages in flight affordable on an ordinary desktop.
inline constexpr std::uint64_t kMaxImageBytes = std::uint64_t{512} << 20;
// Largest file the loader reads into memory.
inline constexpr std::uint64_t kMaxFileBytes = 1ull << 30;

// The size a w x h picture is scaled to so that, once turned upright (a portrait picture is
// turned a quarter left), it is pageHeight high; given in the picture's own orientation, so
// the scaling can come before the turn.
struct PageSize {
    std::uint32_t width = 0, height = 0;
};
PageSize pageSizeBeforeTurn(std::uint32_t w, std::uint32_t h, std::uint32_t pageHeight);

// Reads a whole file as the loader does; false (with a reason) when it cannot be opened or
// read or is beyond the size limit.
bool readImageFile(const std::string& path, std::vector<std::uint8_t>& out, std::string& err);

// The stored depth for a decoder's native depth: 1, 4, 8 or 24.
std::uint16_t storedBpp(unsigned decoderDepth);

// An image is either indexed (bpp 1, 4 or 8: one byte per pixel holding a palette index,
// palette of exactly 1 << bpp entries so every index is valid) or true colour (bpp 24:
// three bytes per pixel, R G B). Rows are top-down and tightly packed.
class Image {
  public:
    Image() = default;
    explicit Image(std::uint32_t imageType) : type_(imageType) {}

    // Decodes the file at path: the named format's decoder first, then recognition by
    // content. On failure the previous image stays and GetLastError() says why.
    bool Load(const std::string& path, std::uint32_t imageType);
    bool LoadMemory(std::span<const std::uint8_t> data, std::uint32_t imageType);
    // Loads a picture for a page pageHeight high once turned upright. A JPEG comes out
    // already reduced to that size (area average) while it decodes, so the full picture is
    // never held; with `fast` it is also decoded at 1/2 to 1/8 scale in the DCT domain, and
    // for a gray page as luma alone. Smaller pictures and other formats load as Load loads
    // them; the page steps (preparePageImage) do the rest, graying included.
    bool LoadForPage(const std::string& path, std::uint32_t imageType, std::uint32_t pageHeight,
                     bool gray, bool fast);
    bool LoadMemoryForPage(std::span<const std::uint8_t> data, std::uint32_t imageType,
                           std::uint32_t pageHeight, bool gray, bool fast);

    bool IsValid() const { return !pixels_.empty(); }
    std::uint32_t GetWidth() const { return width_; }
    std::uint32_t GetHeight() const { return height_; }
    std::uint16_t GetBpp() const { return bpp_; }
    std::uint32_t GetType() const { return type_; }
    const std::string& GetLastError() const { return error_; }

    // Allocates a w x h image of the stored depth bpp (1, 4, 8 or 24), pixels zero, palette
    // black (indexed depths). Refuses sizes past the limits; the image is then unchanged.
    bool Create(std::uint32_t w, std::uint32_t h, std::uint16_t bpp, std::string* err = nullptr);
    void Clear();

    bool IsIndexed() const { return bpp_ != 24; }
    std::size_t BytesPerPixel() const { return bpp_ == 24 ? 3 : 1; }
    std::size_t Stride() const { return static_cast<std::size_t>(width_) * BytesPerPixel(); }
    std::uint8_t* Row(std::uint32_t y) { return pixels_.data() + y * Stride(); }
    const std::uint8_t* Row(std::uint32_t y) const { return pixels_.data() + y * Stride(); }
    std::vector<std::uint8_t>& Pixels() { return pixels_; }
    const std::vector<std::uint8_t>& Pixels() const { return pixels_; }

    const std::vector<Rgb>& GetPalette() const { return palette_; }
    // Copies up to 1 << bpp entries; missing entries are black.
    void SetPalette(std::span<const Rgb> colors);
    void SetGrayPalette();   // entry i = level i scaled over the depth's range
    bool IsGrayRamp() const; // 8-bit with entry i == (i, i, i) for all 256 entries
    Rgb PixelColor(std::uint32_t x, std::uint32_t y) const;

    std::uint32_t GetXDpi() const { return xDpi_; }
    std::uint32_t GetYDpi() const { return yDpi_; }
    void SetDpi(std::uint32_t x, std::uint32_t y);
    void SetType(std::uint32_t t) { type_ = t; }

    // Transforms, in place; false (image unchanged) when memory for the result is missing.
    bool RotateLeft();
    bool GrayScale();
    bool Resample2(std::uint32_t newWidth, std::uint32_t newHeight, int interpolation = 2,
                   int overflow = 5, bool disableAveraging = false);
    bool IncreaseBpp24(); // palette image to true colour
    // Puts a picture stored with an EXIF or TIFF orientation (2 to 8: mirrored, turned or
    // both) upright, as a viewer shows it; 1 and values outside 1 to 8 leave it as it is.
    bool Orient(std::uint8_t orientation);

    void SetJpegQuality(std::uint8_t q) { jpegQuality_ = q; }
    std::uint8_t GetJpegQuality() const { return jpegQuality_; }
    // Encodes as imageType (only JPEG is written). Gray-ramp images become one-component
    // JPEGs, 24-bit images three-component; other palette images are refused.
    bool Encode(std::vector<std::uint8_t>& out, std::uint32_t imageType);

  private:
    // Takes a freshly decoded picture as this one, keeping the JPEG quality set here.
    bool adopt(Image&& decoded, std::uint32_t imageType);

    std::uint32_t width_ = 0, height_ = 0;
    std::uint16_t bpp_ = 0;
    std::uint32_t type_ = 0;
    std::uint32_t xDpi_ = 96, yDpi_ = 96;
    std::uint8_t jpegQuality_ = 90;
    std::vector<Rgb> palette_;
    std::vector<std::uint8_t> pixels_;
    std::string error_;
};

} // namespace folio
