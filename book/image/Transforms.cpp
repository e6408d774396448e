#include "book/image/Image.h"

#include "book/image/codecs/Codecs.h"
#include "book/image/kernels.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace folio {

namespace {
// Palette indices to R, G, B bytes; throws std::bad_alloc like any vector.
std::vector<std::uint8_t> expandPalette(const std::vector<std::uint8_t>& indices,
                                        const std::vector<Rgb>& palette) {
    std::vector<std::uint8_t> rgb(indices.size() * 3);
    for (std::size_t i = 0; i < indices.size(); ++i) {
        const Rgb c = palette[indices[i]];
        rgb[3 * i] = c.r;
        rgb[3 * i + 1] = c.g;
        rgb[3 * i + 2] = c.b;
    }
    return rgb;
}
} // namespace

namespace kernels {

namespace {

constexpr std::uint32_t kOne = 1u << kWeightBits;

// A 14-bit weight times a sample, written as a 16 x 16 -> 32-bit product: the form the
// vectoriser turns into paired 16-bit multiplies even on plain SSE2, where a full 32-bit
// multiply has no vector instruction.
inline std::uint32_t widenedProduct(std::uint16_t w, std::uint16_t s) {
    return static_cast<std::uint32_t>(w) * s;
}

// Vertical pass for output row r: weighted sum of `taps` whole source rows. The loops run
// over contiguous rows, which is what lets the compiler vectorise them.
template <typename In, typename Out, int Shift>
void verticalRow(const In* src, std::size_t stride, const AxisPlan& plan, std::uint32_t r,
                 std::uint32_t* acc, Out* out, std::size_t n) {
    const std::uint16_t* w = plan.weights.data() + std::size_t{r} * plan.taps;
    const In* s = src + std::size_t{plan.start[r]} * stride;
    const std::uint16_t w0 = w[0];
    for (std::size_t x = 0; x < n; ++x)
        acc[x] = (1u << (Shift - 1)) + widenedProduct(w0, s[x]);
    for (std::uint32_t k = 1; k < plan.taps; ++k) {
        const std::uint16_t wk = w[k];
        if (wk == 0) continue;
        const In* sk = s + k * stride;
        for (std::size_t x = 0; x < n; ++x)
            acc[x] += widenedProduct(wk, sk[x]);
    }
    for (std::size_t x = 0; x < n; ++x)
        out[x] = static_cast<Out>(acc[x] >> Shift);
}

template <typename In, typename Out, int Shift, std::size_t C>
void horizontalRow(const In* src, Out* out, const AxisPlan& plan, std::uint32_t dw) {
    const std::uint32_t taps = plan.taps;
    const std::uint16_t* w = plan.weights.data();
    for (std::uint32_t i = 0; i < dw; ++i, w += taps, out += C) {
        const In* s = src + std::size_t{plan.start[i]} * C;
        std::array<std::uint32_t, C> a;
        a.fill(1u << (Shift - 1));
        for (std::uint32_t k = 0; k < taps; ++k, s += C)
            for (std::size_t c = 0; c < C; ++c)
                a[c] += static_cast<std::uint32_t>(w[k]) * s[c];
        for (std::size_t c = 0; c < C; ++c)
            out[c] = static_cast<Out>(a[c] >> Shift);
    }
}

// Between the passes samples keep 7 extra fraction bits, so the two roundings together stay
// well inside one level of the exact result.
constexpr int kMidBits = 7;
constexpr int kSingle = kWeightBits;                // 8-bit in, 8-bit out
constexpr int kFirst = kWeightBits - kMidBits;      // 8-bit in, widened out
constexpr int kSecond = kWeightBits + kMidBits;     // widened in, 8-bit out
static_assert(255u * (1u << kSecond) < (1u << 31)); // sums of the second pass fit uint32

template <std::size_t C>
void resampleC(const std::uint8_t* src, std::uint32_t sw, std::uint32_t sh, std::uint8_t* dst,
               std::uint32_t dw, std::uint32_t dh) {
    const std::size_t rowIn = std::size_t{sw} * C, rowOut = std::size_t{dw} * C;
    if (sw == dw && sh == dh) {
        std::memcpy(dst, src, rowIn * sh);
        return;
    }
    if (sh == dh) {
        const AxisPlan px = planAxis(sw, dw);
        for (std::uint32_t y = 0; y < sh; ++y)
            horizontalRow<std::uint8_t, std::uint8_t, kSingle, C>(src + y * rowIn, dst + y * rowOut,
                                                                  px, dw);
        return;
    }
    if (dh < sh && dw <= sw) {
        // Reduction: rows go through the streaming reducer, whose horizontal pass is the
        // vectorised one.
        RowReducer reducer(sw, sh, static_cast<int>(C), dw, dh, dst);
        for (std::uint32_t y = 0; y < sh; ++y)
            reducer.push(src + y * rowIn);
        return;
    }
    const AxisPlan py = planAxis(sh, dh);
    if (sw == dw) {
        std::vector<std::uint32_t> acc(rowIn);
        for (std::uint32_t r = 0; r < dh; ++r)
            verticalRow<std::uint8_t, std::uint8_t, kSingle>(src, rowIn, py, r, acc.data(),
                                                             dst + r * rowOut, rowIn);
        return;
    }
    const AxisPlan px = planAxis(sw, dw);
    // Whichever axis goes first, the other pass sees fewer samples; the horizontal pass does
    // not vectorise, so it is counted twice as dear.
    const double verticalFirst = double(dh) * double(rowIn) * py.taps + 2.0 * dh * rowOut * px.taps;
    const double horizontalFirst = 2.0 * sh * rowOut * px.taps + double(dh) * rowOut * py.taps;
    if (verticalFirst <= horizontalFirst) {
        // One intermediate row at a time: it stays in cache between the two passes.
        std::vector<std::uint32_t> acc(rowIn);
        std::vector<std::uint16_t> mid(rowIn);
        for (std::uint32_t r = 0; r < dh; ++r) {
            verticalRow<std::uint8_t, std::uint16_t, kFirst>(src, rowIn, py, r, acc.data(),
                                                             mid.data(), rowIn);
            horizontalRow<std::uint16_t, std::uint8_t, kSecond, C>(mid.data(), dst + r * rowOut, px,
                                                                   dw);
        }
    } else {
        std::vector<std::uint16_t> mid(rowOut * sh);
        for (std::uint32_t y = 0; y < sh; ++y)
            horizontalRow<std::uint8_t, std::uint16_t, kFirst, C>(src + y * rowIn,
                                                                  mid.data() + y * rowOut, px, dw);
        std::vector<std::uint32_t> acc(rowOut);
        for (std::uint32_t r = 0; r < dh; ++r)
            verticalRow<std::uint16_t, std::uint8_t, kSecond>(mid.data(), rowOut, py, r, acc.data(),
                                                              dst + r * rowOut, rowOut);
    }
}

} // namespace

AxisPlan planAxis(std::uint32_t src, std::uint32_t dst) {
    AxisPlan plan;
    plan.start.resize(dst);
    // Every source index an output touches, with its exact weight in 1 << kWeightBits units.
    struct Tap {
        std::uint32_t index;
        std::uint32_t weight;
    };
    std::vector<Tap> taps;
    std::vector<std::uint32_t> first(dst), count(dst);
    if (dst == src) {
        for (std::uint32_t i = 0; i < dst; ++i) {
            first[i] = i;
            count[i] = 1;
            taps.push_back({i, kOne});
        }
    } else if (dst < src) {
        // Area average: output i covers [i * src, (i + 1) * src) in units of 1 / dst source
        // pixels; source j covers [j * dst, (j + 1) * dst). Weights are differences of the
        // rounded running coverage, so they add up to exactly one whatever the ratio and none
        // can go negative.
        const auto rounded = [&](std::uint64_t t) {
            return static_cast<std::uint32_t>((t * 2 * kOne + src) / (2 * std::uint64_t{src}));
        };
        taps.reserve(std::size_t{src} + dst);
        for (std::uint32_t i = 0; i < dst; ++i) {
            const std::uint64_t lo = std::uint64_t{i} * src, hi = lo + src;
            const auto j0 = static_cast<std::uint32_t>(lo / dst);
            const auto j1 = static_cast<std::uint32_t>((hi - 1) / dst);
            first[i] = static_cast<std::uint32_t>(taps.size());
            for (std::uint32_t j = j0; j <= j1; ++j) {
                const std::uint64_t a = std::max<std::uint64_t>(lo, std::uint64_t{j} * dst);
                const std::uint64_t b = std::min<std::uint64_t>(hi, std::uint64_t{j + 1} * dst);
                taps.push_back({j, rounded(b - lo) - rounded(a - lo)});
            }
            count[i] = j1 - j0 + 1;
        }
    } else {
        // Bilinear with centres aligned: s = (i + 0.5) * src / dst - 0.5, as the fraction
        // num / den; beyond the border the edge pixel repeats.
        const std::int64_t den = 2 * std::int64_t{dst};
        for (std::uint32_t i = 0; i < dst; ++i) {
            const std::int64_t num = (2 * std::int64_t{i} + 1) * src - dst;
            const std::int64_t j0 = num >= 0 ? num / den : -((-num + den - 1) / den);
            const std::int64_t frac = num - j0 * den;
            const auto w1 = static_cast<std::uint32_t>((frac * 2 * kOne + den) / (2 * den));
            const auto clampIndex = [&](std::int64_t j) {
                return static_cast<std::uint32_t>(std::clamp<std::int64_t>(j, 0, src - 1));
            };
            first[i] = static_cast<std::uint32_t>(taps.size());
            count[i] = 2;
            taps.push_back({clampIndex(j0), kOne - w1});
            taps.push_back({clampIndex(j0 + 1), w1});
        }
    }
    // Lay the taps out as a dense window of the same width for every output.
    std::uint32_t width = 1;
    for (std::uint32_t i = 0; i < dst; ++i)
        width = std::max(width, taps[first[i] + count[i] - 1].index - taps[first[i]].index + 1);
    plan.taps = std::min(width, src);
    plan.weights.assign(std::size_t{dst} * plan.taps, 0);
    for (std::uint32_t i = 0; i < dst; ++i) {
        const std::uint32_t start = std::min(taps[first[i]].index, src - plan.taps);
        plan.start[i] = start;
        for (std::uint32_t k = 0; k < count[i]; ++k) {
            const Tap& t = taps[first[i] + k];
            plan.weights[std::size_t{i} * plan.taps + (t.index - start)] +=
                static_cast<std::uint16_t>(t.weight);
        }
    }
    return plan;
}

void resample(const std::uint8_t* src, std::uint32_t sw, std::uint32_t sh, int channels,
              std::uint8_t* dst, std::uint32_t dw, std::uint32_t dh) {
    if (channels == 3)
        resampleC<3>(src, sw, sh, dst, dw, dh);
    else
        resampleC<1>(src, sw, sh, dst, dw, dh);
}

namespace {

// The running sums of the vertical pass: the one loop every source sample goes through.
// Built twice where the processor may have AVX2 (twice the lanes of the baseline SSE2),
// the better one chosen when the program starts.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define FOLIO_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define FOLIO_WIDE_VECTORS
#endif

FOLIO_WIDE_VECTORS void startSum(std::uint32_t* acc, const std::uint8_t* row, std::size_t n,
                                 std::uint16_t w, std::uint32_t round) {
    for (std::size_t x = 0; x < n; ++x)
        acc[x] = round + widenedProduct(w, row[x]);
}

FOLIO_WIDE_VECTORS void addToSum(std::uint32_t* acc, const std::uint8_t* row, std::size_t n,
                                 std::uint16_t w) {
    for (std::size_t x = 0; x < n; ++x)
        acc[x] += widenedProduct(w, row[x]);
}

} // namespace

RowReducer::RowReducer(std::uint32_t sw, std::uint32_t sh, int channels, std::uint32_t dw,
                       std::uint32_t dh, std::uint8_t* dst)
    : sw_(sw), sh_(sh), dw_(dw), dh_(dh), channels_(channels),
      rowIn_(std::size_t{sw} * static_cast<std::size_t>(channels)), dst_(dst),
      py_(planAxis(sh, dh)), px_(planAxis(sw, dw)) {
    // The open rows are always a run [done_, open_); size the ring for the longest run any
    // source row sees (at most a window's taps, plus rows whose windows were clamped at the
    // bottom edge onto the same start).
    for (std::uint32_t k = 0, first = 0; k < dh_; ++k) {
        while (py_.start[first] + py_.taps - 1 < py_.start[k])
            ++first;
        ring_ = std::max(ring_, k - first + 1);
    }
    acc_.resize(rowIn_ * ring_);
    preparePaddedPass();
}

void RowReducer::push(const std::uint8_t* row) {
    if (y_ >= sh_) return;
    const std::uint32_t y = y_++;
    // Output rows whose window starts here open; every open row takes its weight of this one.
    while (open_ < dh_ && py_.start[open_] == y)
        ++open_;
    for (std::uint32_t r = done_; r < open_; ++r) {
        const std::uint32_t k = y - py_.start[r];
        const std::uint16_t w = py_.weights[std::size_t{r} * py_.taps + k];
        std::uint32_t* acc = acc_.data() + (r % ring_) * rowIn_;
        if (k == 0)
            startSum(acc, row, rowIn_, w, 1u << ((sw_ == dw_ ? kSingle : kFirst) - 1));
        else if (w != 0)
            addToSum(acc, row, rowIn_, w);
    }
    while (done_ < open_ && py_.start[done_] + py_.taps - 1 == y)
        finish(done_++);
}

#if defined(__SSE2__)
namespace {

// The horizontal pass with paired 16-bit multiplies (pmaddwd). Samples in `mid` stay below
// 1 << 15 and weights below 1 << 15, so the signed products are exact, and every sum is
// formed from the same terms as the scalar pass: the result is identical to it.
// RGB: two taps per multiply; `weights` holds `taps` entries per output, padded with zeros
// to an even count, and `mid` has two spare samples so the last load stays inside.
void horizontalRgb(const std::uint16_t* mid, std::uint8_t* out, const std::uint32_t* start,
                   const std::int16_t* weights, std::uint32_t taps, std::uint32_t dw, int shift) {
    const __m128i round = _mm_set1_epi32(1 << (shift - 1));
    const __m128i count = _mm_cvtsi32_si128(shift);
    for (std::uint32_t i = 0; i < dw; ++i, weights += taps, out += 3) {
        const std::uint16_t* s = mid + std::size_t{start[i]} * 3;
        __m128i acc = round;
        for (std::uint32_t k = 0; k < taps; k += 2, s += 6) {
            // R0 G0 B0 R1 G1 B1 R2 G2 -> R0 R1 G0 G1 B0 B1 (R1 R2): channel pairs for
            // pmaddwd; the fourth lane is never used.
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
            const __m128i pairs = _mm_unpacklo_epi16(v, _mm_srli_si128(v, 6));
            std::uint32_t w;
            std::memcpy(&w, weights + k, 4);
            acc = _mm_add_epi32(acc, _mm_madd_epi16(pairs, _mm_set1_epi32(static_cast<int>(w))));
        }
        acc = _mm_srl_epi32(acc, count);
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(acc, acc), acc);
        const auto rgb = static_cast<std::uint32_t>(_mm_cvtsi128_si32(bytes));
        out[0] = static_cast<std::uint8_t>(rgb);
        out[1] = static_cast<std::uint8_t>(rgb >> 8);
        out[2] = static_cast<std::uint8_t>(rgb >> 16);
    }
}

// One channel: eight taps per multiply, `weights` padded with zeros to a multiple of eight.
void horizontalGray(const std::uint16_t* mid, std::uint8_t* out, const std::uint32_t* start,
                    const std::int16_t* weights, std::uint32_t taps, std::uint32_t dw, int shift) {
    for (std::uint32_t i = 0; i < dw; ++i, weights += taps) {
        const std::uint16_t* s = mid + start[i];
        __m128i acc = _mm_setzero_si128();
        for (std::uint32_t k = 0; k < taps; k += 8)
            acc = _mm_add_epi32(
                acc,
                _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k)),
                               _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights + k))));
        acc = _mm_add_epi32(acc, _mm_srli_si128(acc, 8));
        acc = _mm_add_epi32(acc, _mm_srli_si128(acc, 4));
        const auto sum = static_cast<std::uint32_t>(_mm_cvtsi128_si32(acc));
        out[i] = static_cast<std::uint8_t>((sum + (1u << (shift - 1))) >> shift);
    }
}

} // namespace
#endif

