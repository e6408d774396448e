// The table of image formats: for each image type its codec (decoder, header probe and
// content sniff) and its place in recognition by content. The loader, the header probe,
// the fuzz targets and the table-driven tests all read it; a new format is one row here
// and one codec file.
#pragma once

#include "book/image/codecs/Codecs.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace folio::codecs {

struct Format {
    std::uint32_t type = kFormatNone;
    // The codec's short name (its fuzz target); "" for a type without a decoder.
    std::string_view codec;
    DecodeFn decode = nullptr;
    ProbeFn probe = nullptr;
    SniffFn sniff = nullptr;
    // Members of the JPEG 2000 family share one decoder that tells them apart by content:
    // a file of any member type goes through every member codec, in table order.
    bool family = false;
    // Place in recognition by content (1 first); 0: only reached through the family.
    int recognition = 0;
};

// Every image type 1 to 18, in type order.
std::span<const Format> formats();
// The row of an image type; nullptr for 0 and unknown types.
const Format* formatOf(std::uint32_t type);
// One row per codec (the family's members each once), for fuzzing and tests.
std::span<const Format* const> codecs();

// The loader's sequence over a file already in memory: the named type's decoder first, then
// recognition by content in the fixed order; `type` gets the type the picture was decoded
// as. On failure the reason is the named decoder's (or "not a recognised image").
bool decodeAny(Bytes data, std::uint32_t namedType, Image& out, std::uint32_t& type,
               DecodeError& err);
// The same sequence with the header probes: the facts decodeAny would give.
bool probeAny(Bytes data, std::uint32_t namedType, PictureFacts& facts, std::uint32_t& type,
              DecodeError& err);

} // namespace folio::codecs
