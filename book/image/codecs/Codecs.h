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

// What a decoder knows of a picture before its first row: size, stored depth (8: gray
// levels, 24: R G B) and resolution (0: not given).
struct PictureFacts {
    std::uint32_t width = 0, height = 0;
    std::uint16_t bpp = 0;
    std::uint32_t xDpi = 0, yDpi = 0;
};

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

} // namespace folio::codecs