void RowReducer::preparePaddedPass() {
#if defined(__SSE2__)
    // Taps padded to the multiply's width with zero weights, and the row with spare zero
    // samples, so no load runs past either.
    const std::uint32_t step = channels_ == 3 ? 2 : 8;
    padTaps_ = (px_.taps + step - 1) / step * step;
    padWeights_.assign(std::size_t{dw_} * padTaps_, 0);
    for (std::uint32_t i = 0; i < dw_; ++i)
        for (std::uint32_t k = 0; k < px_.taps; ++k)
            padWeights_[std::size_t{i} * padTaps_ + k] =
                static_cast<std::int16_t>(px_.weights[std::size_t{i} * px_.taps + k]);
    mid_.assign((std::size_t{sw_} + padTaps_) * static_cast<std::size_t>(channels_) + 2, 0);
#else
    mid_.assign(rowIn_, 0);
#endif
}

void RowReducer::finish(std::uint32_t r) {
    const std::uint32_t* acc = acc_.data() + (r % ring_) * rowIn_;
    std::uint8_t* out = dst_ + std::size_t{r} * dw_ * static_cast<std::size_t>(channels_);
    if (sw_ == dw_) {
        for (std::size_t x = 0; x < rowIn_; ++x)
            out[x] = static_cast<std::uint8_t>(acc[x] >> kSingle);
        return;
    }
#if defined(__SSE2__)
    for (std::size_t x = 0; x < rowIn_; ++x)
        mid_[x] = static_cast<std::uint16_t>(acc[x] >> kFirst);
    if (channels_ == 3)
        horizontalRgb(mid_.data(), out, px_.start.data(), padWeights_.data(), padTaps_, dw_,
                      kSecond);
    else
        horizontalGray(mid_.data(), out, px_.start.data(), padWeights_.data(), padTaps_, dw_,
                       kSecond);
#else
    for (std::size_t x = 0; x < rowIn_; ++x)
        mid_[x] = static_cast<std::uint16_t>(acc[x] >> kFirst);
    if (channels_ == 3)
        horizontalRow<std::uint16_t, std::uint8_t, kSecond, 3>(mid_.data(), out, px_, dw_);
    else
        horizontalRow<std::uint16_t, std::uint8_t, kSecond, 1>(mid_.data(), out, px_, dw_);
#endif
}

} // namespace kernels

