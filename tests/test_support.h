// Helpers shared by the tests (and, the header-only part, by the seed generator): bytes
// written field by field, CRCs, temporary directories, file I/O, the shared image corpus and
// what every decoded picture must satisfy.
#pragma once

#include "book/image/Image.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace folio::test {

// Appends little- and big-endian fields to a byte vector: the writing twin of ByteReader.
// The set* calls overwrite a field already written (a length or offset known only later).
class ByteWriter {
  public:
    explicit ByteWriter(std::vector<std::uint8_t>& out) : out_(out) {}

    std::size_t pos() const { return out_.size(); }
    ByteWriter& u8(std::uint32_t v) {
        out_.push_back(static_cast<std::uint8_t>(v));
        return *this;
    }
    ByteWriter& u16le(std::uint32_t v) { return le(v, 2); }
    ByteWriter& u32le(std::uint32_t v) { return le(v, 4); }
    ByteWriter& u16be(std::uint32_t v) { return be(v, 2); }
    ByteWriter& u32be(std::uint32_t v) { return be(v, 4); }
    ByteWriter& text(std::string_view s) {
        out_.insert(out_.end(), s.begin(), s.end());
        return *this;
    }
    ByteWriter& bytes(std::span<const std::uint8_t> s) {
        out_.insert(out_.end(), s.begin(), s.end());
        return *this;
    }
    ByteWriter& fill(std::size_t n, std::uint8_t v = 0) {
        out_.insert(out_.end(), n, v);
        return *this;
    }
    void setU16le(std::size_t at, std::uint32_t v) { put(at, v, 2, false); }
    void setU32le(std::size_t at, std::uint32_t v) { put(at, v, 4, false); }
    void setU32be(std::size_t at, std::uint32_t v) { put(at, v, 4, true); }

  private:
    ByteWriter& le(std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i)
            out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    ByteWriter& be(std::uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i)
            out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    void put(std::size_t at, std::uint32_t v, int n, bool big) {
        for (int i = 0; i < n; ++i)
            out_.at(at + static_cast<std::size_t>(i)) =
                static_cast<std::uint8_t>(v >> (8 * (big ? n - 1 - i : i)));
    }
    std::vector<std::uint8_t>& out_;
};

inline std::vector<std::uint8_t> textBytes(std::string_view text) {
    return {text.begin(), text.end()};
}

// Fields read back from bytes a test wrote or a corpus file holds.
inline std::uint16_t le16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8);
}
inline std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return le16(b, at) | static_cast<std::uint32_t>(le16(b, at + 2)) << 16;
}
inline std::uint32_t be32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint32_t>(b.at(at)) << 24 | b.at(at + 1) << 16 | b.at(at + 2) << 8 |
           b.at(at + 3);
}

// The CRC-32 of PNG chunks and zlib (reflected, polynomial 0xEDB88320).
inline std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A fresh directory under the system temp dir, removed with everything in it at scope end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
void writeFile(const std::string& path, const std::string& text);
std::vector<std::uint8_t> readFile(const std::string& path);
// The picture encoded as a JPEG of that quality into dir/name; the path.
std::string writeJpegFile(const TempDir& dir, const std::string& name, Image picture, int quality);

// A command line run in this process: its exit code and what it printed.
struct CliRun {
    int code;
    std::string out, err;
};
CliRun runCli(const std::vector<std::string>& args);

// The shared corpus of real images (one folder per extension); empty when absent.
std::filesystem::path corpusDir();
// The regular files of the corpus folders, sorted; none when a folder is absent.
std::vector<std::filesystem::path> corpusFiles(std::initializer_list<const char*> folders);

// The bytes of the corpus file `folder/name`.
std::vector<std::uint8_t> corpusBytes(const std::string& folder, const std::string& name);

