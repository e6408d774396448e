// The decoders and the JPEG encoder behind Image. Every decoder takes the whole file as an
// untrusted span and, on success, fills `out` (a fresh Image) and returns true; on failure it
// returns false with a short reason in `err` and leaves `out` in any state (the caller drops it).
#pragma once

#include "book/image/Image.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace folio::codecs {

using Bytes = std::span<const std::uint8_t>;

// Why a decode or a header probe refused a file. The detail is the text users read (the
// loader's last error, the skipped-page list); the reason is for callers that act on it.
enum class DecodeReason : std::uint8_t {
    Truncated,     // the file ends before what its structure announces
    OverLimits,    // past the size, memory or work limits
    NotThisFormat, // the content is not this decoder's format at all
    Unsupported,   // this format, in a variant we do not decode
    Damaged,       // this format, but its data contradicts itself
    OutOfMemory,
    CannotRead, // the file could not be opened or read
};

struct DecodeError {
    DecodeReason reason = DecodeReason::Damaged;
    std::string detail;
};

// What a decoder knows of a picture before its first row: size, stored depth (1, 4, 8 or 24)
// and resolution (0: not given; header probes leave it so).
struct PictureFacts {
    std::uint32_t width = 0, height = 0;
    std::uint16_t bpp = 0;
    std::uint32_t xDpi = 0, yDpi = 0;
    // How the rows a RowSink is handed turn upright (Image::Orient); a probe's facts and a
    // decoded Image are upright already.
    std::uint8_t orientation = 1;
};

// Every codec has the same three entry points, listed once in the format table (Formats.h):
//   decode: the whole file to a fresh Image;
//   probe:  headers and tables only, never pixel data: the width, height and stored depth
//           decode would give, under the same limits; refuses wherever the file's structure
//           already shows that decode must fail (cut short, past the limits, wrong format);
//   sniff:  a cheap look at the first bytes, true for every file that decode could accept.
using DecodeFn = bool (*)(Bytes data, Image& out, DecodeError& err);
using ProbeFn = bool (*)(Bytes data, PictureFacts& facts, DecodeError& err);
using SniffFn = bool (*)(Bytes data);

#define FOLIO_CODEC(ns)                                                                            \
    namespace ns {                                                                                 \
    bool decode(Bytes data, Image& out, DecodeError& err);                                         \
    bool probe(Bytes data, PictureFacts& facts, DecodeError& err);                                 \
    bool sniff(Bytes data);                                                                        \
    }
FOLIO_CODEC(bmp)
FOLIO_CODEC(ico)
FOLIO_CODEC(jpeg)
FOLIO_CODEC(gif)
FOLIO_CODEC(png)
FOLIO_CODEC(tiff)
FOLIO_CODEC(tga)
FOLIO_CODEC(pcx)
FOLIO_CODEC(wbmp)
FOLIO_CODEC(jpeg2000) // JP2 files and raw JPEG 2000 code streams
FOLIO_CODEC(pgx)
FOLIO_CODEC(pnm)
FOLIO_CODEC(ras)
FOLIO_CODEC(webp)
FOLIO_CODEC(heif)     // HEIF and AVIF
FOLIO_CODEC(jxl)      // JPEG XL
FOLIO_CODEC(metafile) // WMF and EMF
#undef FOLIO_CODEC
namespace bmp {
// A device-independent bitmap without its file header, as stored in ICO/CUR entries.
bool decodeIconDib(Bytes data, Image& out, DecodeError& err);
bool probeIconDib(Bytes data, PictureFacts& facts, DecodeError& err);
} // namespace bmp

// The same decoders with the reason as text only, for callers that just report it.
bool decodeBmp(Bytes data, Image& out, std::string& err);
// A device-independent bitmap without its file header, as stored in ICO/CUR entries: the
// height counts both the colour image and its AND mask, which is skipped.
bool decodeIconDib(Bytes data, Image& out, std::string& err);
bool decodeJpeg(Bytes data, Image& out, std::string& err);
// A quicker, inexact JPEG decode for pictures that are scaled down afterwards: reduced in the
// DCT domain (1/2, 1/4 or 1/8) while the shorter side stays at least shortSide, and, with
// grayOnly, a colour file's luma alone.
struct JpegReduction {
    std::uint32_t shortSide = 0; // 0: full size
    bool grayOnly = false;
};
bool decodeJpegReduced(Bytes data, const JpegReduction& reduce, Image& out, std::string& err);

// Takes a decoder's rows top to bottom instead of a whole Image, so that a consumer can use
// each row while it is still in cache and never hold the full picture.
class RowSink {
  public:
    virtual ~RowSink() = default;
    // False (with a reason) refuses the picture before any row is decoded.
    virtual bool begin(const PictureFacts& facts, std::string& err) = 0;
    // Where row y goes (width * bpp / 8 bytes); then told the row is complete.
    virtual std::uint8_t* rowBuffer(std::uint32_t y) = 0;
    virtual void rowDone(std::uint32_t y) = 0;
};
bool decodeJpegRows(Bytes data, const JpegReduction& reduce, RowSink& sink, std::string& err);
namespace jpeg {
bool decodeRows(Bytes data, const JpegReduction& reduce, RowSink& sink, DecodeError& err);
}
bool decodeIco(Bytes data, Image& out, std::string& err);
bool decodeGif(Bytes data, Image& out, std::string& err);
bool decodePng(Bytes data, Image& out, std::string& err);
bool decodeTiff(Bytes data, Image& out, std::string& err);
bool decodeTga(Bytes data, Image& out, std::string& err);
bool decodePcx(Bytes data, Image& out, std::string& err);
bool decodeWbmp(Bytes data, Image& out, std::string& err);
// JP2 files and raw JPEG 2000 code streams.
bool decodeJpeg2000(Bytes data, Image& out, std::string& err);
bool decodePgx(Bytes data, Image& out, std::string& err);
bool decodePnm(Bytes data, Image& out, std::string& err);
bool decodeRas(Bytes data, Image& out, std::string& err);

// JPEG writer: quality 0 is taken as 1. `image` is 8-bit gray ramp or 24-bit.
bool encodeJpeg(const Image& image, int quality, std::vector<std::uint8_t>& out, std::string& err);
// The JPEG library this build decodes and encodes with, as "NAME=VERSION": encoded pages may
// change with it, so whatever keeps them keys on it.
std::string jpegLibraryIdentity();

} // namespace folio::codecs
