#include "book/making/page_shape.h"

#include "book/format/book_format.h"
#include "book/image/kernels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <vector>

namespace folio {

namespace {

// ---- colour

struct Lab {
    float l, a, b;
};

float labCurve(float t) {
    return t > 0.008856f ? std::cbrt(t) : 7.787f * t + 16.0f / 116.0f;
}

// The Lab curve by table: a cube root per channel and pixel is most of the work otherwise.
float labF(float t) {
    constexpr int kSteps = 4096;
    constexpr float kTop = 1.1f; // white's X and Z come out a little above 1
    static const std::array<float, kSteps + 2> table = [] {
        std::array<float, kSteps + 2> f{};
        for (int i = 0; i <= kSteps + 1; ++i)
            f[static_cast<std::size_t>(i)] = labCurve(kTop * static_cast<float>(i) / kSteps);
        return f;
    }();
    const float at = std::clamp(t, 0.0f, kTop) * (kSteps / kTop);
    const int i = static_cast<int>(at);
    const float frac = at - static_cast<float>(i);
    return table[static_cast<std::size_t>(i)] * (1 - frac) +
           table[static_cast<std::size_t>(i) + 1] * frac;
}

const std::array<float, 256>& linearTable() {
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t{};
        for (int i = 0; i < 256; ++i) {
            const float c = static_cast<float>(i) / 255.0f;
            t[static_cast<std::size_t>(i)] =
                c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
        }
        return t;
    }();
    return table;
}

// CIE L*a*b* (D65) of an sRGB colour: distances in it follow what the eye calls a colour.
Lab toLab(std::uint8_t r8, std::uint8_t g8, std::uint8_t b8) {
    const auto& lin = linearTable();
    const float r = lin[r8], g = lin[g8], b = lin[b8];
    const float x = (0.4124f * r + 0.3576f * g + 0.1805f * b) / 0.9505f;
    const float y = 0.2126f * r + 0.7152f * g + 0.0722f * b;
    const float z = (0.0193f * r + 0.1192f * g + 0.9505f * b) / 1.089f;
    const float fx = labF(x), fy = labF(y), fz = labF(z);
    return {116.0f * fy - 16.0f, 500.0f * (fx - fy), 200.0f * (fy - fz)};
}

// Chroma below this is noise, paper or a fringe's faint end; real colour lies well above.
constexpr float kChromaColor = 15.0f;
// A 5 x 5 neighbourhood whose lightness spans more than this lies on an edge, where a scanner's
// misregistered channels and chroma subsampling put colour that the page does not hold.
constexpr float kEdgeRange = 20.0f;
// On an edge, colour counts when it stays in the mean over a window wider than fringes.
constexpr float kChromaStrong = 20.0f;
constexpr int kMeanRadius = 3;
constexpr int kEdgeRadius = 2;
// A paper tint stronger than this is taken as the picture's own colour, not paper.
constexpr float kMaxPaperChroma = 30.0f;
// Colour pixels in clusters over this share of the page make it a colour page: a tenth of
// a logo of 2% of the page.
constexpr double kColorShare = 0.002;

// Sliding maximum minus minimum over a square window, by a separable max and min filter.
std::vector<float> localRange(const std::vector<float>& v, int w, int h, int radius) {
    std::vector<float> hiRow(v.size()), loRow(v.size()), out(v.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float hi = v[static_cast<std::size_t>(y * w + x)], lo = hi;
            for (int dx = std::max(0, x - radius); dx <= std::min(w - 1, x + radius); ++dx) {
                const float s = v[static_cast<std::size_t>(y * w + dx)];
                hi = std::max(hi, s);
                lo = std::min(lo, s);
            }
            hiRow[static_cast<std::size_t>(y * w + x)] = hi;
            loRow[static_cast<std::size_t>(y * w + x)] = lo;
        }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float hi = hiRow[static_cast<std::size_t>(y * w + x)];
            float lo = loRow[static_cast<std::size_t>(y * w + x)];
            for (int dy = std::max(0, y - radius); dy <= std::min(h - 1, y + radius); ++dy) {
                hi = std::max(hi, hiRow[static_cast<std::size_t>(dy * w + x)]);
                lo = std::min(lo, loRow[static_cast<std::size_t>(dy * w + x)]);
            }
            out[static_cast<std::size_t>(y * w + x)] = hi - lo;
        }
    return out;
}