// The first rule a decoded picture breaks, "" when it keeps them all: it holds pixels, its
// depth is 1, 4, 8 or 24, its buffer is exactly width x height pixels, a palette picture has
// exactly 1 << depth entries and every index is inside it.
std::string imageFault(const Image& image);

// Every proper prefix of `file` from `from` bytes up to `upTo` (0: the whole file) is refused
// with a reason, and nothing is printed on the terminal.
using Decoder = bool (*)(std::span<const std::uint8_t>, Image&, std::string&);
void expectPrefixesFail(Decoder decode, const std::vector<std::uint8_t>& file, std::size_t from = 0,
                        std::size_t upTo = 0);

// `file` is refused silently within a second (before any pixel is allocated), with a reason
// that contains `reason`.
void expectRefusedAtOnce(Decoder decode, const std::vector<std::uint8_t>& file,
                         std::string_view reason = "");

// `file`, named as a JPEG, is recognised by its content as `type`; the probe's facts (w x h,
// bpp) are those of the decode.
void expectRecognised(const std::vector<std::uint8_t>& file, std::uint32_t type, std::uint16_t bpp,
                      std::uint32_t w, std::uint32_t h);

// The corpus file `rel` ("tif/x.tif") decoded; a refusal fails the test.
Image corpusImage(const std::string& rel, Decoder decode);

// Rounded v * 255 / maxval: a sample of 0..maxval widened or narrowed to 8 bits.
inline std::uint8_t to8(std::uint64_t v, std::uint64_t maxval) {
    return static_cast<std::uint8_t>((v * 255 * 2 + maxval) / (2 * maxval));
}

inline Rgb grayRgb(int v) {
    const auto c = static_cast<std::uint8_t>(v);
    return Rgb{c, c, c};
}
// "(r,g,b)", for failure messages.
std::string show(const Rgb& c);

} // namespace folio::test

// Skips the current test when the shared corpus is not beside the repository.
#define FOLIO_REQUIRE_CORPUS()                                                                     \
    do {                                                                                           \
        if (::folio::test::corpusDir().empty())                                                    \
            GTEST_SKIP() << "shared image corpus not found (set FOLIO_CORPUS)";                    \
    } while (0)

namespace folio::test {

struct Color {
    std::uint8_t r, g, b;
};

// Uncompressed bottom-up BMP files, written by hand so that tests depend on no encoder.
std::vector<std::uint8_t> bmp24(std::uint32_t w, std::uint32_t h,
                                Color (*pixel)(std::uint32_t x, std::uint32_t y));
std::vector<std::uint8_t> bmp8(std::uint32_t w, std::uint32_t h, const std::vector<Color>& palette,
                               std::uint8_t (*index)(std::uint32_t x, std::uint32_t y));
// A 24-bit PNG in stored (uncompressed) deflate blocks, written by hand: chunk by chunk, so
// a test can damage one and repair its CRC.
std::vector<std::uint8_t> png24(std::uint32_t w, std::uint32_t h,
                                Color (*pixel)(std::uint32_t x, std::uint32_t y));
// png24 with its pixel data broken (the stored block's length check fails, the chunk's CRC
// is repaired): every header is sound, the picture does not decode.
std::vector<std::uint8_t> png24BrokenData(std::uint32_t w, std::uint32_t h);

// What a JPEG stream says about itself, and its pixels, read with libjpeg.
struct JpegFacts {
    bool ok = false;
    std::uint32_t width = 0, height = 0;
    int components = 0;
    std::vector<int> lumaTable;                       // the first quantisation table, natural order
    int densityUnit = -1, xDensity = 0, yDensity = 0; // unit -1: no JFIF marker
    std::vector<std::uint8_t> pixels;                 // rows top to bottom, `components` a pixel
};
JpegFacts readJpegFacts(const std::vector<std::uint8_t>& jpeg);
// The IJG luminance table scaled for quality q (1..100), without baseline clamping.
std::vector<int> ijgLumaTable(int quality);

} // namespace folio::test
