// Netpbm: PBM, PGM and PPM in plain (P1-P3) and raw (P4-P6) form, and PAM (P7).
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <algorithm>
#include <string_view>

namespace folio::codecs::pnm {

namespace {
using detail::isDigit;
using detail::isSpace;

// Numbers past this saturate: no header value or sample we accept comes near it.
constexpr std::uint64_t kSaturate = 1ull << 40;

class Scanner {
  public:
    explicit Scanner(Bytes data) : data_(data) {}

    std::size_t pos() const { return pos_; }
    std::size_t remaining() const { return data_.size() - pos_; }
    bool atEnd() const { return pos_ >= data_.size(); }
    std::uint8_t peek() const { return data_[pos_]; }
    const std::uint8_t* here() const { return data_.data() + pos_; }
    void advance(std::size_t n) { pos_ += n; }

    // Skips white space and '#' comments (to the end of their line).
    void skipSpace() {
        while (pos_ < data_.size()) {
            const std::uint8_t c = data_[pos_];
            if (c == '#') {
                while (pos_ < data_.size() && data_[pos_] != '\n' && data_[pos_] != '\r')
                    ++pos_;
            } else if (isSpace(c)) {
                ++pos_;
            } else {
                break;
            }
        }
    }

    // An unsigned decimal number after optional space; false when none is there.
    bool number(std::uint64_t& v) {
        skipSpace();
        if (pos_ >= data_.size() || !isDigit(data_[pos_])) return false;
        v = 0;
        while (pos_ < data_.size() && isDigit(data_[pos_])) {
            v = std::min<std::uint64_t>(v * 10 + (data_[pos_] - '0'), kSaturate);
            ++pos_;
        }
        return true;
    }

    // A header word (PAM keywords and values): non-space characters up to the line's end.
    std::string_view word() {
        while (pos_ < data_.size() && (data_[pos_] == ' ' || data_[pos_] == '\t'))
            ++pos_;
        const std::size_t start = pos_;
        while (pos_ < data_.size() && !isSpace(data_[pos_]))
            ++pos_;
        return {reinterpret_cast<const char*>(data_.data()) + start, pos_ - start};
    }

    void skipLine() {
        while (pos_ < data_.size() && data_[pos_] != '\n')
            ++pos_;
        if (pos_ < data_.size()) ++pos_;
    }