// The mean of each channel over a square window: a misregistered channel keeps its local
// mean, so the colour fringes on the two sides of a stroke cancel there; real colour stays.
std::vector<float> boxMean(const Image& picture, int channel, int radius) {
    const int w = static_cast<int>(picture.GetWidth()), h = static_cast<int>(picture.GetHeight());
    std::vector<float> across(static_cast<std::size_t>(w) * h), out(across.size());
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* row = picture.Row(static_cast<std::uint32_t>(y));
        for (int x = 0; x < w; ++x) {
            float sum = 0;
            const int x0 = std::max(0, x - radius), x1 = std::min(w - 1, x + radius);
            for (int s = x0; s <= x1; ++s)
                sum += row[3 * s + channel];
            across[static_cast<std::size_t>(y * w + x)] = sum / static_cast<float>(x1 - x0 + 1);
        }
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float sum = 0;
            const int y0 = std::max(0, y - radius), y1 = std::min(h - 1, y + radius);
            for (int s = y0; s <= y1; ++s)
                sum += across[static_cast<std::size_t>(s * w + x)];
            out[static_cast<std::size_t>(y * w + x)] = sum / static_cast<float>(y1 - y0 + 1);
        }
    return out;
}

// One channel of a picture as floats, to be shifted by fractions of a pixel.
struct Plane {
    int w = 0, h = 0;
    std::vector<float> v;
    float at(float x, float y) const {
        x = std::clamp(x, 0.0f, static_cast<float>(w - 1));
        y = std::clamp(y, 0.0f, static_cast<float>(h - 1));
        const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
        const int x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
        const float fx = x - static_cast<float>(x0), fy = y - static_cast<float>(y0);
        const auto p = [&](int xx, int yy) { return v[static_cast<std::size_t>(yy * w + xx)]; };
        return (p(x0, y0) * (1 - fx) + p(x1, y0) * fx) * (1 - fy) +
               (p(x0, y1) * (1 - fx) + p(x1, y1) * fx) * fy;
    }
};

Plane planeOf(const Image& picture, int channel) {
    Plane p{static_cast<int>(picture.GetWidth()), static_cast<int>(picture.GetHeight()), {}};
    p.v.resize(static_cast<std::size_t>(p.w) * static_cast<std::size_t>(p.h));
    for (int y = 0; y < p.h; ++y) {
        const std::uint8_t* row = picture.Row(static_cast<std::uint32_t>(y));
        for (int x = 0; x < p.w; ++x)
            p.v[static_cast<std::size_t>(y * p.w + x)] = row[3 * x + channel];
    }
    return p;
}

// How far a scanner put a channel out of register with green, to a quarter pixel: the shift
// that makes it differ least from green where the page changes.
std::pair<float, float> registration(const Plane& c, const Plane& green,
                                     const std::vector<std::pair<int, int>>& edges) {
    constexpr float kMaxShift = 4.0f, kStep = 0.25f;
    const auto cost = [&](float dx, float dy) {
        double sum = 0;
        for (const auto& [x, y] : edges)
            sum += std::abs(c.at(static_cast<float>(x) + dx, static_cast<float>(y) + dy) -
                            green.v[static_cast<std::size_t>(y * green.w + x)]);
        return sum;
    };
    // Whole pixels first, then quarters round the best: a shift's cost changes smoothly.
    float best[2] = {0, 0};
    for (int axis = 0; axis < 2; ++axis) {
        double lowest = cost(best[0], best[1]);
        float found = best[axis];
        const auto tryShift = [&](float d) {
            best[axis] = d;
            const double c2 = cost(best[0], best[1]);
            if (c2 < lowest) lowest = c2, found = d;
        };
        for (float d = -kMaxShift; d <= kMaxShift; d += 1.0f)
            if (d != 0) tryShift(d);
        const float whole = found;
        for (float d = whole - 0.75f; d <= whole + 0.75f; d += kStep)
            if (d != whole) tryShift(d);
        best[axis] = found;
    }
    return {best[0], best[1]};
}