namespace {

std::vector<Rgb> grayRamp() {
    std::vector<Rgb> ramp(256);
    for (std::size_t i = 0; i < 256; ++i) {
        const auto v = static_cast<std::uint8_t>(i);
        ramp[i] = Rgb{v, v, v};
    }
    return ramp;
}

// Nearest palette entry by squared RGB distance (lowest index on ties). Resampled palette
// pictures hold few distinct colours, so a small direct-mapped cache answers most pixels.
class NearestColour {
  public:
    explicit NearestColour(const std::vector<Rgb>& palette)
        : palette_(palette), keys_(kSlots, kEmpty), values_(kSlots) {}

    std::uint8_t operator()(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        const std::uint32_t key = (std::uint32_t{r} << 16) | (std::uint32_t{g} << 8) | b;
        const std::uint32_t slot = (key * 2654435761u) >> (32 - kSlotBits);
        if (keys_[slot] == key) return values_[slot];
        std::uint32_t best = 0, bestDistance = ~0u;
        for (std::size_t i = 0; i < palette_.size(); ++i) {
            const int dr = int{palette_[i].r} - r, dg = int{palette_[i].g} - g,
                      db = int{palette_[i].b} - b;
            const auto d = static_cast<std::uint32_t>(dr * dr + dg * dg + db * db);
            if (d < bestDistance) {
                bestDistance = d;
                best = static_cast<std::uint32_t>(i);
            }
        }
        keys_[slot] = key;
        values_[slot] = static_cast<std::uint8_t>(best);
        return values_[slot];
    }

