#include "book/pages/page_plan.h"

#include <algorithm>
#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace folio {

bool isSpread(std::uint32_t width, std::uint32_t height) {
    return std::uint64_t{width} * 5 > std::uint64_t{height} * 6;
}

std::vector<PageRect> spreadPages(std::uint32_t width, std::uint32_t height, bool rightToLeft) {
    if (!isSpread(width, height) || width < 2 || height == 0)
        return {PageRect{0, 0, width, height}};
    const std::uint32_t half = width / 2;
    const PageRect left{0, 0, half, height};
    const PageRect right{half, 0, width - half, height};
    if (rightToLeft) return {right, left};
    return {left, right};
}

std::vector<StripRun> groupStrips(std::span<const StripSlice> pictures) {
    std::vector<StripRun> runs;
    const auto empty = [](const StripSlice& p) { return p.width == 0 || p.height == 0; };
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const StripSlice& p = pictures[i];
        if (!runs.empty() && !empty(p)) {
            const StripSlice& prev = pictures[i - 1];
            if (!empty(prev) && prev.width == p.width && prev.group == p.group) {
                ++runs.back().count;
                continue;
            }
        }
        runs.push_back(StripRun{i, 1});
    }
    return runs;
}

std::uint64_t stripPieceLimit(std::uint32_t width) {
    // 4w/3 never ends in exactly one half, so (8w + 3) / 6 is its rounding half up.
    return std::max<std::uint64_t>(1, (std::uint64_t{width} * 8 + 3) / 6);
}

namespace {

struct Gutter {
    std::uint64_t first = 0, end = 0; // rows [first, end)
};

constexpr std::uint64_t kMinGutterRows = 4;

std::vector<Gutter> findGutters(std::uint64_t height, const std::vector<bool>& uniform) {
    std::vector<Gutter> gutters;
    const std::uint64_t n = std::min<std::uint64_t>(height, uniform.size());
    std::uint64_t y = 0;
    while (y < n) {
        if (!uniform[y]) {
            ++y;
            continue;
        }
        const std::uint64_t first = y;
        while (y < n && uniform[y])
            ++y;
        if (y - first >= kMinGutterRows) gutters.push_back(Gutter{first, y});
    }
    return gutters;
}

} // namespace

std::vector<StripPiece> cutStrip(std::uint64_t height, std::uint32_t width,
                                 const std::vector<bool>& uniform) {
    std::vector<StripPiece> pieces;
    const std::uint64_t limit = stripPieceLimit(width);
    // Both at least one row, so every piece moves on.
    const std::uint64_t nearest = std::max<std::uint64_t>(1, limit * 2 / 5);
    const std::uint64_t step = std::max<std::uint64_t>(1, limit * 9 / 10);
    const std::vector<Gutter> gutters = findGutters(height, uniform);

    std::size_t next = 0; // gutters before it start at or before the current range's end
    std::uint64_t start = 0;
    while (start < height) {
        if (height - start <= limit) {
            pieces.push_back(StripPiece{start, height - start});
            break;
        }
        const std::uint64_t lo = start + nearest, hi = start + limit;
        while (next < gutters.size() && gutters[next].first <= hi)
            ++next;
        // Gutters do not overlap, so the last one starting in time is the one nearest T; if
        // it ends before the range, so do all before it.
        if (next > 0 && gutters[next - 1].end > lo) {
            const Gutter& g = gutters[next - 1];
            const std::uint64_t a = std::max(g.first, lo), b = std::min(g.end - 1, hi);
            const std::uint64_t cut = a + (b - a) / 2;
            pieces.push_back(StripPiece{start, cut - start});
            start = cut;
        } else {
            pieces.push_back(StripPiece{start, limit});
            start += step;
        }
    }
    return pieces;
}

