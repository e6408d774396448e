#include "book/image/codecs/Formats.h"

#include <algorithm>
#include <array>
#include <vector>

namespace folio::codecs {

namespace {

constexpr bool kFamily = true;

// clang-format off
constexpr std::array<Format, 18> kFormats{{
    // type         codec       decode            probe            sniff            family   recognition
    {kFormatBmp,  "bmp",      bmp::decode,      bmp::probe,      bmp::sniff,      false,   1},
    {kFormatGif,  "gif",      gif::decode,      gif::probe,      gif::sniff,      false,   4},
    {kFormatJpeg, "jpeg",     jpeg::decode,     jpeg::probe,     jpeg::sniff,     false,   2},
    {kFormatPng,  "png",      png::decode,      png::probe,      png::sniff,      false,   5},
    {kFormatIco,  "ico",      ico::decode,      ico::probe,      ico::sniff,      false,   3},
    {kFormatTiff, "tiff",     tiff::decode,     tiff::probe,     tiff::sniff,     false,   6},
    {kFormatTga,  "tga",      tga::decode,      tga::probe,      tga::sniff,      false,   7},
    {kFormatPcx,  "pcx",      pcx::decode,      pcx::probe,      pcx::sniff,      false,   8},
    {kFormatWbmp, "wbmp",     wbmp::decode,     wbmp::probe,     wbmp::sniff,     false,   9},
    {kFormatWmf,  "wmf",      metafile::decode, metafile::probe, metafile::sniff, false,   10},
    {kFormatJp2,  "jpeg2000", jpeg2000::decode, jpeg2000::probe, jpeg2000::sniff, kFamily, 11},
    {kFormatJpc,  "jpeg2000", jpeg2000::decode, jpeg2000::probe, jpeg2000::sniff, kFamily, 0},
    {kFormatPgx,  "pgx",      pgx::decode,      pgx::probe,      pgx::sniff,      kFamily, 0},
    {kFormatPnm,  "pnm",      pnm::decode,      pnm::probe,      pnm::sniff,      kFamily, 0},
    {kFormatRas,  "ras",      ras::decode,      ras::probe,      ras::sniff,      kFamily, 0},
    {kFormatWebp, "webp",     webp::decode,     webp::probe,     webp::sniff,     false,   12},
    {kFormatHeif, "heif",     heif::decode,     heif::probe,     heif::sniff,     false,   13},
    {kFormatJxl,  "jxl",      jxl::decode,      jxl::probe,      jxl::sniff,      false,   14},
}};
// clang-format on

// The family's member codecs, each once, in table order.
const std::vector<const Format*>& familyMembers() {
    static const std::vector<const Format*> members = [] {
        std::vector<const Format*> m;
        for (const Format& f : kFormats)
            if (f.family && std::none_of(m.begin(), m.end(),
                                         [&](const Format* g) { return g->codec == f.codec; }))
                m.push_back(&f);
        return m;
    }();
    return members;
}

const std::vector<const Format*>& recognitionOrder() {
    static const std::vector<const Format*> order = [] {
        std::vector<const Format*> o;
        for (const Format& f : kFormats)
            if (f.recognition > 0) o.push_back(&f);
        std::sort(o.begin(), o.end(),
                  [](const Format* a, const Format* b) { return a->recognition < b->recognition; });
        return o;
    }();
    return order;
}

// A format's own decoder, or for a family member the family's: every member in turn. When
// none succeeds, the reason is that of the member whose format the content is, if any (else
// the last member's): a damaged PNM file says what is wrong with it as a PNM file.
template <class Attempt> bool family(Bytes data, DecodeError& err, Attempt&& attempt) {
    DecodeError own;
    bool recognised = false;
    for (const Format* m : familyMembers()) {
        if (attempt(*m, err)) return true;
        if (!recognised && m->sniff(data)) own = err, recognised = true;
    }
    if (recognised) err = own;
    return false;
}

bool decodeAs(const Format& f, Bytes data, Image& out, DecodeError& err) {
    if (!f.family) return f.decode(data, out, err);
    return family(data, err, [&](const Format& m, DecodeError& e) {
        out = Image();
        return m.decode(data, out, e);
    });
}

bool probeAs(const Format& f, Bytes data, PictureFacts& facts, DecodeError& err) {
    if (!f.family) return f.probe(data, facts, err);
    return family(data, err,
                  [&](const Format& m, DecodeError& e) { return m.probe(data, facts, e); });
}

bool sniffAs(const Format& f, Bytes data) {
    if (!f.family) return f.sniff(data);
    return std::any_of(familyMembers().begin(), familyMembers().end(),
                       [&](const Format* m) { return m->sniff(data); });
}

// The loader's two steps with `attempt` standing for a decode or a probe.
template <class Attempt>
bool named(Bytes data, std::uint32_t namedType, std::uint32_t& type, DecodeError& err,
           Attempt&& attempt) {
    DecodeError first;
    if (const Format* f = formatOf(namedType)) {
        if (attempt(*f, first)) {
            type = namedType;
            return true;
        }
    }
    for (const Format* f : recognitionOrder()) {
        DecodeError ignored;
        if (sniffAs(*f, data) && attempt(*f, ignored)) {
            type = f->type;
            return true;
        }
    }
    err = first.detail.empty() ? DecodeError{DecodeReason::NotThisFormat, "not a recognised image"}
                               : first;
    return false;
}

bool asText(bool ok, const DecodeError& e, std::string& err) {
    if (!ok) err = e.detail;
    return ok;
}

} // namespace

std::span<const Format> formats() {
    return kFormats;
}

const Format* formatOf(std::uint32_t type) {
    for (const Format& f : kFormats)
        if (f.type == type) return &f;
    return nullptr;
}

std::span<const Format* const> codecs() {
    static const std::vector<const Format*> all = [] {
        std::vector<const Format*> c;
        for (const Format& f : kFormats)
            if (!f.codec.empty() && std::none_of(c.begin(), c.end(), [&](const Format* g) {
                    return g->codec == f.codec;
                }))
                c.push_back(&f);
        return c;
    }();
    return all;
}

bool decodeAny(Bytes data, std::uint32_t namedType, Image& out, std::uint32_t& type,
               DecodeError& err) {
    return named(data, namedType, type, err, [&](const Format& f, DecodeError& e) {
        Image decoded;
        if (!decodeAs(f, data, decoded, e) || !decoded.IsValid()) return false;
        out = std::move(decoded);
        return true;
    });
}

bool probeAny(Bytes data, std::uint32_t namedType, PictureFacts& facts, std::uint32_t& type,
              DecodeError& err) {
    return named(data, namedType, type, err,
                 [&](const Format& f, DecodeError& e) { return probeAs(f, data, facts, e); });
}

#define FOLIO_TEXT_DECODER(name, fn)                                                               \
    bool name(Bytes data, Image& out, std::string& err) {                                          \
        DecodeError e;                                                                             \
        return asText(fn(data, out, e), e, err);                                                   \
    }
FOLIO_TEXT_DECODER(decodeBmp, bmp::decode)
FOLIO_TEXT_DECODER(decodeIconDib, bmp::decodeIconDib)
FOLIO_TEXT_DECODER(decodeJpeg, jpeg::decode)
FOLIO_TEXT_DECODER(decodeIco, ico::decode)
FOLIO_TEXT_DECODER(decodeGif, gif::decode)
FOLIO_TEXT_DECODER(decodePng, png::decode)
FOLIO_TEXT_DECODER(decodeTiff, tiff::decode)
FOLIO_TEXT_DECODER(decodeTga, tga::decode)
FOLIO_TEXT_DECODER(decodePcx, pcx::decode)
FOLIO_TEXT_DECODER(decodeWbmp, wbmp::decode)
FOLIO_TEXT_DECODER(decodeJpeg2000, jpeg2000::decode)
FOLIO_TEXT_DECODER(decodePgx, pgx::decode)
FOLIO_TEXT_DECODER(decodePnm, pnm::decode)
FOLIO_TEXT_DECODER(decodeRas, ras::decode)
#undef FOLIO_TEXT_DECODER

} // namespace folio::codecs
