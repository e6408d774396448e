// Writes a reproducible set of page images of the kinds users scan, for timing the tool
// against other image programs: folio_make_pages OUTDIR. Every run gives the same bytes:
// the generator is our own splitmix64 with fixed seeds and integer or exactly rounded
// (+ - * / sqrt) arithmetic only, so no library version can change the pictures.
#include "book/image/Image.h"

#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using std::int64_t;
using std::uint32_t;
using std::uint64_t;
using std::uint8_t;

constexpr uint64_t kSeed = 0x466f6c696f2d3031ull; // fixed: the page set must never change

class Rng {
  public:
    explicit Rng(uint64_t seed) : s_(seed) {}
    uint64_t next() {
        uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform enough in [lo, hi] for pictures; the modulo bias does not matter here.
    int range(int lo, int hi) {
        return lo + static_cast<int>(next() % static_cast<uint64_t>(hi - lo + 1));
    }

  private:
    uint64_t s_;
};

uint8_t clampByte(int v) {
    return static_cast<uint8_t>(std::clamp(v, 0, 255));
}

// Pixel count times channels, refused past the image library's limits so nothing overflows.
std::size_t bufferSize(uint32_t w, uint32_t h, uint32_t channels) {
    if (w == 0 || h == 0 || w > folio::kMaxImageSide || h > folio::kMaxImageSide ||
        uint64_t{w} * h > folio::kMaxImagePixels || channels > 3)
        throw std::runtime_error("page size out of range");
    return static_cast<std::size_t>(uint64_t{w} * h * channels);
}

struct Canvas {
    Canvas(uint32_t width, uint32_t height, uint32_t ch)
        : w(width), h(height), channels(ch), px(bufferSize(width, height, ch)) {}
    uint8_t* row(uint32_t y) { return px.data() + std::size_t{y} * w * channels; }
    const uint8_t* row(uint32_t y) const { return px.data() + std::size_t{y} * w * channels; }
    uint32_t w, h, channels;
    std::vector<uint8_t> px;
};

// One byte per pixel: 0 paper, 255 ink (or a palette index for line art).
struct Mask {
    Mask(uint32_t width, uint32_t height) : w(width), h(height), m(bufferSize(width, height, 1)) {}
    void stamp(int x, int y, int t, uint8_t v) {
        const int x0 = std::max(x, 0), y0 = std::max(y, 0);
        const int x1 = std::min(x + t, static_cast<int>(w));
        const int y1 = std::min(y + t, static_cast<int>(h));
        for (int yy = y0; yy < y1; ++yy)
            for (int xx = x0; xx < x1; ++xx)
                m[static_cast<std::size_t>(yy) * w + static_cast<std::size_t>(xx)] = v;
    }
    // A stroke of thickness t made of stamped squares along the segment.
    void line(int x0, int y0, int x1, int y1, int t, uint8_t v = 255) {
        const int n = std::max({std::abs(x1 - x0), std::abs(y1 - y0), 1});
        for (int i = 0; i <= n; ++i)
            stamp(x0 + (x1 - x0) * i / n - t / 2, y0 + (y1 - y0) * i / n - t / 2, t, v);
    }
    // Midpoint circle, so no trigonometry can differ between library versions.
    void circle(int cx, int cy, int r, int t, uint8_t v) {
        int x = r, y = 0, err = 1 - r;
        while (x >= y) {
            const std::array<std::pair<int, int>, 8> pts{
                {{x, y}, {y, x}, {-y, x}, {-x, y}, {-x, -y}, {-y, -x}, {y, -x}, {x, -y}}};
            for (auto [dx, dy] : pts)
                stamp(cx + dx, cy + dy, t, v);
            ++y;
            if (err < 0) {
                err += 2 * y + 1;
            } else {
                --x;
                err += 2 * (y - x) + 1;
            }
        }
    }
    uint8_t at(uint32_t x, uint32_t y) const { return m[std::size_t{y} * w + x]; }
    uint32_t w, h;
    std::vector<uint8_t> m;
};

// Smooth random field in [-amp, amp]: random levels on a grid of `cell` pixels, bilinearly
// blended. Gives blotches (large cells) or texture (small cells) cheaply.
class ValueNoise {
  public:
    ValueNoise(uint32_t w, uint32_t h, uint32_t cell, int amp, Rng& rng)
        : cell_(cell), gw_(w / cell + 2), grid_(bufferSize(gw_, h / cell + 2, 1)) {
        for (auto& v : grid_)
            v = rng.range(-amp, amp);
    }
    void row(uint32_t y, std::vector<int>& out) const {
        const uint32_t gy = y / cell_, fy = y % cell_;
        const int* a = grid_.data() + std::size_t{gy} * gw_;
        const int* b = a + gw_;
        const int c = static_cast<int>(cell_), c2 = c * c, wy = static_cast<int>(fy);
        for (std::size_t x = 0; x < out.size(); ++x) {
            const std::size_t gx = x / cell_;
            const int wx = static_cast<int>(x % cell_);
            const int top = a[gx] * (c - wx) + a[gx + 1] * wx;
            const int bot = b[gx] * (c - wx) + b[gx + 1] * wx;
            out[x] = (top * (c - wy) + bot * wy) / c2;
        }
    }

