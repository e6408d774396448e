// Sun raster files: 1, 8, 24 and 32 bits, raw or byte-run encoded, with an optional
// colour map.
#include "book/image/ByteReader.h"
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <algorithm>
#include <array>
#include <vector>

namespace folio::codecs::ras {

namespace {

constexpr std::uint32_t kMagic = 0x59A66A95;
enum : std::uint32_t { kOld = 0, kStandard = 1, kByteEncoded = 2, kRgbFormat = 3 };
enum : std::uint32_t { kNoMap = 0, kRgbMap = 1, kRawMap = 2 };

// Hands out the image bytes one at a time, expanding runs when the file is encoded.
class ByteSource {
  public:
    ByteSource(ByteReader& r, bool encoded) : r_(r), encoded_(encoded) {}

    // Fills dst; false when the data ends first.
    bool read(std::uint8_t* dst, std::size_t n) {
        if (!encoded_) {
            auto s = r_.take(n);
            if (!r_.ok()) return false;
            std::copy(s.begin(), s.end(), dst);
            return true;
        }
        while (n > 0) {
            if (runLeft_ == 0) {
                const std::uint8_t b = r_.u8();
                if (b != 0x80) {
                    runValue_ = b;
                    runLeft_ = 1;
                } else {
                    const std::uint8_t count = r_.u8();
                    if (count == 0) {
                        runValue_ = 0x80;
                        runLeft_ = 1;
                    } else {
                        runValue_ = r_.u8();
                        runLeft_ = std::size_t{count} + 1;
                    }
                }
                if (!r_.ok()) return false;
            }
            const std::size_t k = std::min(n, runLeft_);
            std::fill_n(dst, k, runValue_);
            dst += k;
            n -= k;
            runLeft_ -= k;
        }
        return true;
    }

  private:
    ByteReader& r_;
    bool encoded_;
    std::size_t runLeft_ = 0;
    std::uint8_t runValue_ = 0;
};

struct Layout {
    std::uint32_t width = 0, height = 0, depth = 0, type = 0, mapType = 0, mapLength = 0;
    Bytes map;
    std::size_t rowBytes = 0, dataStart = 0;
    std::uint16_t bpp() const { return depth == 1 ? 1 : depth == 8 ? 8 : 24; }
};

bool readLayout(Bytes data, Layout& l, DecodeError& err) {
    ByteReader r(data);
    const std::uint32_t magic = r.u32be();
    l.width = r.u32be();
    l.height = r.u32be();
    l.depth = r.u32be();
    r.skip(4); // the data length is often zero or wrong, and not needed
    l.type = r.u32be();
    l.mapType = r.u32be();
    l.mapLength = r.u32be();
    if (!r.ok() || magic != kMagic) return detail::notThisFormat(err, "not a Sun raster file");
    if (l.depth != 1 && l.depth != 8 && l.depth != 24 && l.depth != 32)
        return detail::unsupported(err, "unsupported Sun raster depth");
    if (l.type > kRgbFormat) return detail::unsupported(err, "unsupported Sun raster type");
    if (l.mapType > kRawMap) return detail::unsupported(err, "unsupported Sun raster colour map");
    if (!detail::sizeAllowed(l.width, l.height))
        return detail::overLimits(err, "bad Sun raster size");
    l.map = r.take(l.mapLength);
    if (!r.ok()) return detail::truncated(err, "truncated Sun raster colour map");

    // Rows are padded to 16 bits.
    l.rowBytes = (std::size_t{l.width} * l.depth + 15) / 16 * 2;
    const bool encoded = l.type == kByteEncoded;
    // Raw rows must all be present; a run of at most 256 bytes costs three.
    const std::size_t total = l.rowBytes * l.height;
    if (!encoded && r.remaining() < total)
        return detail::truncated(err, "truncated Sun raster data");
    if (encoded && r.remaining() < (total + 255) / 256 * 3)
        return detail::truncated(err, "truncated Sun raster data");
    l.dataStart = r.pos();
    return true;
}

} // namespace

bool sniff(Bytes data) {
    ByteReader r(data);
    return r.u32be() == kMagic && r.ok();
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    return detail::probeLayout(data, facts, err, readLayout);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    Layout l;
    if (!readLayout(data, l, err)) return false;
    const std::uint32_t width = l.width, height = l.height, depth = l.depth, type = l.type;
    const std::uint32_t mapType = l.mapType, mapLength = l.mapLength;
    const Bytes map = l.map;
    const std::size_t rowBytes = l.rowBytes;
    const bool encoded = type == kByteEncoded;
    ByteReader r(data);
    r.seek(l.dataStart);

    const std::size_t entries = mapType == kRgbMap ? std::min<std::size_t>(mapLength / 3, 256) : 0;
    const bool useMap = depth <= 8 && entries >= 2;
    if (!detail::create(out, width, height, l.bpp(), err)) return false;
    if (useMap) {
        std::array<Rgb, 256> pal{};
        const std::size_t plane = mapLength / 3;
        for (std::size_t i = 0; i < entries; ++i)
            pal[i] = Rgb{map[i], map[plane + i], map[2 * plane + i]};
        out.SetPalette(pal);
    } else if (depth == 1) {
        detail::setBilevelPalette(out);
    } else if (depth == 8) {
        out.SetGrayPalette();
    }

    ByteSource src(r, encoded);
    std::vector<std::uint8_t> row(rowBytes);
    const bool rgbOrder = type == kRgbFormat;
    for (std::uint32_t y = 0; y < height; ++y) {
        if (!src.read(row.data(), rowBytes))
            return detail::truncated(err, "truncated Sun raster data");
        std::uint8_t* dst = out.Row(y);
        if (depth == 1) {
            for (std::uint32_t x = 0; x < width; ++x) {
                const unsigned bit = (row[x / 8] >> (7 - x % 8)) & 1u;
                // Without a map a set bit is black; ours has white at index 1.
                dst[x] = static_cast<std::uint8_t>(useMap ? bit : bit ^ 1u);
            }
        } else if (depth == 8) {
            std::copy_n(row.data(), width, dst);
        } else {
            const std::size_t step = depth / 8, skip = depth == 32 ? 1 : 0;
            for (std::uint32_t x = 0; x < width; ++x) {
                const std::uint8_t* p = row.data() + x * step + skip;
                dst[x * 3] = rgbOrder ? p[0] : p[2];
                dst[x * 3 + 1] = p[1];
                dst[x * 3 + 2] = rgbOrder ? p[2] : p[0];
            }
        }
    }
    return true;
}

} // namespace folio::codecs::ras
