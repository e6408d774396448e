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
bool encodeJpeg(const Image& image, int quality, std::vector<std::uint8_t>& out,
                std::string& err);

} // namespace folio::codecs