  private:
    uint32_t cell_, gw_;
    std::vector<int> grid_;
};

// Triangular noise in about [-amp, amp] from 16 random bits: sensor and paper grain.
int grain(uint64_t bits, int amp) {
    const int s = static_cast<int>(bits & 0xff) + static_cast<int>((bits >> 8) & 0xff) - 255;
    return s * amp / 255;
}

// ---------------------------------------------------------------------------------------
// Photos: sky/ground gradients, shaded ellipses and blocks, texture and sensor noise.

Canvas photo(uint32_t w, uint32_t h, Rng& rng) {
    Canvas c(w, h, 3);
    std::array<int, 3> top{}, mid{}, gnd{}, far{};
    for (int k = 0; k < 3; ++k) {
        top[k] = rng.range(60, 200);
        mid[k] = rng.range(120, 250);
        gnd[k] = rng.range(30, 150);
        far[k] = rng.range(20, 110);
    }
    const int horizon = static_cast<int>(h) * rng.range(30, 65) / 100;
    const int H = static_cast<int>(h), W = static_cast<int>(w);
    for (int y = 0; y < H; ++y) {
        uint8_t* p = c.row(static_cast<uint32_t>(y));
        std::array<int, 3> base{};
        for (int k = 0; k < 3; ++k)
            base[k] = y < horizon
                          ? top[k] + (mid[k] - top[k]) * y / std::max(horizon, 1)
                          : gnd[k] + (far[k] - gnd[k]) * (y - horizon) / std::max(H - horizon, 1);
        for (int x = 0; x < W; ++x) {
            // Lens vignetting: darker towards the sides.
            const int dx = x - W / 2;
            const int vig = static_cast<int>(int64_t{40} * dx * dx / (int64_t{W} * W / 4));
            for (int k = 0; k < 3; ++k)
                p[3 * x + k] = clampByte(base[k] - vig);
        }
    }
    // Blocks (walls, furniture) with a vertical light gradient.
    for (int n = rng.range(3, 6); n > 0; --n) {
        const int x0 = rng.range(-W / 8, W), y0 = rng.range(H / 4, H);
        const int bw = rng.range(W / 10, W / 2), bh = rng.range(H / 10, H / 2);
        std::array<int, 3> col{};
        for (auto& v : col)
            v = rng.range(20, 230);
        for (int y = std::max(y0, 0); y < std::min(y0 + bh, H); ++y) {
            uint8_t* p = c.row(static_cast<uint32_t>(y));
            const int shade = 30 * (y - y0) / bh;
            for (int x = std::max(x0, 0); x < std::min(x0 + bw, W); ++x)
                for (int k = 0; k < 3; ++k)
                    p[3 * x + k] = clampByte(col[k] - shade);
        }
    }
    // Round objects, lit from the upper left.
    for (int n = rng.range(8, 14); n > 0; --n) {
        const int cx = rng.range(0, W), cy = rng.range(0, H);
        const int rx = rng.range(W / 20, W / 4), ry = rng.range(H / 20, H / 4);
        std::array<int, 3> col{};
        for (auto& v : col)
            v = rng.range(30, 240);
        for (int y = std::max(cy - ry, 0); y < std::min(cy + ry, H); ++y) {
            const double dy = static_cast<double>(y - cy) / ry;
            const int half = static_cast<int>(rx * std::sqrt(std::max(0.0, 1.0 - dy * dy)));
            uint8_t* p = c.row(static_cast<uint32_t>(y));
            for (int x = std::max(cx - half, 0); x < std::min(cx + half, W); ++x) {
                const double ddx = static_cast<double>(x - cx) / rx;
                const double lx = ddx + 0.35, ly = dy + 0.35;
                const double f = 1.15 - 0.55 * (lx * lx + ly * ly);
                for (int k = 0; k < 3; ++k)
                    p[3 * x + k] = clampByte(static_cast<int>(col[k] * f));
            }
        }
    }
    // Texture at two scales plus sensor grain: what makes real photo JPEGs big.
    ValueNoise coarse(w, h, 48, 18, rng), fine(w, h, 4, 12, rng);
    std::vector<int> a(w), b(w);
    for (uint32_t y = 0; y < h; ++y) {
        coarse.row(y, a);
        fine.row(y, b);
        uint8_t* p = c.row(y);
        for (uint32_t x = 0; x < w; ++x) {
            const uint64_t r = rng.next();
            const int luma = a[x] + b[x] + grain(r, 13);
            for (int k = 0; k < 3; ++k)
                p[3 * x + k] = clampByte(p[3 * x + k] + luma + grain(r >> (16 + 16 * k), 2));
        }
    }
    return c;
}

// ---------------------------------------------------------------------------------------
// Text: glyphs made of a few strokes from a small set, laid out as words, lines, paragraphs.

struct TextStyle {
    int xHeight;   // pixels
    int thickness; // stroke width
    int pitch;     // baseline to baseline
};

// A glyph's strokes on a 3 x 7 point grid (x 0..2, y 0 ascender top, 2 x-height, 4 baseline,
// 6 descender bottom).
constexpr std::array<std::array<int, 4>, 11> kStrokes{{
    {0, 2, 0, 4}, // left stem
    {2, 2, 2, 4}, // right stem
    {0, 2, 2, 2}, // top bar
    {0, 3, 2, 3}, // middle bar
    {0, 4, 2, 4}, // bottom bar
    {0, 0, 0, 2}, // left ascender
    {2, 0, 2, 2}, // right ascender
    {2, 4, 2, 6}, // descender
    {0, 4, 2, 2}, // rising diagonal
    {0, 2, 2, 4}, // falling diagonal
    {1, 2, 1, 4}, // middle stem
}};

void glyph(Mask& m, int x, int baseline, const TextStyle& s, Rng& rng, uint8_t v) {
    const int cw = s.xHeight * 9 / 10;
    const int unitY = s.xHeight / 2;
    auto px = [&](int gx) { return x + gx * cw / 2; };
    auto py = [&](int gy) { return baseline + (gy - 4) * unitY; };
    const uint64_t bits = rng.next();
    int drawn = 0;
    for (std::size_t i = 0; i < kStrokes.size(); ++i) {
        // Lower-case strokes are common, ascenders and descenders rarer.
        const unsigned odds = (i >= 5 && i <= 7) ? 6 : 2;
        if ((bits >> (4 * i)) % odds != 0) continue;
        const auto& k = kStrokes[i];
        m.line(px(k[0]), py(k[1]), px(k[2]), py(k[3]), s.thickness, v);
        ++drawn;
    }
    if (drawn == 0) m.line(px(0), py(2), px(0), py(4), s.thickness, v);
}

// Fills the box with paragraphs of text; returns the y below the last line.
int textBlock(Mask& m, int left, int top, int right, int bottom, const TextStyle& s, Rng& rng,
              uint8_t v = 255) {
    const int adv = s.xHeight * 9 / 10 + s.xHeight / 3 + s.thickness;
    int y = top + s.xHeight * 2;
    bool paragraphStart = true;
    for (; y + s.xHeight <= bottom; y += s.pitch) {
        const bool paragraphEnd = rng.range(0, 9) == 0;
        int x = left + (paragraphStart ? adv * 3 : 0);
        const int end = paragraphEnd ? left + (right - left) * rng.range(20, 80) / 100 : right;
        while (true) {
            const int len = rng.range(1, 9);
            if (x + len * adv > end) break;
            for (int i = 0; i < len; ++i, x += adv)
                glyph(m, x, y, s, rng, v);
            x += adv;
        }
        paragraphStart = paragraphEnd;
        if (paragraphEnd) y += s.pitch / 3;
    }
    return y;
}

// One printed page's worth of ink inside [left, right): heading, body, page number.
// Returns the body's box so a figure can be put in it.
struct Box {
    int x0, y0, x1, y1;
};

Box pageText(Mask& m, int left, int right, const TextStyle& s, Rng& rng, bool figure) {
    const int H = static_cast<int>(m.h);
    const int margin = (right - left) / 10, topMargin = H / 12;
    const TextStyle heading{s.xHeight * 2, s.thickness * 2, s.pitch * 2};
    const int l = left + margin, r = right - margin;
    int y = topMargin;
    if (rng.range(0, 2) == 0)
        y = textBlock(m, l, y, r - (r - l) / 3, y + heading.pitch, heading, rng);
    Box fig{0, 0, 0, 0};
    if (figure) {
        fig = {l, y + s.pitch, r, y + s.pitch + (H - 2 * topMargin) / 3};
        y = fig.y1;
    }
    textBlock(m, l, y, r, H - topMargin, s, rng);
    // Page number, centred at the foot.
    TextStyle small = s;
    for (int i = 0; i < 2; ++i)
        glyph(m, (left + right) / 2 + i * s.xHeight, H - topMargin / 2, small, rng, 255);
    return fig;
}

// A scanned printed page (or a two-page spread): paper tone, blotches, grain, a shadow
// at the scanner's edge or the book's gutter, dark ink; colour scans carry a photo figure.
Canvas scan(uint32_t w, uint32_t h, bool colour, int pages, const TextStyle& s, Rng& rng) {
    Mask ink(w, h);
    std::vector<Box> figures;
    const int W = static_cast<int>(w);
    for (int p = 0; p < pages; ++p) {
        const bool fig = colour && rng.range(0, 2) != 0;
        const Box b = pageText(ink, W * p / pages, W * (p + 1) / pages, s, rng, fig);
        if (fig) figures.push_back(b);
    }
    Canvas c(w, h, colour ? 3 : 1);
    const std::array<int, 3> paper{rng.range(232, 244), rng.range(228, 240), rng.range(212, 230)};
    const std::array<int, 3> inkCol{rng.range(20, 45), rng.range(20, 45), rng.range(25, 60)};
    ValueNoise blotch(w, h, 96, 6, rng);
    std::vector<int> a(w);
    for (uint32_t y = 0; y < h; ++y) {
        blotch.row(y, a);
        uint8_t* p = c.row(y);
        for (uint32_t x = 0; x < w; ++x) {
            // Shadow: scanner lid edge on the left of a page, the gutter in a spread.
            const int edge =
                pages == 1 ? static_cast<int>(x) : std::abs(static_cast<int>(x) - W / 2);
            const int shadow = edge < 120 ? (120 - edge) * (120 - edge) / 160 : 0;
            const uint64_t r = rng.next();
            const int n = a[x] + grain(r, 6) - shadow;
            const bool inked = ink.at(x, y) != 0;
            if (c.channels == 1) {
                p[x] = clampByte((inked ? inkCol[0] : paper[0]) + n);
            } else {
                for (int k = 0; k < 3; ++k)
                    p[3 * x + k] = clampByte((inked ? inkCol[k] : paper[k]) + n +
                                             grain(r >> (16 + 16 * k), 2));
            }
        }
    }
    for (const Box& b : figures) {
        const uint32_t fw = static_cast<uint32_t>(b.x1 - b.x0);
        const uint32_t fh = static_cast<uint32_t>(b.y1 - b.y0);
        const Canvas f = photo(fw, fh, rng);
        for (uint32_t y = 0; y < fh; ++y)
            std::copy_n(f.row(y), std::size_t{fw} * 3,
                        c.row(static_cast<uint32_t>(b.y0) + y) + std::size_t(b.x0) * 3);
    }
    return c;
}

// Technical line art: frames, boxes, circles, hatching and curves in thin strokes.
// `ink` picks the value of each stroke: gray levels, or palette indices 1..n.
Mask lineArt(uint32_t w, uint32_t h, Rng& rng, int inks) {
    Mask m(w, h);
    const int W = static_cast<int>(w), H = static_cast<int>(h);
    auto pick = [&] { return static_cast<uint8_t>(rng.range(1, inks)); };
    const int frame = W / 20;
    m.line(frame, frame, W - frame, frame, 2, 1);
    m.line(W - frame, frame, W - frame, H - frame, 2, 1);
    m.line(W - frame, H - frame, frame, H - frame, 2, 1);
    m.line(frame, H - frame, frame, frame, 2, 1);
    for (int n = rng.range(25, 40); n > 0; --n) {
        const int x0 = rng.range(frame, W - frame), y0 = rng.range(frame, H - frame);
        const int x1 = std::min(x0 + rng.range(40, W / 3), W - frame);
        const int y1 = std::min(y0 + rng.range(40, H / 4), H - frame);
        const uint8_t v = pick();
        const int t = rng.range(1, 2);
        m.line(x0, y0, x1, y0, t, v);
        m.line(x1, y0, x1, y1, t, v);
        m.line(x1, y1, x0, y1, t, v);
        m.line(x0, y1, x0, y0, t, v);
        if (rng.range(0, 2) == 0) {
            // Hatching: 45-degree lines clipped to the box.
            const int step = rng.range(9, 16);
            for (int d = step; d < (x1 - x0) + (y1 - y0); d += step) {
                const int ax = x0 + std::max(0, d - (y1 - y0)), ay = y1 - std::min(d, y1 - y0);
                const int bx = x0 + std::min(d, x1 - x0), by = y1 - std::max(0, d - (x1 - x0));
                m.line(ax, ay, bx, by, 1, v);
            }
        }
    }
    for (int n = rng.range(15, 30); n > 0; --n)
        m.circle(rng.range(0, W), rng.range(0, H), rng.range(20, W / 6), rng.range(1, 2), pick());
    // Quadratic curves as short segments.
    for (int n = rng.range(30, 50); n > 0; --n) {
        const double px[3] = {double(rng.range(0, W)), double(rng.range(0, W)),
                              double(rng.range(0, W))};
        const double py[3] = {double(rng.range(0, H)), double(rng.range(0, H)),
                              double(rng.range(0, H))};
        const uint8_t v = pick();
        int lx = static_cast<int>(px[0]), ly = static_cast<int>(py[0]);
        for (int i = 1; i <= 64; ++i) {
            const double t = i / 64.0, u = 1 - t;
            const int x = static_cast<int>(u * u * px[0] + 2 * u * t * px[1] + t * t * px[2]);
            const int y = static_cast<int>(u * u * py[0] + 2 * u * t * py[1] + t * t * py[2]);
            m.line(lx, ly, x, y, 1, v);
            lx = x;
            ly = y;
        }
    }
    return m;
}

// ---------------------------------------------------------------------------------------
// Writers.

void writeFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void writeJpeg(const fs::path& path, const Canvas& c, int quality, uint32_t dpi) {
    folio::Image im;
    std::string err;
    if (!im.Create(c.w, c.h, c.channels == 3 ? 24 : 8, &err)) throw std::runtime_error(err);
    if (c.channels == 1) im.SetGrayPalette();
    for (uint32_t y = 0; y < c.h; ++y)
        std::copy_n(c.row(y), std::size_t{c.w} * c.channels, im.Row(y));
    im.SetDpi(dpi, dpi);
    im.SetJpegQuality(static_cast<uint8_t>(quality));
    std::vector<uint8_t> bytes;
    if (!im.Encode(bytes, folio::kFormatJpeg)) throw std::runtime_error(im.GetLastError());
    writeFile(path, bytes);
}

// libpng's simplified API: no setjmp needed; the guard frees whatever it still holds.
struct PngImage {
    PngImage() { img.version = PNG_IMAGE_VERSION; }
    ~PngImage() { png_image_free(&img); }
    PngImage(const PngImage&) = delete;
    PngImage& operator=(const PngImage&) = delete;
    png_image img{};
};

void writePng(const fs::path& path, uint32_t w, uint32_t h, png_uint_32 format,
              const uint8_t* pixels, const std::vector<uint8_t>& colormap = {}) {
    PngImage p;
    p.img.width = w;
    p.img.height = h;
    p.img.format = format;
    p.img.colormap_entries = static_cast<png_uint_32>(colormap.size() / 3);
    if (!png_image_write_to_file(&p.img, path.c_str(), 0, pixels, 0,
                                 colormap.empty() ? nullptr : colormap.data()))
        throw std::runtime_error("png: " + std::string(p.img.message));
}

struct TiffClose {
    void operator()(TIFF* t) const { TIFFClose(t); }
};

// Bilevel, CCITT group 4, 0 = white: how office scanners store text pages.
void writeG4Tiff(const fs::path& path, const Mask& m, uint32_t dpi) {
    const std::unique_ptr<TIFF, TiffClose> tif(TIFFOpen(path.c_str(), "w"));
    if (!tif) throw std::runtime_error("cannot create " + path.string());
    TIFF* t = tif.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, m.w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, m.h);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, m.h);
    TIFFSetField(t, TIFFTAG_XRESOLUTION, static_cast<float>(dpi));
    TIFFSetField(t, TIFFTAG_YRESOLUTION, static_cast<float>(dpi));
    TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    const std::size_t stride = (std::size_t{m.w} + 7) / 8;
    std::vector<uint8_t> bits(stride * m.h);
    for (uint32_t y = 0; y < m.h; ++y)
        for (uint32_t x = 0; x < m.w; ++x)
            if (m.at(x, y)) bits[y * stride + x / 8] |= static_cast<uint8_t>(0x80u >> (x % 8));
    if (TIFFWriteEncodedStrip(t, 0, bits.data(), static_cast<tmsize_t>(bits.size())) < 0)
        throw std::runtime_error("cannot write " + path.string());
}

