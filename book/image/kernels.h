// Pixel kernels behind Image's transforms: plain loops over raw rows, kept apart from Image so
// that they stay small enough for the compiler to vectorise and for benchmarks to reach.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace folio::kernels {

// Quarter turn counter-clockwise of a w x h picture of C bytes per pixel into dst (h wide,
// w high): source (x, y) lands on (y, w - 1 - x). Square tiles keep both the strided reads
// and the sequential writes inside the cache on page-sized pictures.
template <std::size_t C>
void rotateLeft(const std::uint8_t* src, std::uint32_t w, std::uint32_t h, std::uint8_t* dst) {
    constexpr std::uint32_t kTile = 64;
    const std::size_t srcStride = std::size_t{w} * C;
    const std::size_t dstStride = std::size_t{h} * C;
    for (std::uint32_t ty = 0; ty < h; ty += kTile) {
        const std::uint32_t yEnd = std::min(h, ty + kTile);
        for (std::uint32_t tx = 0; tx < w; tx += kTile) {
            const std::uint32_t xEnd = std::min(w, tx + kTile);
            for (std::uint32_t x = tx; x < xEnd; ++x) {
                const std::uint8_t* s = src + ty * srcStride + std::size_t{x} * C;
                std::uint8_t* d = dst + (w - 1 - x) * dstStride + std::size_t{ty} * C;
                std::uint32_t y = ty;
                if constexpr (C == 3) {
                    // Four-byte moves; the spare byte lands on the next pixel of the same
                    // run, which the following step overwrites. The run's last pixel is
                    // copied exactly so nothing spills past it.
                    for (; y + 1 < yEnd; ++y, s += srcStride, d += C) {
                        std::uint32_t v;
                        std::memcpy(&v, s, 4);
                        std::memcpy(d, &v, 4);
                    }
                }
                for (; y < yEnd; ++y, s += srcStride, d += C)
                    for (std::size_t c = 0; c < C; ++c)
                        d[c] = s[c];
            }
        }
    }
}

// BT.601 luma weights in 16-bit fixed point; they sum to exactly 65536 so white stays 255.
inline constexpr std::uint32_t kLumaR = 19595, kLumaG = 38470, kLumaB = 7471;
static_assert(kLumaR + kLumaG + kLumaB == 65536);

inline std::uint8_t luma(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return static_cast<std::uint8_t>((kLumaR * r + kLumaG * g + kLumaB * b + 32768) >> 16);
}

inline void rgbToLuma(const std::uint8_t* rgb, std::size_t pixels, std::uint8_t* out) {
    for (std::size_t i = 0; i < pixels; ++i)
        out[i] = luma(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
}

// Resampling along one axis as fixed-point taps: output i reads `taps` consecutive source
// samples from start[i] with weights[i * taps + k], which sum to exactly 1 << kWeightBits so
// that flat areas stay flat.
inline constexpr int kWeightBits = 14;

struct AxisPlan {
    std::uint32_t taps = 0;
    std::vector<std::uint32_t> start;
    std::vector<std::uint16_t> weights;
};

// Throws std::bad_alloc when memory is short.
AxisPlan planAxis(std::uint32_t src, std::uint32_t dst);

// Resamples a sw x sh picture of `channels` (1 or 3) interleaved 8-bit samples into dst
// (dw x dh, tightly packed). Throws std::bad_alloc when the working rows cannot be allocated.
void resample(const std::uint8_t* src, std::uint32_t sw, std::uint32_t sh, int channels,
              std::uint8_t* dst, std::uint32_t dw, std::uint32_t dh);

// Area-average reduction fed one source row at a time, top to bottom, for a decoder that
// hands rows out as it goes: a row is added into the running sums of the few output rows
// whose window covers it while it is still in cache, and the whole picture is never held.
// The result is bit for bit that of resample() taking its vertical pass first.
class RowReducer {
  public:
    // dst receives dw x dh x channels samples, row by row as they complete. Needs dh < sh
    // and dw <= sw. Throws std::bad_alloc when its few working rows cannot be allocated.
    RowReducer(std::uint32_t sw, std::uint32_t sh, int channels, std::uint32_t dw, std::uint32_t dh,
               std::uint8_t* dst);
    void push(const std::uint8_t* row); // the next source row, sw x channels samples
    bool finished() const { return done_ == dh_; }

  private:
    void preparePaddedPass();
    void finish(std::uint32_t r);

    std::uint32_t sw_, sh_, dw_, dh_;
    int channels_;
    std::size_t rowIn_;
    std::uint8_t* dst_;
    AxisPlan py_, px_;
    std::vector<std::uint32_t> acc_;       // one running sum row per open output row, a ring
    std::vector<std::uint16_t> mid_;       // one vertically finished row, widened
    std::vector<std::int16_t> padWeights_; // horizontal weights padded for the vector pass
    std::uint32_t padTaps_ = 0;
    std::uint32_t ring_ = 1;
    std::uint32_t y_ = 0, open_ = 0, done_ = 0;
};

} // namespace folio::kernels