  private:
    Bytes data_;
    std::size_t pos_ = 0;
};

enum class Kind { Bilevel, Gray, Color };

struct Layout {
    Kind kind = Kind::Gray;
    std::uint64_t width = 0, height = 0, maxval = 0;
    unsigned channels = 1; // samples per pixel in the file (PAM may carry alpha)
    bool plain = false;
    bool pbmBits = false; // P1/P4: 1 means black
};

bool parseClassicHeader(Scanner& s, char magic, Layout& l, DecodeError& err) {
    l.plain = magic <= '3';
    l.kind = (magic == '1' || magic == '4')   ? Kind::Bilevel
             : (magic == '2' || magic == '5') ? Kind::Gray
                                              : Kind::Color;
    l.channels = l.kind == Kind::Color ? 3 : 1;
    l.pbmBits = l.kind == Kind::Bilevel;
    if (!s.number(l.width) || !s.number(l.height)) return detail::damaged(err, "bad PNM header");
    l.maxval = 1;
    if (l.kind != Kind::Bilevel && !s.number(l.maxval))
        return detail::damaged(err, "bad PNM header");
    if (l.plain) return true;
    // Exactly one white space character separates the header from raw samples.
    if (s.atEnd() || !isSpace(s.peek())) return detail::damaged(err, "bad PNM header");
    s.advance(1);
    return true;
}

bool parsePamHeader(Scanner& s, Layout& l, DecodeError& err) {
    std::string_view tuple;
    bool haveDepth = false;
    std::uint64_t depth = 0;
    for (int lines = 0; lines < 1000; ++lines) {
        s.skipSpace();
        if (s.atEnd()) return detail::damaged(err, "bad PAM header");
        const std::string_view key = s.word();
        if (key == "ENDHDR") {
            s.skipLine();
            if (l.width == 0 || l.height == 0 || l.maxval == 0 || !haveDepth)
                return detail::damaged(err, "bad PAM header");
            if (tuple.empty()) tuple = depth >= 3 ? "RGB" : "GRAYSCALE";
            if (tuple == "BLACKANDWHITE" || tuple == "BLACKANDWHITE_ALPHA") {
                l.kind = Kind::Bilevel;
                if (depth < (tuple == "BLACKANDWHITE" ? 1u : 2u))
                    return detail::damaged(err, "bad PAM depth");
            } else if (tuple == "GRAYSCALE" || tuple == "GRAYSCALE_ALPHA") {
                l.kind = Kind::Gray;
                if (depth < (tuple == "GRAYSCALE" ? 1u : 2u))
                    return detail::damaged(err, "bad PAM depth");
            } else if (tuple == "RGB" || tuple == "RGB_ALPHA") {
                l.kind = Kind::Color;
                if (depth < (tuple == "RGB" ? 3u : 4u))
                    return detail::damaged(err, "bad PAM depth");
            } else {
                return detail::unsupported(err, "unsupported PAM tuple type");
            }
            if (depth > 16) return detail::damaged(err, "bad PAM depth");
            l.channels = static_cast<unsigned>(depth);
            l.plain = false;
            l.pbmBits = false; // in PAM 1 is white
            return true;
        }
        if (key == "TUPLTYPE") {
            tuple = s.word();
            s.skipLine();
            continue;
        }
        std::uint64_t v = 0;
        if (key == "WIDTH" && s.number(v))
            l.width = v;
        else if (key == "HEIGHT" && s.number(v))
            l.height = v;
        else if (key == "MAXVAL" && s.number(v))
            l.maxval = v;
        else if (key == "DEPTH" && s.number(v))
            depth = v, haveDepth = true;
        else
            return detail::damaged(err, "bad PAM header");
        s.skipLine();
    }
    return detail::damaged(err, "bad PAM header");
}

// Stores one sample (already in 0..maxval or above) at pixel index i, channel c.
struct Writer {
    const Layout& l;
    std::uint8_t* pixels;
    bool wideGray; // gray levels written to all three channels of a true-colour picture