void put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, x & 0xffff);
    put16(v, x >> 16);
}

// Uncompressed Windows BMP, bottom-up: 24-bit BGR, or 8-bit with a gray palette.
void writeBmp(const fs::path& path, const Canvas& c) {
    const std::size_t rowBytes = (std::size_t{c.w} * c.channels + 3) / 4 * 4;
    const uint32_t paletteBytes = c.channels == 1 ? 1024 : 0;
    const uint32_t offset = 14 + 40 + paletteBytes;
    const std::size_t total = offset + rowBytes * c.h;
    if (total > 0xffffffffu) throw std::runtime_error("BMP too large");
    std::vector<uint8_t> v;
    v.reserve(total);
    v.push_back('B');
    v.push_back('M');
    put32(v, static_cast<uint32_t>(total));
    put32(v, 0);
    put32(v, offset);
    put32(v, 40);
    put32(v, c.w);
    put32(v, c.h);
    put16(v, 1);
    put16(v, static_cast<uint16_t>(c.channels * 8));
    put32(v, 0); // no compression
    put32(v, static_cast<uint32_t>(rowBytes * c.h));
    put32(v, 3937); // 100 dpi in pixels per metre
    put32(v, 3937);
    put32(v, c.channels == 1 ? 256 : 0);
    put32(v, 0);
    for (uint32_t i = 0; i < paletteBytes / 4; ++i) {
        for (int k = 0; k < 3; ++k)
            v.push_back(static_cast<uint8_t>(i));
        v.push_back(0);
    }
    for (uint32_t y = c.h; y-- > 0;) {
        const uint8_t* p = c.row(y);
        for (uint32_t x = 0; x < c.w; ++x) {
            if (c.channels == 1) {
                v.push_back(p[x]);
            } else {
                v.push_back(p[3 * x + 2]);
                v.push_back(p[3 * x + 1]);
                v.push_back(p[3 * x]);
            }
        }
        v.resize(v.size() + rowBytes - std::size_t{c.w} * c.channels, 0);
    }
    writeFile(path, v);
}