std::vector<std::vector<SliceRows>> pieceSlices(std::span<const std::uint32_t> sliceHeights,
                                                std::span<const StripPiece> pieces) {
    // starts[i] is slice i's first strip row; starts.back() the strip's height.
    std::vector<std::uint64_t> starts(sliceHeights.size() + 1, 0);
    for (std::size_t i = 0; i < sliceHeights.size(); ++i)
        starts[i + 1] = starts[i] + sliceHeights[i];
    const std::uint64_t height = starts.back();

    std::vector<std::vector<SliceRows>> out(pieces.size());
    for (std::size_t p = 0; p < pieces.size(); ++p) {
        std::uint64_t row = pieces[p].first;
        if (row >= height) continue;
        const std::uint64_t end = row + std::min(pieces[p].rows, height - row);
        // The last slice starting at or before the row: never one with no rows, since
        // that one shares its start with the slice after it.
        std::size_t s = static_cast<std::size_t>(
            std::upper_bound(starts.begin(), starts.end() - 1, row) - starts.begin() - 1);
        while (row < end) {
            const std::uint64_t sliceEnd = starts[s + 1];
            const std::uint64_t take = std::min(end, sliceEnd) - row;
            if (take > 0)
                out[p].push_back(SliceRows{s, static_cast<std::uint32_t>(row - starts[s]),
                                           static_cast<std::uint32_t>(take)});
            row += take;
            ++s;
        }
    }
    return out;
}

namespace {

// Lanes hold the running minimum and maximum of every 48th byte, which keeps each lane on
// one channel for both 1 and 3 bytes a pixel.
constexpr std::size_t kLanes = 48;
// Content shows early in most rows, after a margin at worst: blocks 0, 2, 8 and then every
// 16th are checked, so checking stays a small part of scanning a blank row.
constexpr bool checkAfter(std::size_t block) {
    return block == 0 || block == 2 || block % 16 == 8;
}

struct LaneRange {
    std::array<std::uint8_t, kLanes> lo, hi;
    LaneRange() {
        lo.fill(255);
        hi.fill(0);
    }
    void add(const std::uint8_t* p, std::size_t n) {
        for (std::size_t j = 0; j < n; ++j) {
            lo[j] = std::min(lo[j], p[j]);
            hi[j] = std::max(hi[j], p[j]);
        }
    }
    bool within(std::size_t channels) const {
        for (std::size_t c = 0; c < channels; ++c) {
            std::uint8_t mn = 255, mx = 0;
            for (std::size_t j = c; j < kLanes; j += channels) {
                mn = std::min(mn, lo[j]);
                mx = std::max(mx, hi[j]);
            }
            if (mx - mn > static_cast<int>(kUniformRowRange)) return false;
        }
        return true;
    }
};

#if defined(__SSE2__) && !defined(FOLIO_NO_SIMD)
// The same lanes in three 16-byte registers.
struct SimdRange {
    __m128i lo[3], hi[3];
    SimdRange() {
        for (int k = 0; k < 3; ++k) {
            lo[k] = _mm_set1_epi8(-1);
            hi[k] = _mm_setzero_si128();
        }
    }
    void add(const std::uint8_t* p) {
        for (int k = 0; k < 3; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
            lo[k] = _mm_min_epu8(lo[k], v);
            hi[k] = _mm_max_epu8(hi[k], v);
        }
    }
    // Lane j of the result holds the maximum of channel j % 3 (or of the only channel) over
    // all 48 lanes. Bytes shifted in are zero, which never wins a maximum.
    static __m128i fold(const __m128i (&v)[3], std::size_t channels) {
        if (channels == 1) {
            __m128i x = _mm_max_epu8(v[0], _mm_max_epu8(v[1], v[2]));
            x = _mm_max_epu8(x, _mm_srli_si128(x, 8));
            x = _mm_max_epu8(x, _mm_srli_si128(x, 4));
            x = _mm_max_epu8(x, _mm_srli_si128(x, 2));
            return _mm_max_epu8(x, _mm_srli_si128(x, 1));
        }
        // Register 1 starts on channel 1 and register 2 on channel 2: shifted by one and two
        // bytes either way, every lane of theirs lands on a lane of its own channel.
        __m128i x =
            _mm_max_epu8(v[0], _mm_max_epu8(_mm_slli_si128(v[1], 1), _mm_srli_si128(v[1], 2)));
        x = _mm_max_epu8(x, _mm_max_epu8(_mm_slli_si128(v[2], 2), _mm_srli_si128(v[2], 1)));
        x = _mm_max_epu8(x, _mm_srli_si128(x, 3));
        x = _mm_max_epu8(x, _mm_srli_si128(x, 6));
        return _mm_max_epu8(x, _mm_srli_si128(x, 12));
    }
    bool within(std::size_t channels) const {
        // Minimums fold as maximums of 255 - value.
        const __m128i ones = _mm_set1_epi8(-1);
        const __m128i inverted[3] = {_mm_xor_si128(lo[0], ones), _mm_xor_si128(lo[1], ones),
                                     _mm_xor_si128(lo[2], ones)};
        const __m128i mn = _mm_xor_si128(fold(inverted, channels), ones);
        const __m128i range = _mm_subs_epu8(fold(hi, channels), mn);
        const __m128i over =
            _mm_subs_epu8(range, _mm_set1_epi8(static_cast<char>(kUniformRowRange)));
        const int zero = _mm_movemask_epi8(_mm_cmpeq_epi8(over, _mm_setzero_si128()));
        const int wanted = channels == 1 ? 1 : 7;
        return (zero & wanted) == wanted;
    }
};

// Bytes of one channel (channels == 1) or interleaved RGB (channels == 3).
bool bytesUniform(const std::uint8_t* p, std::size_t n, std::size_t channels) {
    SimdRange r;
    const std::size_t blocks = n / kLanes;
    for (std::size_t b = 0; b < blocks; ++b) {
        r.add(p + b * kLanes);
        if (checkAfter(b) && !r.within(channels)) return false;
    }
    if (n % kLanes == 0) return r.within(channels);
    if (blocks > 0) {
        // The row's last 48 bytes: some seen already, which changes no minimum or maximum,
        // and they start on a pixel since 48 is a whole number of pixels.
        r.add(p + n - kLanes);
    } else {
        // Filled up with the first pixel, which is in the row already.
        std::array<std::uint8_t, kLanes> last;
        for (std::size_t j = 0; j < kLanes; ++j)
            last[j] = j < n ? p[j] : p[j % channels];
        r.add(last.data());
    }
    return r.within(channels);
}
#else
bool bytesUniform(const std::uint8_t* p, std::size_t n, std::size_t channels) {
    LaneRange r;
    const std::size_t blocks = n / kLanes;
    for (std::size_t b = 0; b < blocks; ++b) {
        r.add(p + b * kLanes, kLanes);
        if (checkAfter(b) && !r.within(channels)) return false;
    }
    r.add(p + blocks * kLanes, n - blocks * kLanes);
    return r.within(channels);
}
#endif

bool paletteRowUniform(const std::uint8_t* p, std::size_t n, const std::array<Rgb, 256>& lut) {
    if (n == 0) return true;
    const auto limit = static_cast<int>(kUniformRowRange);
    Rgb lo = lut[p[0]], hi = lo;
    for (std::size_t x = 1; x < n; ++x) {
        const Rgb c = lut[p[x]];
        lo.r = std::min(lo.r, c.r);
        lo.g = std::min(lo.g, c.g);
        lo.b = std::min(lo.b, c.b);
        hi.r = std::max(hi.r, c.r);
        hi.g = std::max(hi.g, c.g);
        hi.b = std::max(hi.b, c.b);
        if (hi.r - lo.r > limit || hi.g - lo.g > limit || hi.b - lo.b > limit) return false;
    }
    return true;
}

} // namespace