  private:
    static constexpr int kSlotBits = 12;
    static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
    static constexpr std::uint32_t kEmpty = ~0u; // no 24-bit colour has this key
    const std::vector<Rgb>& palette_;
    std::vector<std::uint32_t> keys_;
    std::vector<std::uint8_t> values_;
};

bool withinLimits(std::uint32_t w, std::uint32_t h, std::uint64_t bytesPerPixel) {
    return w <= kMaxImageSide && h <= kMaxImageSide && std::uint64_t{w} * h <= kMaxImagePixels &&
           std::uint64_t{w} * h * bytesPerPixel <= kMaxImageBytes;
}

} // namespace

bool Image::RotateLeft() {
    if (!IsValid()) {
        error_ = "no image to turn";
        return false;
    }
    try {
        std::vector<std::uint8_t> turned(pixels_.size());
        if (bpp_ == 24)
            kernels::rotateLeft<3>(pixels_.data(), width_, height_, turned.data());
        else
            kernels::rotateLeft<1>(pixels_.data(), width_, height_, turned.data());
        pixels_ = std::move(turned);
    } catch (const std::bad_alloc&) {
        error_ = "out of memory";
        return false;
    }
    std::swap(width_, height_);
    std::swap(xDpi_, yDpi_);
    return true;
}