// ---------------------------------------------------------------------------------------
// The page set.

enum class Kind {
    Photo,
    ScanGray,
    ScanColour,
    LineArtGray,
    LineArtPalette,
    Bilevel,
    Spread,
    Small
};
enum class Format { Jpeg, Png, Bmp, Tiff };

struct PagePlan {
    Kind kind;
    const char* name; // kind in the file name and the summary
    uint32_t w, h;
    Format format;
    bool colour;
};

// Counts chosen so the set is about 83 MB, dominated by photos and colour scans as a
// real phone-and-scanner collection is.
std::vector<PagePlan> plan() {
    std::vector<PagePlan> v;
    auto add = [&](int n, PagePlan s) {
        for (int i = 0; i < n; ++i)
            v.push_back(s);
    };
    add(16, {Kind::Photo, "photo", 2448, 3264, Format::Jpeg, true});
    add(8, {Kind::ScanGray, "scan-gray", 2480, 3508, Format::Jpeg, false});
    add(4, {Kind::ScanColour, "scan-colour", 2480, 3508, Format::Jpeg, true});
    add(2, {Kind::LineArtGray, "lineart-gray", 2480, 3508, Format::Png, false});
    add(2, {Kind::LineArtPalette, "lineart-palette", 2480, 3508, Format::Png, false});
    add(8, {Kind::Bilevel, "bilevel-g4", 2480, 3508, Format::Tiff, false});
    add(4, {Kind::Spread, "spread", 4960, 3508, Format::Jpeg, true});
    // Small pages: low-resolution scans and pictures, mixed formats, both orientations.
    v.push_back({Kind::Small, "small-photo", 600, 800, Format::Jpeg, true});
    v.push_back({Kind::Small, "small-photo", 800, 600, Format::Png, true});
    v.push_back({Kind::Small, "small-scan", 600, 800, Format::Bmp, true});
    v.push_back({Kind::Small, "small-scan", 800, 600, Format::Jpeg, false});
    v.push_back({Kind::Small, "small-scan", 600, 800, Format::Png, false});
    v.push_back({Kind::Small, "small-scan", 800, 600, Format::Bmp, false});
    v.push_back({Kind::Small, "small-photo", 600, 800, Format::Bmp, true});
    v.push_back({Kind::Small, "small-photo", 800, 600, Format::Jpeg, true});
    v.push_back({Kind::Small, "small-scan", 600, 800, Format::Jpeg, false});
    v.push_back({Kind::Small, "small-lineart", 800, 600, Format::Png, false});
    // Book order: a photo cover, then the rest shuffled (Fisher-Yates on our generator).
    Rng rng(kSeed ^ 0x5eed);
    for (std::size_t i = v.size() - 1; i > 1; --i)
        std::swap(v[i], v[1 + rng.next() % i]);
    return v;
}