void appendUniformRows(const Image& picture, std::vector<bool>& flags) {
    if (!picture.IsValid()) return;
    const std::uint32_t h = picture.GetHeight();
    const std::size_t stride = picture.Stride();
    flags.reserve(flags.size() + h);
    if (picture.GetBpp() == 24 || picture.IsGrayRamp()) {
        const std::size_t channels = picture.GetBpp() == 24 ? 3 : 1;
        for (std::uint32_t y = 0; y < h; ++y) {
            // Most rows are left after their first bytes, too soon for the hardware to
            // see the stride: ask for the next rows' starts ahead.
            if (y + 4 < h) __builtin_prefetch(picture.Row(y + 4));
            flags.push_back(bytesUniform(picture.Row(y), stride, channels));
        }
        return;
    }
    // Every index of a palette picture is within its palette; the table covers all 256 so a
    // stray index cannot read past it either way.
    std::array<Rgb, 256> lut{};
    const std::vector<Rgb>& palette = picture.GetPalette();
    std::copy_n(palette.begin(), std::min<std::size_t>(palette.size(), lut.size()), lut.begin());
    for (std::uint32_t y = 0; y < h; ++y)
        flags.push_back(paletteRowUniform(picture.Row(y), stride, lut));
}

std::vector<bool> uniformRows(const Image& picture) {
    std::vector<bool> flags;
    appendUniformRows(picture, flags);
    return flags;
}

} // namespace folio