// The picture with red and blue brought back into register with green.
void register3(Image& picture) {
    if (picture.GetWidth() < 16 || picture.GetHeight() < 16) return;
    const Plane red = planeOf(picture, 0), green = planeOf(picture, 1), blue = planeOf(picture, 2);
    // Only where green changes does a shift show; a sample of those places is enough.
    constexpr std::size_t kMaxSamples = 20000;
    std::vector<std::pair<int, int>> edges;
    const auto g = [&](int x, int y) { return green.v[static_cast<std::size_t>(y * green.w + x)]; };
    for (int y = 4; y < green.h - 4; ++y)
        for (int x = 4; x < green.w - 4; ++x)
            if (std::abs(g(x + 1, y) - g(x - 1, y)) + std::abs(g(x, y + 1) - g(x, y - 1)) > 40)
                edges.emplace_back(x, y);
    if (edges.size() < 64) return;
    if (edges.size() > kMaxSamples) {
        const std::size_t step = (edges.size() + kMaxSamples - 1) / kMaxSamples;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < edges.size(); i += step)
            edges[kept++] = edges[i];
        edges.resize(kept);
    }
    const auto [rx, ry] = registration(red, green, edges);
    const auto [bx, by] = registration(blue, green, edges);
    if (rx == 0 && ry == 0 && bx == 0 && by == 0) return;
    for (int y = 0; y < green.h; ++y) {
        std::uint8_t* row = picture.Row(static_cast<std::uint32_t>(y));
        for (int x = 0; x < green.w; ++x) {
            const float fx = static_cast<float>(x), fy = static_cast<float>(y);
            row[3 * x] = static_cast<std::uint8_t>(std::lround(red.at(fx + rx, fy + ry)));
            row[3 * x + 2] = static_cast<std::uint8_t>(std::lround(blue.at(fx + bx, fy + by)));
        }
    }
}

// The picture in true colour at its page size, as Resample2 would reduce it, without a copy of
// the whole picture: rows are reduced as they are read.
bool pageSizedRgb(const Image& picture, Image& out) {
    const std::uint32_t w = picture.GetWidth(), h = picture.GetHeight();
    const PageSize page = pageSizeBeforeTurn(w, h, kPageHeight);
    const bool reduce = page.height < h;
    if (!out.Create(reduce ? page.width : w, reduce ? page.height : h, 24)) return false;
    std::vector<std::uint8_t> rgb(std::size_t{w} * 3);
    std::optional<kernels::RowReducer> reducer;
    if (reduce) reducer.emplace(w, h, 3, page.width, page.height, out.Row(0));
    const std::vector<Rgb>& palette = picture.GetPalette();
    for (std::uint32_t y = 0; y < h; ++y) {
        const std::uint8_t* row = picture.Row(y);
        if (picture.IsIndexed()) {
            for (std::uint32_t x = 0; x < w; ++x) {
                const Rgb c = palette[row[x]];
                rgb[3 * x] = c.r, rgb[3 * x + 1] = c.g, rgb[3 * x + 2] = c.b;
            }
            row = rgb.data();
        }
        if (reducer)
            reducer->push(row);
        else
            std::copy_n(row, rgb.size(), out.Row(y));
    }
    return true;
}

bool paletteIsGray(const Image& picture) {
    for (const Rgb& c : picture.GetPalette())
        if (c.r != c.g || c.g != c.b) return false;
    return true;
}

} // namespace

