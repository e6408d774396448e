// PGX, the one-component raw format of the JPEG 2000 conformance material. Always decoded
// as a gray picture: 1-bit samples stay bilevel, up to 8 bits gray levels, deeper ones true
// colour (the gray level in all three channels).
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <algorithm>

namespace folio::codecs::pgx {

namespace {
using detail::isDigit;
using detail::isSpace;

class HeaderScanner {
  public:
    explicit HeaderScanner(Bytes data) : data_(data) {}

    std::size_t pos() const { return pos_; }
    bool more() const { return pos_ < data_.size(); }
    std::uint8_t peek() const { return data_[pos_]; }
    void advance() { ++pos_; }

    // Spaces and tabs only: the header is one line.
    void blanks() {
        while (pos_ < data_.size() && (data_[pos_] == ' ' || data_[pos_] == '\t'))
            ++pos_;
    }

    bool number(std::uint32_t& v, std::uint32_t limit) {
        blanks();
        if (!more() || !isDigit(peek())) return false;
        std::uint64_t acc = 0;
        for (int digits = 0; more() && isDigit(peek()); ++digits) {
            if (digits >= 9) return false;
            acc = acc * 10 + (peek() - '0');
            advance();
        }
        if (acc > limit) return false;
        v = static_cast<std::uint32_t>(acc);
        return true;
    }

  private:
    Bytes data_;
    std::size_t pos_ = 0;
};

struct Layout {
    bool bigEndian = false, isSigned = false;
    std::uint32_t depth = 0, width = 0, height = 0;
    std::size_t sampleBytes = 0, start = 0;
    std::uint16_t bpp() const { return depth == 1 ? 1 : depth <= 8 ? 8 : 24; }
};

bool readLayout(Bytes data, Layout& l, DecodeError& err) {
    HeaderScanner s(data);
    if (!sniff(data)) return detail::notThisFormat(err, "not a PGX file");
    s.advance();
    s.advance();
    s.blanks();
    if (data.size() - s.pos() >= 2 && data[s.pos()] == 'M' && data[s.pos() + 1] == 'L')
        l.bigEndian = true;
    else if (data.size() - s.pos() >= 2 && data[s.pos()] == 'L' && data[s.pos() + 1] == 'M')
        l.bigEndian = false;
    else
        return detail::notThisFormat(err, "not a PGX file");
    s.advance();
    s.advance();
    s.blanks();
    if (s.more() && (s.peek() == '+' || s.peek() == '-')) {
        l.isSigned = s.peek() == '-';
        s.advance();
    }
    if (!s.number(l.depth, 31) || l.depth == 0 || !s.number(l.width, kMaxImageSide * 10u) ||
        !s.number(l.height, kMaxImageSide * 10u))
        return detail::damaged(err, "bad PGX header");
    // The header ends with one line break.
    s.blanks();
    if (!s.more() || !isSpace(s.peek())) return detail::damaged(err, "bad PGX header");
    const bool cr = s.peek() == '\r';
    s.advance();
    if (!detail::sizeAllowed(l.width, l.height)) return detail::overLimits(err, "bad PGX size");

    l.sampleBytes = l.depth <= 8 ? 1 : l.depth <= 16 ? 2 : 4;
    const std::size_t need = std::size_t{l.width} * l.height * l.sampleBytes;
    l.start = s.pos();
    if (cr && data.size() - l.start > need && data[l.start] == '\n') ++l.start;
    if (data.size() - l.start < need) return detail::truncated(err, "truncated PGX data");
    return true;
}

} // namespace

bool sniff(Bytes data) {
    return data.size() >= 3 && data[0] == 'P' && data[1] == 'G' &&
           (data[2] == ' ' || data[2] == '\t');
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    return detail::probeLayout(data, facts, err, readLayout);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    Layout l;
    if (!readLayout(data, l, err)) return false;
    const bool bigEndian = l.bigEndian, isSigned = l.isSigned;
    const std::uint32_t depth = l.depth;
    const std::size_t sampleBytes = l.sampleBytes;
    const std::size_t count = std::size_t{l.width} * l.height;
    const std::size_t start = l.start;

    const bool wide = l.bpp() == 24;
    if (!detail::create(out, l.width, l.height, l.bpp(), err)) return false;
    out.SetGrayPalette();
    const std::uint8_t* src = data.data() + start;
    const std::uint64_t maxval = (std::uint64_t{1} << depth) - 1;
    const std::int64_t offset = isSigned ? std::int64_t{1} << (depth - 1) : 0;
    std::uint8_t* dst = out.Pixels().data();
    for (std::size_t i = 0; i < count; ++i, src += sampleBytes) {
        std::uint32_t raw = 0;
        for (std::size_t b = 0; b < sampleBytes; ++b) {
            const std::uint32_t byte = bigEndian ? src[b] : src[sampleBytes - 1 - b];
            raw = (raw << 8) | byte;
        }
        std::int64_t v = raw;
        if (isSigned) {
            // Sign-extend from the container width, then shift into 0..maxval.
            const unsigned bits = static_cast<unsigned>(sampleBytes * 8);
            if (bits < 64 && (raw >> (bits - 1)) & 1u) v -= std::int64_t{1} << bits;
            v += offset;
        }
        const std::uint64_t u =
            v < 0 ? 0 : std::min<std::uint64_t>(static_cast<std::uint64_t>(v), maxval);
        if (depth == 1)
            dst[i] = u ? 1 : 0;
        else if (depth <= 8 && maxval == 255)
            dst[i] = static_cast<std::uint8_t>(u);
        else if (wide)
            dst[i * 3] = dst[i * 3 + 1] = dst[i * 3 + 2] =
                static_cast<std::uint8_t>((u * 255 + maxval / 2) / maxval);
        else
            dst[i] = static_cast<std::uint8_t>((u * 255 + maxval / 2) / maxval);
    }
    return true;
}

} // namespace folio::codecs::pgx