    void put(std::size_t i, unsigned c, std::uint64_t v) {
        if (c >= (l.kind == Kind::Color ? 3u : 1u)) return; // alpha and extra channels
        if (l.kind == Kind::Bilevel) {
            const bool one = v != 0;
            pixels[i] = (one != l.pbmBits) ? 1 : 0; // index 1 is white
        } else if (l.kind == Kind::Gray) {
            const std::uint8_t level =
                detail::scaleTo8(static_cast<std::uint32_t>(std::min(v, l.maxval)),
                                 static_cast<std::uint32_t>(l.maxval));
            if (wideGray)
                pixels[i * 3] = pixels[i * 3 + 1] = pixels[i * 3 + 2] = level;
            else
                pixels[i] = level;
        } else {
            pixels[i * 3 + c] = detail::scaleTo8(static_cast<std::uint32_t>(std::min(v, l.maxval)),
                                                 static_cast<std::uint32_t>(l.maxval));
        }
    }
};

// The header and the size checks: what probe and decode share.
bool readLayout(Bytes data, Layout& l, std::size_t& dataStart, DecodeError& err) {
    if (!sniff(data)) return detail::notThisFormat(err, "not a PNM file");
    const char magic = static_cast<char>(data[1]);
    Scanner s(data);
    s.advance(2);
    if (magic == '7' ? !parsePamHeader(s, l, err) : !parseClassicHeader(s, magic, l, err))
        return false;
    if (l.maxval < 1 || l.maxval > 65535) return detail::damaged(err, "bad PNM maximum value");
    if (!detail::sizeAllowed(l.width, l.height)) return detail::overLimits(err, "bad PNM size");

    const std::size_t samples = static_cast<std::size_t>(l.width * l.height) * l.channels;
    const std::size_t sampleBytes = l.maxval > 255 ? 2 : 1;
    const std::size_t rowBytes = (static_cast<std::size_t>(l.width) + 7) / 8;
    // Refuse short files before allocating: plain samples need a character each (and a
    // separator unless they are PBM digits), raw ones their full size.
    std::size_t minBytes = 0;
    if (l.plain)
        minBytes = l.kind == Kind::Bilevel ? samples : samples * 2 - 1;
    else if (l.pbmBits)
        minBytes = rowBytes * static_cast<std::size_t>(l.height);
    else
        minBytes = samples * sampleBytes;
    if (s.remaining() < minBytes) return detail::truncated(err, "truncated PNM data");
    dataStart = s.pos();
    return true;
}

// Samples deeper than 8 bits are kept as true colour, gray ones included.
std::uint16_t storedDepth(const Layout& l) {
    if (l.kind == Kind::Bilevel) return 1;
    if (l.kind == Kind::Gray && l.maxval <= 255) return 8;
    return 24;
}

} // namespace

bool sniff(Bytes data) {
    return data.size() >= 3 && data[0] == 'P' && data[1] >= '1' && data[1] <= '7' &&
           detail::isSpace(data[2]);
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    Layout l;
    std::size_t start = 0;
    return readLayout(data, l, start, err) &&
           detail::facts(facts, l.width, l.height, storedDepth(l), err);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    Layout l;
    std::size_t start = 0;
    if (!readLayout(data, l, start, err)) return false;
    Scanner s(data);
    s.advance(start);
    const std::size_t pixelCount = static_cast<std::size_t>(l.width * l.height);
    const std::size_t samples = pixelCount * l.channels;
    const bool pbmRaw = !l.plain && l.pbmBits;
    const std::size_t sampleBytes = l.maxval > 255 ? 2 : 1;
    const std::size_t rowBytes = (static_cast<std::size_t>(l.width) + 7) / 8;

    const std::uint16_t bpp = storedDepth(l);
    if (!detail::create(out, static_cast<std::uint32_t>(l.width),
                        static_cast<std::uint32_t>(l.height), bpp, err))
        return false;
    if (bpp == 1)
        detail::setBilevelPalette(out);
    else if (bpp == 8)
        out.SetGrayPalette();
    Writer w{l, out.Pixels().data(), bpp == 24};

    if (pbmRaw) {
        const std::uint8_t* src = s.here();
        for (std::size_t y = 0; y < l.height; ++y, src += rowBytes)
            for (std::size_t x = 0; x < l.width; ++x)
                w.put(y * l.width + x, 0, (src[x / 8] >> (7 - x % 8)) & 1u);
        return true;
    }
    if (!l.plain) {
        const std::uint8_t* src = s.here();
        for (std::size_t k = 0; k < samples; ++k) {
            const std::uint64_t v =
                sampleBytes == 2 ? (std::uint64_t{src[2 * k]} << 8) | src[2 * k + 1] : src[k];
            w.put(k / l.channels, static_cast<unsigned>(k % l.channels), v);
        }
        return true;
    }
    for (std::size_t k = 0; k < samples; ++k) {
        std::uint64_t v = 0;
        if (l.kind == Kind::Bilevel) {
            // Plain PBM digits need no separators.
            s.skipSpace();
            if (s.atEnd() || (s.peek() != '0' && s.peek() != '1'))
                return detail::truncated(err, "truncated PNM data");
            v = s.peek() - '0';
            s.advance(1);
        } else if (!s.number(v)) {
            return detail::truncated(err, "truncated PNM data");
        }
        w.put(k / l.channels, static_cast<unsigned>(k % l.channels), v);
    }
    return true;
}

} // namespace folio::codecs::pnm