bool isColorPicture(const Image& picture) {
    if (!picture.IsValid()) return false;
    if (picture.IsIndexed() && paletteIsGray(picture)) return false;
    // Judged at page size, whichever way the picture was loaded: the page-sized reduction
    // of a whole picture is the one a JPEG gets while it decodes.
    Image reduced;
    try {
        if (!pageSizedRgb(picture, reduced)) return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    register3(reduced);
    const Image* work = &reduced;
    const int w = static_cast<int>(work->GetWidth()), h = static_cast<int>(work->GetHeight());
    const std::size_t n = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    std::vector<float> light(n), a(n), b(n);
    std::array<std::uint32_t, 101> histogram{};
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* row = work->Row(static_cast<std::uint32_t>(y));
        for (int x = 0; x < w; ++x) {
            const std::size_t i = static_cast<std::size_t>(y * w + x);
            const Lab c = toLab(row[3 * x], row[3 * x + 1], row[3 * x + 2]);
            light[i] = c.l;
            a[i] = c.a;
            b[i] = c.b;
            ++histogram[static_cast<std::size_t>(std::clamp(c.l, 0.0f, 100.0f))];
        }
    }

    // The paper: the brightest fifth of the page. Its tint, yellowed or the scanner's, is
    // taken off every pixel in proportion to its lightness, as paper tints the ink it holds.
    std::size_t bright = 0;
    int paperFrom = 100;
    while (paperFrom > 0 && (bright += histogram[static_cast<std::size_t>(paperFrom)]) < n / 5)
        --paperFrom;
    double sumL = 0, sumA = 0, sumB = 0;
    std::size_t paperCount = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (light[i] >= static_cast<float>(paperFrom)) {
            sumL += light[i];
            sumA += a[i];
            sumB += b[i];
            ++paperCount;
        }
    float tintA = 0, tintB = 0, paperL = 100;
    if (paperCount > 0) {
        paperL = static_cast<float>(sumL / static_cast<double>(paperCount));
        tintA = static_cast<float>(sumA / static_cast<double>(paperCount));
        tintB = static_cast<float>(sumB / static_cast<double>(paperCount));
        if (paperL < 50.0f || std::hypot(tintA, tintB) > kMaxPaperChroma) tintA = tintB = 0;
    }

    const std::vector<float> range = localRange(light, w, h, kEdgeRadius);
    std::vector<std::uint8_t> colored(n), flat(n), strong(n);
    const auto untinted = [&](const Lab& c) {
        const float share = std::min(c.l / std::max(paperL, 1.0f), 1.2f);
        return std::hypot(c.a - tintA * share, c.b - tintB * share);
    };
    bool onEdges = false;
    for (std::size_t i = 0; i < n; ++i) {
        colored[i] = untinted({light[i], a[i], b[i]}) > kChromaColor;
        flat[i] = colored[i] && range[i] <= kEdgeRange;
        onEdges = onEdges || (colored[i] && !flat[i]);
    }
    if (onEdges) {
        const std::vector<float> meanR = boxMean(*work, 0, kMeanRadius);
        const std::vector<float> meanG = boxMean(*work, 1, kMeanRadius);
        const std::vector<float> meanB = boxMean(*work, 2, kMeanRadius);
        const auto q = [](float v) { return static_cast<std::uint8_t>(std::lround(v)); };
        for (std::size_t i = 0; i < n; ++i)
            if (colored[i] && !flat[i])
                strong[i] = untinted(toLab(q(meanR[i]), q(meanG[i]), q(meanB[i]))) > kChromaStrong;
    }
    // Lone coloured pixels are noise; colour that is there comes in patches.
    std::size_t count = 0;
    for (int y = 1; y + 1 < h; ++y)
        for (int x = 1; x + 1 < w; ++x) {
            const std::size_t i = static_cast<std::size_t>(y * w + x);
            if (!colored[i]) continue;
            int around = 0, aroundFlat = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const std::size_t j = static_cast<std::size_t>((y + dy) * w + x + dx);
                    around += colored[j];
                    aroundFlat += flat[j];
                }
            // Away from edges a patch of colour counts; on an edge (coloured lettering, a
            // stamp's strokes) only strong colour with colour all round, wider than a fringe.
            if ((flat[i] && aroundFlat >= 7) || (strong[i] && around == 9)) ++count;
        }
    return static_cast<double>(count) > kColorShare * static_cast<double>(n);
}