namespace {

// Each upright pixel read from where the orientation put it, tile by tile so that the
// quarter-turned cases do not walk the source a column at a time across the whole picture.
template <std::size_t C>
void orientPixels(const std::uint8_t* src, std::uint32_t w, std::uint32_t h, std::uint8_t o,
                  std::uint8_t* dst) {
    const auto s = static_cast<std::ptrdiff_t>(std::size_t{w} * C);
    const auto c = static_cast<std::ptrdiff_t>(C);
    const std::ptrdiff_t last = (static_cast<std::ptrdiff_t>(h) - 1) * s,
                         right = (static_cast<std::ptrdiff_t>(w) - 1) * c;
    // Source offset of upright (0, 0) and the steps for one pixel right and one row down.
    std::ptrdiff_t base = 0, dx = c, dy = s;
    switch (o) {
    case 2:
        base = right, dx = -c, dy = s;
        break;
    case 3:
        base = last + right, dx = -c, dy = -s;
        break;
    case 4:
        base = last, dx = c, dy = -s;
        break;
    case 5:
        base = 0, dx = s, dy = c;
        break;
    case 6:
        base = last, dx = -s, dy = c;
        break;
    case 7:
        base = last + right, dx = -s, dy = -c;
        break;
    case 8:
        base = right, dx = s, dy = -c;
        break;
    default:
        break;
    }
    const bool turn = o >= 5;
    const std::uint32_t uw = turn ? h : w, uh = turn ? w : h;
    constexpr std::uint32_t kTile = 64;
    for (std::uint32_t ty = 0; ty < uh; ty += kTile) {
        const std::uint32_t yEnd = std::min(uh, ty + kTile);
        for (std::uint32_t tx = 0; tx < uw; tx += kTile) {
            const std::uint32_t xEnd = std::min(uw, tx + kTile);
            for (std::uint32_t y = ty; y < yEnd; ++y) {
                const std::uint8_t* p = src + base + dy * y + dx * tx;
                std::uint8_t* d = dst + (std::size_t{y} * uw + tx) * C;
                for (std::uint32_t x = tx; x < xEnd; ++x, p += dx, d += C)
                    for (std::size_t k = 0; k < C; ++k)
                        d[k] = p[k];
            }
        }
    }
}

} // namespace

