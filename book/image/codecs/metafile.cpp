// Windows metafiles: a WMF is played by libwmf's raster device, an EMF turned into SVG by
// libemf2svg's own program emf2svg-conv in a process of its own (its licence keeps it out of
// ours, and a fault in it on a hostile file stays there) and drawn by librsvg. Both are drawn on
// white as 24-bit RGB at the size at which the picture's shorter side is 1280 pixels, in the
// proportions of the placeable header's frame or the first window extent (WMF), or of the header's
// bounds (EMF).
//
// libwmf reads records with few checks of its own, so every WMF is walked here first (sizes
// within the file, known functions with their parameters, bitmaps that fit their records) and
// libwmf is handed a copy whose header tells the truth about the records. EMF records are
// walked the same way before emf2svg-conv sees them, and it runs with limits on its time,
// memory and output.
#include "book/base/child_process.h"
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/detail.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include <cairo.h>
#include <librsvg/rsvg.h>
#include <libwmf/api.h>
#include <libwmf/gd.h>

namespace folio::codecs::metafile {

namespace {

constexpr std::uint64_t kShortSide = 1280;
// Far beyond any real drawing, and keeps the libraries' work on one file bounded.
constexpr std::size_t kMaxRecords = 500'000;
// A bitmap inside a metafile is decoded whole by the library: kept to 64 MB of pixels.
constexpr std::uint64_t kMaxBitmapPixels = std::uint64_t{1} << 24;

std::uint16_t le16(Bytes d, std::size_t at) {
    return static_cast<std::uint16_t>(d[at] | d[at + 1] << 8);
}
std::uint32_t le32(Bytes d, std::size_t at) {
    return le16(d, at) | static_cast<std::uint32_t>(le16(d, at + 2)) << 16;
}
std::int32_t s16(Bytes d, std::size_t at) {
    return static_cast<std::int16_t>(le16(d, at));
}
std::int32_t s32(Bytes d, std::size_t at) {
    return static_cast<std::int32_t>(le32(d, at));
}

bool isWmf(Bytes d) {
    if (d.size() >= 4 && le32(d, 0) == 0x9AC6CDD7u) return true;
    if (d.size() < 18) return false;
    const std::uint16_t type = le16(d, 0), header = le16(d, 2), version = le16(d, 4);
    return (type == 1 || type == 2) && header == 9 && (version == 0x100 || version == 0x300);
}

bool isEmf(Bytes d) {
    return d.size() >= 44 && le32(d, 0) == 1 && std::memcmp(d.data() + 40, " EMF", 4) == 0;
}

// The canvas for a frame of fw x fh units: the shorter side 1280, the other in proportion.
bool canvasFor(std::uint64_t fw, std::uint64_t fh, PictureFacts& facts, DecodeError& err) {
    if (fw == 0 || fh == 0) return detail::damaged(err, "metafile: empty picture frame");
    const std::uint64_t shortSide = std::min(fw, fh), longSide = std::max(fw, fh);
    if (longSide / shortSide >= kMaxImageSide)
        return detail::overLimits(err, "metafile: picture frame too narrow");
    const std::uint64_t scaled = (longSide * kShortSide + shortSide / 2) / shortSide;
    if (!detail::facts(facts, fw <= fh ? kShortSide : scaled, fw <= fh ? scaled : kShortSide, 24,
                       err))
        return false;
    // Both libraries draw on a canvas of four bytes a pixel before it is copied.
    if (std::uint64_t{facts.width} * facts.height * 4 > kMaxImageBytes)
        return detail::overLimits(err, "image too large for the memory budget");
    return true;
}

// A device-independent bitmap of `size` bytes at `d`: its header sane and its pixels (when
// `bits` is given, else following the colour table) within reach.
bool dibFits(Bytes d, std::size_t bitsAvailable, bool bitsFollow) {
    if (d.size() < 40) return false;
    const std::uint32_t headerSize = le32(d, 0);
    const std::int64_t w = s32(d, 4), h = s32(d, 8);
    const std::uint16_t planes = le16(d, 12), bpp = le16(d, 14);
    const std::uint32_t compression = le32(d, 16), used = le32(d, 32);
    if (headerSize < 40 || headerSize > d.size() || planes != 1) return false;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return false;
    // Run-length bitmaps and embedded JPEG/PNG go through decoders of the library's own.
    if (compression != 0 && !(compression == 3 && (bpp == 16 || bpp == 32))) return false;
    const std::uint64_t aw = static_cast<std::uint64_t>(w),
                        ah = static_cast<std::uint64_t>(std::llabs(h));
    if (w <= 0 || h == 0 || aw > kMaxImageSide || ah > kMaxImageSide || aw * ah > kMaxBitmapPixels)
        return false;
    const std::uint64_t colours = bpp <= 8 ? (used ? used : (1u << bpp)) : used;
    if (colours > 256 && bpp <= 8) return false;
    const std::uint64_t table =
        headerSize + (compression == 3 && headerSize == 40 ? 12 : 0) + colours * 4;
    if (table > d.size()) return false;
    const std::uint64_t stride = (aw * bpp + 31) / 32 * 4;
    const std::uint64_t need = stride * ah;
    return bitsFollow ? need <= d.size() - table : need <= bitsAvailable;
}

// ---------------------------------------------------------------------------------------------
// WMF

enum class Params : std::uint8_t {
    Fixed,    // at least the given count of 16-bit parameters
    Mapping,  // fixed, and part of the picture's coordinate system
    Poly,     // a point count and the points
    PolyPoly, // a polygon count, their point counts and the points
    Text,     // TEXTOUT: length, string, position
    ExtText,  // EXTTEXTOUT: position, length, options, [rectangle], string, [spacing]
    Escape,   // a function, a byte count and the bytes
    Palette,  // a start or version, an entry count and the entries
    Dib,      // fixed parameters, then a bitmap (for the blits: or none at all)
};

struct Function {
    std::uint16_t id;
    std::uint8_t params; // fixed parameters (for Dib: those before the bitmap)
    Params kind;
    bool draws = true; // ends the records that set up the coordinate system
};

// The record functions libwmf is given; any other refuses the file. Pattern bitmaps of the
// Windows 3.0 kind (CREATEPATTERNBRUSH, BITBLT, STRETCHBLT with a bitmap) and regions
// (CREATEREGION) are left out: libwmf's readers of them trust the record.
constexpr Function kFunctions[] = {
    {0x001E, 0, Params::Fixed, false},   // SAVEDC
    {0x0035, 0, Params::Fixed, false},   // REALIZEPALETTE
    {0x0037, 2, Params::Palette, false}, // SETPALENTRIES
    {0x00F7, 2, Params::Palette, false}, // CREATEPALETTE
    {0x0102, 1, Params::Fixed, false},   // SETBKMODE
    {0x0103, 1, Params::Mapping, false}, // SETMAPMODE
    {0x0104, 1, Params::Fixed, false},   // SETROP2
    {0x0105, 1, Params::Fixed, false},   // SETRELABS
    {0x0106, 1, Params::Fixed, false},   // SETPOLYFILLMODE
    {0x0107, 1, Params::Fixed, false},   // SETSTRETCHBLTMODE
    {0x0108, 1, Params::Fixed, false},   // SETTEXTCHAREXTRA
    {0x0127, 1, Params::Fixed},          // RESTOREDC
    {0x012D, 1, Params::Fixed, false},   // SELECTOBJECT
    {0x012E, 1, Params::Fixed, false},   // SETTEXTALIGN
    {0x0139, 1, Params::Fixed, false},   // RESIZEPALETTE
    {0x0142, 2, Params::Dib, false},     // DIBCREATEPATTERNBRUSH
    {0x014C, 1, Params::Fixed, false},   // SETLAYOUT
    {0x01F0, 1, Params::Fixed, false},   // DELETEOBJECT
    {0x0201, 2, Params::Fixed, false},   // SETBKCOLOR
    {0x0209, 2, Params::Fixed, false},   // SETTEXTCOLOR
    {0x020A, 2, Params::Fixed, false},   // SETTEXTJUSTIFICATION
    {0x020B, 2, Params::Mapping, false}, // SETWINDOWORG
    {0x020C, 2, Params::Mapping, false}, // SETWINDOWEXT
    {0x020D, 2, Params::Mapping, false}, // SETVIEWPORTORG
    {0x020E, 2, Params::Mapping, false}, // SETVIEWPORTEXT
    {0x020F, 2, Params::Mapping, false}, // OFFSETWINDOWORG
    {0x0211, 2, Params::Mapping, false}, // OFFSETVIEWPORTORG
    {0x0213, 2, Params::Fixed},          // LINETO
    {0x0214, 2, Params::Fixed},          // MOVETO
    {0x0220, 2, Params::Fixed},          // OFFSETCLIPRGN
    {0x0231, 2, Params::Fixed, false},   // SETMAPPERFLAGS
    {0x0234, 1, Params::Fixed, false},   // SELECTPALETTE
    {0x02FA, 5, Params::Fixed, false},   // CREATEPENINDIRECT
    {0x02FB, 9, Params::Fixed, false},   // CREATEFONTINDIRECT
    {0x02FC, 4, Params::Fixed, false},   // CREATEBRUSHINDIRECT
    {0x0324, 1, Params::Poly},           // POLYGON
    {0x0325, 1, Params::Poly},           // POLYLINE
    {0x0410, 4, Params::Mapping, false}, // SCALEWINDOWEXT
    {0x0412, 4, Params::Mapping, false}, // SCALEVIEWPORTEXT
    {0x0415, 4, Params::Fixed},          // EXCLUDECLIPRECT
    {0x0416, 4, Params::Fixed},          // INTERSECTCLIPRECT
    {0x0418, 4, Params::Fixed},          // ELLIPSE
    {0x0419, 5, Params::Fixed},          // FLOODFILL
    {0x041B, 4, Params::Fixed},          // RECTANGLE
    {0x041F, 4, Params::Fixed},          // SETPIXEL
    {0x0521, 3, Params::Text},           // TEXTOUT
    {0x0538, 1, Params::PolyPoly},       // POLYPOLYGON
    {0x0548, 5, Params::Fixed},          // EXTFLOODFILL
    {0x061C, 6, Params::Fixed},          // ROUNDRECT
    {0x061D, 6, Params::Fixed},          // PATBLT
    {0x0626, 2, Params::Escape, false},  // ESCAPE
    {0x0817, 8, Params::Fixed},          // ARC
    {0x081A, 8, Params::Fixed},          // PIE
    {0x0830, 8, Params::Fixed},          // CHORD
    {0x0940, 8, Params::Dib},            // DIBBITBLT
    {0x0A32, 4, Params::ExtText},        // EXTTEXTOUT
    {0x0B41, 10, Params::Dib},           // DIBSTRETCHBLT
    {0x0D33, 9, Params::Dib},            // SETDIBTODEV
    {0x0F43, 11, Params::Dib},           // STRETCHDIB
};

const Function* functionOf(std::uint16_t id) {
    for (const Function& f : kFunctions)
        if (f.id == id) return &f;
    return nullptr;
}

// Whether a record's parameters (n 16-bit words at p) hold what its function reads.
bool paramsFit(const Function& f, Bytes p) {
    const std::size_t n = p.size() / 2;
    if (n < f.params) return false;
    switch (f.kind) {
    case Params::Fixed:
    case Params::Mapping:
        return true;
    case Params::Poly:
        return le16(p, 0) >= 1 && std::size_t{1} + 2u * le16(p, 0) <= n;
    case Params::PolyPoly: {
        const std::size_t polys = le16(p, 0);
        if (polys == 0 || 1 + polys > n) return false;
        std::size_t points = 0;
        for (std::size_t i = 0; i < polys; ++i)
            points += le16(p, 2 + 2 * i);
        return 1 + polys + 2 * points <= n;
    }
    case Params::Text:
        return std::size_t{1} + (le16(p, 0) + 1u) / 2 + 2 <= n;
    case Params::ExtText: {
        const std::size_t length = le16(p, 4);
        const bool rect = (le16(p, 6) & 0x0006) != 0;
        return 4 + (rect ? 4 : 0) + (length + 1) / 2 <= n;
    }
    case Params::Escape:
        return std::size_t{2} + (le16(p, 2) + 1u) / 2 <= n;
    case Params::Palette:
        return std::size_t{2} + 2u * le16(p, 2) <= n && le16(p, 2) <= 1024;
    case Params::Dib: {
        // The blits without a bitmap have one parameter more than the fixed ones.
        if (f.id == 0x0940 || f.id == 0x0B41) {
            if (n == std::size_t{f.params} + 1) return true;
        }
        return dibFits(p.subspan(2u * f.params), 0, true);
    }
    }
    return false;
}

struct Wmf {
    std::size_t header = 0; // the placeable header's size: 22 or 0
    std::size_t records = 0, end = 0;
    std::uint32_t maxRecord = 0;
    std::uint32_t objects = 0;
    // The frame in logical units, and the records that set up the coordinate system.
    std::int32_t left = 0, top = 0, right = 0, bottom = 0;
    std::vector<Bytes> mapping;
};

bool readWmf(Bytes d, Wmf& w, DecodeError& err) {
    if (!isWmf(d)) return detail::notThisFormat(err, "not a Windows metafile");
    if (le32(d, 0) == 0x9AC6CDD7u) {
        if (d.size() < 22 + 18) return detail::truncated(err, "WMF: file cut short");
        w.header = 22;
        w.left = s16(d, 6), w.top = s16(d, 8), w.right = s16(d, 10), w.bottom = s16(d, 12);
        if (le16(d, 14) == 0) return detail::damaged(err, "WMF: no units per inch");
        if (!isWmf(d.subspan(22))) return detail::damaged(err, "WMF: damaged header");
    }
    w.objects = le16(d, w.header + 10);
    w.records = w.header + 18;
    bool drawn = false, windowExt = false, saved = false;
    std::int32_t orgX = 0, orgY = 0, extX = 0, extY = 0;
    std::size_t at = w.records, count = 0;
    for (;; ++count) {
        if (count >= kMaxRecords) return detail::overLimits(err, "WMF: too many records");
        if (d.size() - at < 6) return detail::truncated(err, "WMF: file cut short");
        const std::uint32_t words = le32(d, at);
        const std::uint16_t id = le16(d, at + 4);
        if (words < 3) return detail::damaged(err, "WMF: damaged record");
        if (words > (d.size() - at) / 2) return detail::truncated(err, "WMF: file cut short");
        w.maxRecord = std::max(w.maxRecord, words);
        const Bytes record = d.subspan(at, 2u * words);
        at += 2u * words;
        if (id == 0) break;
        const Function* f = functionOf(id);
        if (!f) return detail::unsupported(err, "WMF: record of an unknown kind");
        const Bytes p = record.subspan(6);
        if (!paramsFit(*f, p)) return detail::damaged(err, "WMF: damaged record");
        if ((id & 0xFF) >= 0xF7 || id == 0x0142) ++w.objects; // the object creators
        // The scale is fixed before the first drawing (and before any saved state that a
        // RESTOREDC could bring back), so the work below can be measured in pixels.
        const bool scales =
            id == 0x0103 || id == 0x020C || id == 0x020E || id == 0x0410 || id == 0x0412;
        if (scales && (drawn || saved))
            return detail::unsupported(err, "WMF: the picture's scale changes while drawing");
        saved = saved || id == 0x001E;
        if (f->draws) drawn = true;
        if (drawn || f->kind != Params::Mapping) continue;
        w.mapping.push_back(record);
        if (id == 0x020B) orgX = s16(p, 2), orgY = s16(p, 0);
        if (id == 0x020C) extX = s16(p, 2), extY = s16(p, 0), windowExt = true;
    }
    w.end = at;
    w.objects = std::min<std::uint32_t>(w.objects, 0xFFFF);
    if (w.header == 0) {
        if (!windowExt) return detail::unsupported(err, "WMF: no picture size");
        w.left = orgX, w.top = orgY, w.right = orgX + extX, w.bottom = orgY + extY;
    }
    return true;
}

// About how many pixels libwmf's raster device touches for the records: it walks every
// shape's, bitmap's and glyph's whole extent, inside the canvas or not. No pen is thinner
// than minPen canvas pixels.
double drawingWork(Bytes d, const Wmf& w, const PictureFacts& facts, double minPen = 1) {
    const double sx = facts.width / std::abs(double(w.right) - w.left);
    const double sy = facts.height / std::abs(double(w.bottom) - w.top);
    const double canvas = double(facts.width) * facts.height;
    // A wide pen is stamped at every point of an outline: its square for each.
    // The pen in use: the default one until a pen is selected.
    double work = 0, pen = std::max(1.0, minPen), font = 16;
    minPen = std::max(1.0, minPen);
    // Object slots: -1 free, -2 not a pen, else the pen's width in canvas pixels.
    std::vector<double> objects;
    std::set<std::size_t> freeSlots;
    auto box = [&](Bytes p, int bottom, int right, int top, int left) {
        const double bw = std::abs(double(s16(p, 2u * right)) - s16(p, 2u * left)) * sx + 1;
        const double bh = std::abs(double(s16(p, 2u * bottom)) - s16(p, 2u * top)) * sy + 1;
        return bw * bh + 2 * (bw + bh) * pen * pen;
    };
    auto extent = [&](Bytes p, int height, int width) {
        return (std::abs(double(s16(p, 2u * width))) * sx + 1) *
               (std::abs(double(s16(p, 2u * height))) * sy + 1);
    };
    // libwmf walks a bitmap's destination with an unsigned count: a mirrored (negative) one
    // wraps to billions. Each pixel is also resampled, which costs several plain ones.
    auto blit = [&](Bytes p, int height, int width) {
        if (s16(p, 2u * width) < 0 || s16(p, 2u * height) < 0)
            return std::numeric_limits<double>::infinity();
        return 8 * extent(p, height, width);
    };
    double x = 0, y = 0;
    for (std::size_t at = w.records; at < w.end;) {
        const std::size_t size = 2u * le32(d, at);
        const std::uint16_t id = le16(d, at + 4);
        const Bytes p = d.subspan(at + 6, size - 6);
        const std::size_t n = p.size() / 2;
        at += size;
        if ((id & 0xFF) >= 0xF7 || id == 0x0142) {
            // libwmf puts a new object in the first free slot; only pens have a width here.
            double width = -2; // not a pen
            if (id == 0x02FA)
                width = (le16(p, 0) & 0xF) == 5
                            ? 0 // PS_NULL draws nothing
                            : std::max(minPen, std::abs(double(s16(p, 2))) * sx);
            if (freeSlots.empty()) {
                objects.push_back(width);
            } else {
                objects[*freeSlots.begin()] = width;
                freeSlots.erase(freeSlots.begin());
            }
            continue;
        }
        switch (id) {
        case 0x012D: // SELECTOBJECT: a pen's width counts from here
            if (const std::size_t i = le16(p, 0); i < objects.size() && objects[i] >= 0)
                pen = objects[i];
            break;
        case 0x01F0: // DELETEOBJECT
            if (const std::size_t i = le16(p, 0); i < objects.size() && objects[i] != -1) {
                objects[i] = -1;
                freeSlots.insert(i);
            }
            break;
        case 0x0127: // RESTOREDC may bring back any earlier pen, the default one too
            pen = std::max(pen, minPen);
            break;
        case 0x02FB:
            font = std::max(font, std::abs(double(s16(p, 0))) * sy);
            break;
        case 0x041B:
        case 0x0418:
            work += box(p, 0, 1, 2, 3);
            break;
        case 0x061C:
            work += box(p, 2, 3, 4, 5);
            break;
        case 0x0817:
        case 0x081A:
        case 0x0830:
            work += box(p, 4, 5, 6, 7);
            break;
        case 0x061D:
            work += extent(p, 2, 3);
            break;
        case 0x0419:
        case 0x0548:
            work += canvas;
            break;
        case 0x0214:
            y = s16(p, 0), x = s16(p, 2);
            break;
        case 0x0213: {
            const double ny = s16(p, 0), nx = s16(p, 2);
            work += (std::abs(nx - x) * sx + std::abs(ny - y) * sy + 1) * pen * pen;
            x = nx, y = ny;
            break;
        }
        case 0x0324:
        case 0x0325:
        case 0x0538: {
            // Every point after the counts; the bounding box of them all.
            const std::size_t first = id == 0x0538 ? 1 + le16(p, 0) : 1;
            double l = 0, r = 0, t = 0, b = 0, length = 0, lx = 0, ly = 0;
            for (std::size_t i = first; i + 1 < n; i += 2) {
                const double px = s16(p, 2 * i), py = s16(p, 2 * i + 2);
                if (i == first) l = r = lx = px, t = b = ly = py;
                l = std::min(l, px), r = std::max(r, px), t = std::min(t, py), b = std::max(b, py);
                length += std::abs(px - lx) * sx + std::abs(py - ly) * sy + 1;
                lx = px, ly = py;
            }
            work += ((r - l) * sx + 1) * ((b - t) * sy + 1) + length * pen * pen;
            break;
        }
        case 0x0521:
            work += le16(p, 0) * font * font;
            break;
        case 0x0A32:
            work += le16(p, 4) * font * font;
            break;
        case 0x0940:
            work += n == 9 ? blit(p, 5, 6) : blit(p, 4, 5);
            break;
        case 0x0B41:
            work += n == 11 ? blit(p, 7, 8) : blit(p, 6, 7);
            break;
        case 0x0F43:
            work += blit(p, 7, 8);
            break;
        case 0x0D33:
            work += blit(p, 5, 6);
            break;
        default:
            break;
        }
    }
    return work;
}

bool wmfFacts(Bytes d, const Wmf& w, PictureFacts& facts, DecodeError& err) {
    if (!canvasFor(static_cast<std::uint64_t>(std::abs(std::int64_t{w.right} - w.left)),
                   static_cast<std::uint64_t>(std::abs(std::int64_t{w.bottom} - w.top)), facts,
                   err))
        return false;
    // A few dozen times the canvas is far more than real drawings need.
    if (drawingWork(d, w, facts) > 64.0 * facts.width * facts.height)
        return detail::overLimits(err, "WMF: too much drawing for the picture's size");
    return true;
}

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// The placeable header, a standard header with the true record sizes and object count, and
// `records`.
std::vector<std::uint8_t> withHeader(Bytes d, const Wmf& w, Bytes records, std::uint32_t maxRecord,
                                     std::uint32_t objects) {
    std::vector<std::uint8_t> out(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(w.header));
    put16(out, 1);
    put16(out, 9);
    put16(out, 0x300);
    put32(out, static_cast<std::uint32_t>((18 + records.size()) / 2));
    put16(out, objects);
    put32(out, maxRecord);
    put16(out, 0);
    out.insert(out.end(), records.begin(), records.end());
    return out;
}

struct ApiDestroy {
    void operator()(wmfAPI* api) const { wmf_api_destroy(api); }
};
using Api = std::unique_ptr<wmfAPI, ApiDestroy>;

// libwmf's font and drawing state is not known to be safe for two files at once.
std::mutex& wmfLock() {
    static std::mutex m;
    return m;
}

// An API on the raster device, its messages off, reading `file` (which must outlive it).
Api openWmf(std::vector<std::uint8_t>& file) {
    wmfAPI* raw = nullptr;
    wmfAPI_Options options{};
    options.function = wmf_gd_function;
    const unsigned long flags =
        WMF_OPT_FUNCTION | WMF_OPT_IGNORE_NONFATAL | WMF_OPT_NO_ERROR | WMF_OPT_NO_DEBUG;
    if (wmf_api_create(&raw, flags, &options) != wmf_E_None) {
        if (raw) wmf_api_destroy(raw);
        return nullptr;
    }
    Api api(raw);
    if (wmf_mem_open(api.get(), file.data(), static_cast<long>(file.size())) != wmf_E_None)
        return nullptr;
    return api;
}

// Where the frame lies in libwmf's device units: a metafile of the file's coordinate records
// and one rectangle over the frame, measured by libwmf itself.
bool frameOnDevice(Bytes d, const Wmf& w, wmfD_Rect& frame) {
    std::vector<std::uint8_t> records;
    std::uint32_t maxRecord = 8;
    for (Bytes r : w.mapping) {
        records.insert(records.end(), r.begin(), r.end());
        maxRecord = std::max<std::uint32_t>(maxRecord, static_cast<std::uint32_t>(r.size() / 2));
    }
    // A pen that draws nothing (PS_NULL, width 0), selected, a rectangle and the end.
    const std::vector<std::vector<std::uint32_t>> added{
        {8, 0x02FA, 5, 0, 0, 0, 0},
        {4, 0x012D, 0},
        {7, 0x041B, static_cast<std::uint16_t>(w.bottom), static_cast<std::uint16_t>(w.right),
         static_cast<std::uint16_t>(w.top), static_cast<std::uint16_t>(w.left)},
        {3, 0}};
    for (const auto& rec : added) {
        put32(records, rec[0]);
        for (std::size_t i = 1; i < rec.size(); ++i)
            put16(records, rec[i]);
    }
    std::vector<std::uint8_t> file = withHeader(d, w, records, maxRecord, 1);
    const Api api = openWmf(file);
    if (!api || wmf_scan(api.get(), 0, &frame) != wmf_E_None) return false;
    return std::isfinite(frame.TL.x) && std::isfinite(frame.TL.y) && std::isfinite(frame.BR.x) &&
           std::isfinite(frame.BR.y) && frame.BR.x > frame.TL.x && frame.BR.y > frame.TL.y;
}

int collect(void* context, char* bytes, int length) {
    auto* png = static_cast<std::vector<std::uint8_t>*>(context);
    if (length > 0) png->insert(png->end(), bytes, bytes + length);
    return length;
}

// The records' estimate works in the file's units; libwmf's own scan of every shape, in its
// device units, catches a mapping the estimate did not foresee (shapes drawn far outside the
// frame cost libwmf their whole extent all the same).
// libwmf draws no pen thinner than one of its device units (a point), however small the frame
// is in points: a tiny frame makes every outline a broad band, so the records' work is
// counted again with that pen.
bool drawingFits(Bytes d, const Wmf& w, const wmfD_Rect& frame, const wmfD_Rect& drawn,
                 const PictureFacts& facts) {
    const double scaleX = facts.width / (double(frame.BR.x) - frame.TL.x);
    const double scaleY = facts.height / (double(frame.BR.y) - frame.TL.y);
    const double canvas = double(facts.width) * facts.height;
    // Broad default pens are what small frames are drawn with, so more room here: 256
    // canvases is still well under a second of libwmf's time.
    if (!(drawingWork(d, w, facts, std::max(scaleX, scaleY)) <= 256.0 * canvas)) return false;
    const double width = (std::max(double(drawn.BR.x), double(frame.BR.x)) -
                          std::min(double(drawn.TL.x), double(frame.TL.x))) *
                         scaleX;
    const double height = (std::max(double(drawn.BR.y), double(frame.BR.y)) -
                           std::min(double(drawn.TL.y), double(frame.TL.y))) *
                          scaleY;
    return std::isfinite(width) && std::isfinite(height) && width * height <= 64.0 * canvas;
}

bool decodeWmf(Bytes d, Image& out, DecodeError& err) {
    Wmf w;
    PictureFacts facts;
    if (!readWmf(d, w, err) || !wmfFacts(d, w, facts, err)) return false;
    std::vector<std::uint8_t> png;
    {
        const std::lock_guard<std::mutex> hold(wmfLock());
        wmfD_Rect frame{};
        if (!frameOnDevice(d, w, frame))
            return detail::damaged(err, "WMF: the picture's frame cannot be placed");
        std::vector<std::uint8_t> file =
            withHeader(d, w, d.subspan(w.records, w.end - w.records), w.maxRecord, w.objects);
        const Api api = openWmf(file);
        wmfD_Rect bbox{};
        if (!api || wmf_scan(api.get(), 0, &bbox) != wmf_E_None)
            return detail::damaged(err, "WMF: the records cannot be played");
        if (!drawingFits(d, w, frame, bbox, facts))
            return detail::overLimits(err, "WMF: too much drawing for the picture's size");
        wmf_gd_t* device = WMF_GD_GetData(api.get());
        device->type = wmf_gd_png;
        device->flags |= WMF_GD_OUTPUT_MEMORY | WMF_GD_OWN_BUFFER;
        device->sink.context = &png;
        device->sink.function = collect;
        device->width = facts.width;
        device->height = facts.height;
        device->bbox = frame;
        if (wmf_play(api.get(), 0, &frame) != wmf_E_None)
            return detail::damaged(err, "WMF: the records cannot be played");
    }
    DecodeError why;
    if (!png::decode(png, out, why) || out.GetWidth() != facts.width ||
        out.GetHeight() != facts.height || out.GetBpp() != 24)
        return detail::damaged(err, "WMF: drawing failed");
    return true;
}

// ---------------------------------------------------------------------------------------------
// EMF

struct Emf {
    std::int64_t width = 0, height = 0;
    std::size_t end = 0;
};

// Where an EMF bitmap record keeps its bitmaps: the offsets of (offBmi, cbBmi, offBits, cbBits).
struct BitmapFields {
    std::uint32_t type;
    std::uint32_t at[2]; // 0: no second bitmap
};
constexpr BitmapFields kBitmapRecords[] = {
    {76, {84, 0}},   // BITBLT
    {77, {84, 0}},   // STRETCHBLT
    {78, {84, 112}}, // MASKBLT
    {79, {96, 124}}, // PLGBLT
    {80, {48, 0}},   // SETDIBITSTODEVICE
    {81, {48, 0}},   // STRETCHDIBITS
    {93, {16, 0}},   // CREATEMONOBRUSH
    {94, {16, 0}},   // CREATEDIBPATTERNBRUSHPT
    {114, {84, 0}},  // ALPHABLEND
    {116, {84, 0}},  // TRANSPARENTBLT
};

bool bitmapsFit(std::uint32_t type, Bytes record) {
    for (const BitmapFields& b : kBitmapRecords) {
        if (b.type != type) continue;
        for (std::uint32_t at : b.at) {
            if (at == 0) continue;
            if (record.size() < at + 16) return false;
            const std::uint64_t offBmi = le32(record, at), cbBmi = le32(record, at + 4);
            const std::uint64_t offBits = le32(record, at + 8), cbBits = le32(record, at + 12);
            if (cbBmi == 0) continue; // a blit without a source bitmap
            if (offBmi + cbBmi > record.size() || offBits + cbBits > record.size()) return false;
            if (!dibFits(record.subspan(offBmi, cbBmi), cbBits, false)) return false;
        }
    }
    return true;
}

bool readEmf(Bytes d, Emf& e, DecodeError& err) {
    if (!isEmf(d)) return detail::notThisFormat(err, "not an enhanced metafile");
    if (d.size() < 88) return detail::truncated(err, "EMF: file cut short");
    e.width = std::int64_t{s32(d, 16)} - s32(d, 8);
    e.height = std::int64_t{s32(d, 20)} - s32(d, 12);
    if (e.width <= 0 || e.height <= 0) return detail::damaged(err, "EMF: empty picture bounds");
    std::size_t at = 0, count = 0;
    for (;; ++count) {
        if (count >= kMaxRecords) return detail::overLimits(err, "EMF: too many records");
        if (d.size() - at < 8) return detail::truncated(err, "EMF: file cut short");
        const std::uint32_t type = le32(d, at), size = le32(d, at + 4);
        if (size < 8 || size % 4 != 0) return detail::damaged(err, "EMF: damaged record");
        if (size > d.size() - at) return detail::truncated(err, "EMF: file cut short");
        if (type < 1 || type > 122 || (count == 0) != (type == 1))
            return detail::damaged(err, "EMF: record of an unknown kind");
        if (type == 1 && size < 88) return detail::damaged(err, "EMF: damaged header");
        if (!bitmapsFit(type, d.subspan(at, size)))
            return detail::damaged(err, "EMF: damaged bitmap record");
        at += size;
        if (type == 14) break; // EOF
    }
    e.end = at;
    return true;
}

bool emfFacts(const Emf& e, PictureFacts& facts, DecodeError& err) {
    return canvasFor(static_cast<std::uint64_t>(e.width), static_cast<std::uint64_t>(e.height),
                     facts, err);
}

struct ObjectUnref {
    void operator()(RsvgHandle* h) const { g_object_unref(h); }
};
struct ErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};
struct SurfaceDestroy {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct CairoDestroy {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};

// Bytes through the records' end (anything after EOF is not the drawing's), to SVG.
bool emfToSvg(Bytes d, const Emf& e, std::string& svg, DecodeError& err) {
    static const std::string program = findProgram("emf2svg-conv");
    ChildLimits limits;
    limits.time = std::chrono::seconds(8);
    limits.maxOutput = std::size_t{256} << 20;
    ChildResult r =
        runChild(program, {"-i", "/dev/stdin", "-o", "/dev/stdout"}, d.first(e.end), limits);
    if (r.outcome == ChildOutcome::Finished && !r.output.empty()) {
        svg = std::move(r.output);
        return true;
    }
    const std::string why = r.outcome == ChildOutcome::Finished
                                ? "EMF: the records cannot be converted"
                                : "EMF: " + childFailure("emf2svg-conv", r.outcome);
    DecodeReason reason = DecodeReason::Damaged;
    if (r.outcome == ChildOutcome::NotInstalled || r.outcome == ChildOutcome::CannotStart)
        reason = DecodeReason::Unsupported;
    else if (r.outcome == ChildOutcome::TimedOut || r.outcome == ChildOutcome::OutputTooLarge)
        reason = DecodeReason::OverLimits;
    return detail::fail(err, reason, why);
}

bool decodeEmf(Bytes d, Image& out, DecodeError& err) {
    Emf e;
    PictureFacts facts;
    if (!readEmf(d, e, err) || !emfFacts(e, facts, err)) return false;
    std::string svg;
    if (!emfToSvg(d, e, svg, err)) return false;

    GError* raw = nullptr;
    const std::unique_ptr<RsvgHandle, ObjectUnref> handle(
        rsvg_handle_new_from_data(reinterpret_cast<const guint8*>(svg.data()), svg.size(), &raw));
    const std::unique_ptr<GError, ErrorFree> parseError(raw);
    if (!handle) return detail::damaged(err, "EMF: the converted drawing cannot be read");
    const std::unique_ptr<cairo_surface_t, SurfaceDestroy> surface(cairo_image_surface_create(
        CAIRO_FORMAT_RGB24, static_cast<int>(facts.width), static_cast<int>(facts.height)));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
        return detail::fail(err, DecodeReason::OutOfMemory, "out of memory");
    const std::unique_ptr<cairo_t, CairoDestroy> cr(cairo_create(surface.get()));
    cairo_set_source_rgb(cr.get(), 1, 1, 1);
    cairo_paint(cr.get());
    const RsvgRectangle viewport{0, 0, static_cast<double>(facts.width),
                                 static_cast<double>(facts.height)};
    raw = nullptr;
    const bool drawn = rsvg_handle_render_document(handle.get(), cr.get(), &viewport, &raw);
    const std::unique_ptr<GError, ErrorFree> renderError(raw);
    if (!drawn) return detail::damaged(err, "EMF: drawing failed");
    cairo_surface_flush(surface.get());

    if (!detail::create(out, facts.width, facts.height, 24, err)) return false;
    const unsigned char* src = cairo_image_surface_get_data(surface.get());
    const std::size_t stride =
        static_cast<std::size_t>(cairo_image_surface_get_stride(surface.get()));
    for (std::uint32_t y = 0; y < facts.height; ++y) {
        const unsigned char* row = src + y * stride;
        std::uint8_t* dst = out.Pixels().data() + y * out.Stride();
        for (std::uint32_t x = 0; x < facts.width; ++x) {
            std::uint32_t px;
            std::memcpy(&px, row + 4u * x, 4);
            dst[3 * x] = static_cast<std::uint8_t>(px >> 16);
            dst[3 * x + 1] = static_cast<std::uint8_t>(px >> 8);
            dst[3 * x + 2] = static_cast<std::uint8_t>(px);
        }
    }
    return true;
}

} // namespace

bool sniff(Bytes data) {
    return isWmf(data) || isEmf(data);
}

bool probe(Bytes data, PictureFacts& facts, DecodeError& err) {
    if (isEmf(data)) {
        Emf e;
        return readEmf(data, e, err) && emfFacts(e, facts, err);
    }
    Wmf w;
    return readWmf(data, w, err) && wmfFacts(data, w, facts, err);
}

bool decode(Bytes data, Image& out, DecodeError& err) {
    return isEmf(data) ? decodeEmf(data, out, err) : decodeWmf(data, out, err);
}

} // namespace folio::codecs::metafile