const char* extension(Format f) {
    switch (f) {
    case Format::Jpeg:
        return "jpg";
    case Format::Png:
        return "png";
    case Format::Bmp:
        return "bmp";
    case Format::Tiff:
        return "tif";
    }
    return "";
}

// Palette of the coloured line art: white paper and eight inks.
std::vector<uint8_t> lineArtPalette() {
    std::vector<uint8_t> p = {255, 255, 255, 0,   0,  0, 30, 30,  160, 160, 20, 20,  20, 110, 40,
                              90,  90,  90,  120, 60, 0, 0,  120, 120, 140, 0,  140, 60, 60,  60};
    return p;
}

void makePage(const PagePlan& s, const fs::path& path, uint64_t seed) {
    Rng rng(seed);
    const TextStyle a4{24, 4, 62}; // 11 pt at 300 dpi
    const TextStyle low{8, 2, 21}; // the same at 100 dpi
    switch (s.kind) {
    case Kind::Photo:
        writeJpeg(path, photo(s.w, s.h, rng), 92, 72);
        return;
    case Kind::ScanGray:
        writeJpeg(path, scan(s.w, s.h, false, 1, a4, rng), 90, 300);
        return;
    case Kind::ScanColour:
        writeJpeg(path, scan(s.w, s.h, true, 1, a4, rng), 90, 300);
        return;
    case Kind::Spread:
        writeJpeg(path, scan(s.w, s.h, true, 2, a4, rng), 90, 300);
        return;
    case Kind::LineArtGray: {
        Mask m = lineArt(s.w, s.h, rng, 4);
        // Stroke values 1..4 become dark gray levels on white.
        for (auto& v : m.m)
            v = v == 0 ? 255 : static_cast<uint8_t>(v * 25);
        writePng(path, s.w, s.h, PNG_FORMAT_GRAY, m.m.data());
        return;
    }
    case Kind::LineArtPalette: {
        const std::vector<uint8_t> pal = lineArtPalette();
        const Mask m = lineArt(s.w, s.h, rng, static_cast<int>(pal.size() / 3) - 1);
        writePng(path, s.w, s.h, PNG_FORMAT_RGB_COLORMAP, m.m.data(), pal);
        return;
    }
    case Kind::Bilevel: {
        Mask m(s.w, s.h);
        pageText(m, 0, static_cast<int>(s.w), a4, rng, false);
        // Scanner specks, sparse.
        for (int n = rng.range(150, 400); n > 0; --n)
            m.stamp(rng.range(0, static_cast<int>(s.w)), rng.range(0, static_cast<int>(s.h)),
                    rng.range(1, 3), 255);
        writeG4Tiff(path, m, 300);
        return;
    }
    case Kind::Small: {
        Canvas c = [&] {
            if (std::string(s.name) == "small-photo") return photo(s.w, s.h, rng);
            if (std::string(s.name) == "small-scan") return scan(s.w, s.h, s.colour, 1, low, rng);
            Mask m = lineArt(s.w, s.h, rng, 4);
            Canvas g(s.w, s.h, 1);
            for (std::size_t i = 0; i < m.m.size(); ++i)
                g.px[i] = m.m[i] == 0 ? 255 : static_cast<uint8_t>(m.m[i] * 25);
            return g;
        }();
        switch (s.format) {
        case Format::Jpeg:
            writeJpeg(path, c, 90, 100);
            return;
        case Format::Bmp:
            writeBmp(path, c);
            return;
        case Format::Png:
            writePng(path, c.w, c.h, c.channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY,
                     c.px.data());
            return;
        case Format::Tiff:
            break;
        }
        throw std::runtime_error("no writer for this small page");
    }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: folio_make_pages OUTDIR\n");
        return 2;
    }
    const fs::path dir = fs::absolute(argv[1]);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        std::fprintf(stderr, "folio_make_pages: cannot create %s: %s\n", dir.c_str(),
                     ec.message().c_str());
        return 1;
    }
    const std::vector<PagePlan> pages = plan();
    std::vector<fs::path> paths;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%02zu-%s.%s", i + 1, pages[i].name,
                      extension(pages[i].format));
        paths.push_back(dir / name);
    }
    // Pages are independent (each has its own seed), so threads cannot change the bytes.
    std::atomic<std::size_t> nextPage{0};
    std::vector<std::string> errors(pages.size());
    {
        std::vector<std::jthread> workers;
        const unsigned n = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
        for (unsigned t = 0; t < n; ++t)
            workers.emplace_back([&] {
                for (std::size_t i; (i = nextPage++) < pages.size();) {
                    try {
                        makePage(pages[i], paths[i], kSeed + 0x1000 * (i + 1));
                    } catch (const std::exception& e) {
                        errors[i] = e.what();
                    }
                }
            });
    }
    int failed = 0;
    for (std::size_t i = 0; i < pages.size(); ++i)
        if (!errors[i].empty()) {
            std::fprintf(stderr, "folio_make_pages: %s: %s\n", paths[i].c_str(), errors[i].c_str());
            ++failed;
        }
    if (failed) return 1;

    std::ofstream list(dir / "pages.txt", std::ios::trunc);
    std::map<std::string, std::pair<int, std::uintmax_t>> byKind;
    std::uintmax_t total = 0;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        list << (pages[i].colour ? "color" : "gray") << '\t' << paths[i].string() << '\n';
        const std::uintmax_t size = fs::file_size(paths[i]);
        total += size;
        auto& k = byKind[pages[i].name];
        ++k.first;
        k.second += size;
    }
    if (!list) {
        std::fprintf(stderr, "folio_make_pages: cannot write pages.txt\n");
        return 1;
    }
    for (const auto& [name, k] : byKind)
        std::printf("%-16s %3d pages %8.2f MB\n", name.c_str(), k.first, k.second / 1e6);
    std::printf("%zu pages, %ju bytes (%.1f MB) in %s\n", pages.size(), total, total / 1e6,
                dir.c_str());
    return 0;
}