bool Image::Orient(std::uint8_t orientation) {
    if (orientation < 2 || orientation > 8 || !IsValid()) return true;
    try {
        std::vector<std::uint8_t> upright(pixels_.size());
        if (bpp_ == 24)
            orientPixels<3>(pixels_.data(), width_, height_, orientation, upright.data());
        else
            orientPixels<1>(pixels_.data(), width_, height_, orientation, upright.data());
        pixels_ = std::move(upright);
    } catch (const std::bad_alloc&) {
        error_ = "out of memory";
        return false;
    }
    if (orientation >= 5) {
        std::swap(width_, height_);
        std::swap(xDpi_, yDpi_);
    }
    return true;
}

bool Image::GrayScale() {
    if (!IsValid()) {
        error_ = "no image to convert";
        return false;
    }
    if (IsGrayRamp()) return true;
    try {
        std::vector<Rgb> ramp = grayRamp();
        if (bpp_ == 24) {
            std::vector<std::uint8_t> gray(static_cast<std::size_t>(width_) * height_);
            kernels::rgbToLuma(pixels_.data(), gray.size(), gray.data());
            pixels_ = std::move(gray);
        } else {
            // Indices are always below the palette size, so every lookup hits a real entry.
            std::array<std::uint8_t, 256> level{};
            for (std::size_t i = 0; i < palette_.size() && i < level.size(); ++i)
                level[i] = kernels::luma(palette_[i].r, palette_[i].g, palette_[i].b);
            if (bpp_ == 1) {
                // Bilevel scans: a select the compiler vectorises instead of a table lookup.
                const std::uint8_t zero = level[0], one = level[1];
                for (std::uint8_t& p : pixels_)
                    p = p ? one : zero;
            } else {
                for (std::uint8_t& p : pixels_)
                    p = level[p];
            }
        }
        palette_ = std::move(ramp);
        bpp_ = 8;
    } catch (const std::bad_alloc&) {
        error_ = "out of memory";
        return false;
    }
    return true;
}

