// Icons and cursors: a directory of images, each a PNG stream or a headerless DIB. The image
// shown is the largest one, the deepest among equally large ones.
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include "book/image/ByteReader.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

namespace folio::codecs::ico {

namespace {

constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

struct Entry {
    Bytes data;
    std::uint64_t area = 0;
    unsigned depth = 0;
};

bool isPng(Bytes d) {
    return d.size() >= 8 &&
           std::equal(std::begin(kPngSignature), std::end(kPngSignature), d.begin());
}

// Size and depth from the entry's own header, which is what gets decoded: the directory's
// bytes are often stale (0 depth for PNGs, hotspots for cursors, 256 clipped to 0). False
// when the header cannot be read; the directory values are used then.
bool peekEntry(Bytes d, std::uint64_t& area, unsigned& depth) {
    ByteReader r(d);
    if (isPng(d)) {
        r.skip(8 + 8); // signature, IHDR length and type
        const std::uint64_t w = r.u32be(), h = r.u32be();
        const unsigned bits = r.u8(), colourType = r.u8();
        if (!r.ok()) return false;
        static constexpr unsigned kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
        area = w * h;
        depth = bits * (colourType < 7 ? kChannels[colourType] : 0);
        return true;
    }
    const std::uint32_t headerSize = r.u32le();
    std::uint64_t w = 0, h = 0;
    if (headerSize == 12) {
        w = r.u16le();
        h = r.u16le() / 2u;
    } else {
        const std::int32_t sw = r.i32le(), sh = r.i32le();
        w = sw < 0 ? 0 : static_cast<std::uint64_t>(sw);
        h = (sh < 0 ? -static_cast<std::int64_t>(sh) : sh) / 2;
    }
    r.u16le(); // planes
    depth = r.u16le();
    if (!r.ok()) return false;
    area = w * h;
    return true;
}

// The directory's entries in the order they are tried: largest first, deepest among
// equally large ones.
bool readDirectory(Bytes data, std::vector<Entry>& entries, DecodeError& err) {
    ByteReader r(data);
    const std::uint16_t reserved = r.u16le(), type = r.u16le(), count = r.u16le();
    if (!r.ok()) return detail::truncated(err, "truncated icon header");
    if (reserved != 0 || (type != 1 && type != 2) || count == 0)
        return detail::notThisFormat(err, "not an icon file");

    if (6 + 16 * std::size_t{count} > data.size())
        return detail::truncated(err, "truncated icon directory");
    entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t dirW = r.u8(), dirH = r.u8();
        r.skip(4); // colour count, reserved, planes
        const unsigned dirDepth = r.u16le();
        const std::uint64_t size = r.u32le(), offset = r.u32le();
        if (!r.ok()) return detail::truncated(err, "truncated icon directory");
        // A directory pointing outside the file means the file was cut or lies.
        if (size == 0 || offset > data.size() || size > data.size() - offset)
            return detail::truncated(err, "icon entry outside the file");
        Entry e;
        e.data = data.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
        if (!peekEntry(e.data, e.area, e.depth)) {
            e.area = (dirW == 0 ? 256 : dirW) * (dirH == 0 ? 256 : dirH);
            e.depth = dirDepth;
        }
        entries.push_back(e);
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.area != b.area ? a.area > b.area : a.depth > b.depth;
    });
    return true;
}

bool decodeEntry(const Entry& e, Image& out, DecodeError& err) {
    return isPng(e.data) ? png::decode(e.data, out, err) : bmp::decodeIconDib(e.data, out, err);
}

// Whether an entry's header alone settles that it decodes: true for an uncompressed DIB,
// whose pixels are all checked present; run-length DIBs and PNG streams can still fail in
// their data.
bool headerSettles(const Entry& e) {
    if (isPng(e.data) || e.data.size() < 20) return false;
    ByteReader r(e.data);
    const std::uint32_t headerSize = r.u32le();
    if (headerSize < 40) return true;
    r.skip(12);
    const std::uint32_t compression = r.u32le();
    return r.ok() && compression != 1 && compression != 2;
}

// The first error of the entries tried, as the user reads it.
bool firstFailure(const DecodeError& first, DecodeError& err) {
    if (first.detail.empty()) return detail::damaged(err, "bad icon image");
    err = first;
    return false;
}

} // namespace

bool sniff(Bytes data) {
    return data.size() >= 6 && data[0] == 0 && data[1] == 0 && (data[2] == 1 || data[2] == 2) &&
           data[3] == 0;
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    std::vector<Entry> entries;
    if (!readDirectory(data, entries, err)) return false;
    DecodeError first;
    bool tried = false;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        DecodeError why;
        PictureFacts f;
        const bool ok =
            isPng(e.data) ? png::probe(e.data, f, why) : bmp::probeIconDib(e.data, f, why);
        // When a later entry could stand in for this one, only a full decode of this (small)
        // entry tells which of them the decoder shows.
        Image check;
        if (ok && (i + 1 == entries.size() || headerSettles(e) || decodeEntry(e, check, why))) {
            facts = f;
            return true;
        }
        if (!tried) first = why, tried = true;
    }
    return firstFailure(first, err);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    std::vector<Entry> entries;
    if (!readDirectory(data, entries, err)) return false;
    DecodeError first;
    bool tried = false;
    for (const Entry& e : entries) {
        Image decoded;
        DecodeError why;
        if (decodeEntry(e, decoded, why) && decoded.IsValid()) {
            out = std::move(decoded);
            return true;
        }
        if (!tried) first = why, tried = true;
    }
    return firstFailure(first, err);
}

} // namespace folio::codecs::ico