// ---- margins

namespace {

// A pixel differs from the border when its lightness is this far from the border's: well
// past scanner noise and the ringing JPEG leaves on flat paper.
constexpr int kInkDistance = 40;
// Content narrower or lower than this share of the picture is a speck, not a page.
constexpr double kMinContentShare = 0.25;

struct Region {
    std::uint32_t x0, y0, x1, y1; // inclusive
};

// The content inside region against a near-white or near-black border, or nothing when the
// region's edge is not such a border.
bool same(const Region& a, const Region& b) {
    return a.x0 == b.x0 && a.y0 == b.y0 && a.x1 == b.x1 && a.y1 == b.y1;
}

struct Found {
    Region content; // what differs from the border
    Region kept;    // the content with its margin
    bool darkBorder = false;
};

// A pixel's lightness, read from the picture as it stands: no second copy of a large scan.
class Lightness {
  public:
    explicit Lightness(const Image& picture) : picture_(picture) {
        for (std::size_t i = 0; i < picture.GetPalette().size() && i < 256; ++i) {
            const Rgb c = picture.GetPalette()[i];
            palette_[i] = static_cast<std::uint8_t>((77 * c.r + 150 * c.g + 29 * c.b) >> 8);
        }
    }
    std::uint8_t operator()(std::uint32_t x, std::uint32_t y) const {
        const std::uint8_t* row = picture_.Row(y);
        if (picture_.IsIndexed()) return palette_[row[x]];
        const std::uint8_t* p = row + 3 * static_cast<std::size_t>(x);
        return static_cast<std::uint8_t>((77 * p[0] + 150 * p[1] + 29 * p[2]) >> 8);
    }