// The remaining arguments name variants of the scaler that the book never selects: every
// page goes through the same area-average / bilinear path.
bool Image::Resample2(std::uint32_t newWidth, std::uint32_t newHeight, int, int, bool) {
    if (!IsValid()) {
        error_ = "no image to scale";
        return false;
    }
    if (newWidth == 0 || newHeight == 0) {
        error_ = "empty target size";
        return false;
    }
    if (!withinLimits(newWidth, newHeight, BytesPerPixel())) {
        error_ = "target size too large";
        return false;
    }
    if (newWidth == width_ && newHeight == height_) return true;
    const std::size_t newPixels = std::size_t{newWidth} * newHeight;
    try {
        std::vector<std::uint8_t> out(newPixels * BytesPerPixel());
        if (bpp_ == 24 || IsGrayRamp()) {
            kernels::resample(pixels_.data(), width_, height_, static_cast<int>(BytesPerPixel()),
                              out.data(), newWidth, newHeight);
        } else {
            // Indices carry no order, so colours are blended and then matched back.
            std::vector<std::uint8_t> rgb = expandPalette(pixels_, palette_);
            std::vector<std::uint8_t> scaled(newPixels * 3);
            kernels::resample(rgb.data(), width_, height_, 3, scaled.data(), newWidth, newHeight);
            rgb = {};
            NearestColour nearest(palette_);
            for (std::size_t i = 0; i < newPixels; ++i)
                out[i] = nearest(scaled[3 * i], scaled[3 * i + 1], scaled[3 * i + 2]);
        }
        pixels_ = std::move(out);
    } catch (const std::bad_alloc&) {
        error_ = "out of memory";
        return false;
    }
    width_ = newWidth;
    height_ = newHeight;
    return true;
}

bool Image::IncreaseBpp24() {
    if (!IsValid()) {
        error_ = "no image to convert";
        return false;
    }
    if (bpp_ == 24) return true;
    try {
        std::vector<std::uint8_t> rgb = expandPalette(pixels_, palette_);
        pixels_ = std::move(rgb);
    } catch (const std::bad_alloc&) {
        error_ = "out of memory";
        return false;
    }
    palette_.clear();
    bpp_ = 24;
    return true;
}

bool Image::Encode(std::vector<std::uint8_t>& out, std::uint32_t imageType) {
    if (imageType != kFormatJpeg) {
        error_ = "only JPEG is written";
        return false;
    }
    if (!IsValid()) {
        error_ = "no image to encode";
        return false;
    }
    if (bpp_ != 24 && !IsGrayRamp()) {
        error_ = "a colour palette image must be made true colour or gray first";
        return false;
    }
    // Encoded aside so that `out` keeps its content when the encoder fails half way.
    std::vector<std::uint8_t> fresh;
    std::string err;
    if (!codecs::encodeJpeg(*this, jpegQuality_, fresh, err)) {
        error_ = err;
        return false;
    }
    out = std::move(fresh);
    return true;
}

} // namespace folio