  private:
    const Image& picture_;
    std::array<std::uint8_t, 256> palette_{};
};

std::optional<Found> contentWithin(const Lightness& light, Region r) {
    const std::uint32_t w = r.x1 - r.x0 + 1, h = r.y1 - r.y0 + 1;
    if (w < 16 || h < 16) return std::nullopt;
    const auto at = [&](std::uint32_t x, std::uint32_t y) { return light(x, y); };
    // The border's lightness: the median of the region's outermost two lines all round.
    std::array<std::uint32_t, 256> histogram{};
    std::uint32_t frame = 0;
    for (std::uint32_t y = r.y0; y <= r.y1; ++y)
        for (std::uint32_t x = r.x0; x <= r.x1; ++x) {
            const bool edge = y < r.y0 + 2 || y + 2 > r.y1 || x < r.x0 + 2 || x + 2 > r.x1;
            if (!edge) {
                x = r.x1 - 2; // jump to the right edge of this row
                continue;
            }
            ++histogram[at(x, y)];
            ++frame;
        }
    int border = 0;
    for (std::uint32_t seen = 0; border < 255 && (seen += histogram[border]) < frame / 2;)
        ++border;
    if (border > 72 && border < 176) return std::nullopt; // neither paper nor a black bed
    auto ink = [&](std::uint32_t x, std::uint32_t y) {
        return std::abs(static_cast<int>(at(x, y)) - border) > kInkDistance;
    };

    // A line counts as content from two differing pixels on: one is dust or noise.
    std::optional<std::uint32_t> top, bottom;
    for (std::uint32_t y = r.y0; y <= r.y1; ++y) {
        std::uint32_t count = 0;
        for (std::uint32_t x = r.x0; x <= r.x1 && count < 2; ++x)
            count += ink(x, y);
        if (count >= 2) {
            if (!top) top = y;
            bottom = y;
        }
    }
    if (!top) return std::nullopt; // an empty page keeps its size
    std::optional<std::uint32_t> left, right;
    for (std::uint32_t x = r.x0; x <= r.x1; ++x) {
        std::uint32_t count = 0;
        for (std::uint32_t y = *top; y <= *bottom && count < 2; ++y)
            count += ink(x, y);
        if (count >= 2) {
            if (!left) left = x;
            right = x;
        }
    }
    if (!left) return std::nullopt;
    Region c{*left, *top, *right, *bottom};
    const std::uint32_t cw = c.x1 - c.x0 + 1, ch = c.y1 - c.y0 + 1;
    // A dimension in which the content is a speck keeps its whole extent.
    const bool cutX = cw >= kMinContentShare * w, cutY = ch >= kMinContentShare * h;
    if (!cutX && !cutY) return std::nullopt;
    const std::uint32_t margin = std::max<std::uint32_t>(
        1, static_cast<std::uint32_t>(std::lround(0.01 * std::max(cw, ch))));
    Region out = r;
    if (cutX) {
        out.x0 = c.x0 > r.x0 + margin ? c.x0 - margin : r.x0;
        out.x1 = std::min(r.x1, c.x1 + margin);
    }
    if (cutY) {
        out.y0 = c.y0 > r.y0 + margin ? c.y0 - margin : r.y0;
        out.y1 = std::min(r.y1, c.y1 + margin);
    }
    if (!cutX) c.x0 = r.x0, c.x1 = r.x1;
    if (!cutY) c.y0 = r.y0, c.y1 = r.y1;
    return Found{c, out, border < 128};
}

} // namespace

ContentBox contentBox(const Image& picture) {
    const std::uint32_t w = picture.GetWidth(), h = picture.GetHeight();
    const ContentBox whole{0, 0, w, h};
    if (!picture.IsValid()) return whole;
    const Lightness light(picture);
    // A scanner's black bed round the sheet first, then the sheet's own paper margins.
    Region r{0, 0, w - 1, h - 1};
    if (const std::optional<Found> outer = contentWithin(light, r)) {
        r = outer->kept;
        if (outer->darkBorder)
            if (const std::optional<Found> sheet = contentWithin(light, outer->content))
                if (!sheet->darkBorder && !same(sheet->content, outer->content)) r = sheet->kept;
    }
    return {r.x0, r.y0, r.x1 - r.x0 + 1, r.y1 - r.y0 + 1};
}

bool cutPicture(Image& picture, const ContentBox& rect, std::string& why) {
    if (rect.x == 0 && rect.y == 0 && rect.width == picture.GetWidth() &&
        rect.height == picture.GetHeight())
        return true;
    Image cut(picture.GetType());
    try {
        if (!cut.Create(rect.width, rect.height, picture.GetBpp(), &why)) return false;
    } catch (const std::bad_alloc&) {
        why.clear();
        return false;
    }
    if (picture.IsIndexed()) cut.SetPalette(picture.GetPalette());
    cut.SetDpi(picture.GetXDpi(), picture.GetYDpi());
    cut.SetJpegQuality(picture.GetJpegQuality());
    const std::size_t bytes = rect.width * picture.BytesPerPixel();
    for (std::uint32_t y = 0; y < rect.height; ++y)
        std::copy_n(picture.Row(rect.y + y) + rect.x * picture.BytesPerPixel(), bytes, cut.Row(y));
    picture = std::move(cut);
    return true;
}

bool cropToContent(Image& picture, std::string& reason) {
    std::string why;
    if (cutPicture(picture, contentBox(picture), why)) return true;
    reason = "cannot cut the margins (out of memory)";
    return false;
}

} // namespace folio
