// The blank-row scan strips are cut by, over an 800 x 60000 strip held as four 15000-row
// slices (a picture is at most 30000 high); build Release to compare.
#include "book/image/Image.h"
#include "book/pages/page_plan.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using folio::Image;

constexpr std::uint32_t kWidth = 800, kSliceRows = 15000, kSlices = 4;

// A webtoon's slice: 700-row panels inside 40-pixel white margins, 60-row white gutters
// between them; with `blank`, white throughout (every row scanned to its end).
Image slice(std::uint16_t bpp, bool blank, std::uint32_t index) {
    Image im;
    if (!im.Create(kWidth, kSliceRows, bpp)) return im;
    if (bpp != 24) im.SetGrayPalette();
    std::mt19937 rng(index);
    const std::size_t bytes = im.BytesPerPixel(), margin = 40 * bytes;
    for (std::uint32_t y = 0; y < kSliceRows; ++y) {
        std::uint8_t* row = im.Row(y);
        const std::uint32_t strip = index * kSliceRows + y;
        const bool gutter = blank || strip % 760 >= 700;
        for (std::size_t i = 0; i < im.Stride(); ++i) {
            const bool paper = gutter || i < margin || i >= im.Stride() - margin;
            row[i] =
                paper ? 250 : static_cast<std::uint8_t>((i / 9 + strip / 4) % 180 + rng() % 40);
        }
    }
    return im;
}

void BM_UniformRows(benchmark::State& state) {
    const auto bpp = static_cast<std::uint16_t>(state.range(0));
    const bool blank = state.range(1) != 0;
    std::vector<Image> slices;
    for (std::uint32_t i = 0; i < kSlices; ++i)
        slices.push_back(slice(bpp, blank, i));
    std::vector<bool> flags;
    for (auto _ : state) {
        flags.clear();
        for (const Image& s : slices)
            folio::appendUniformRows(s, flags);
        benchmark::DoNotOptimize(flags);
    }
    std::int64_t blankRows = 0;
    for (const bool f : flags)
        blankRows += f;
    state.counters["blank_rows"] = static_cast<double>(blankRows);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kSlices) *
                            static_cast<std::int64_t>(slices[0].Pixels().size()));
}
BENCHMARK(BM_UniformRows)
    ->ArgNames({"bpp", "blank"})
    ->Args({8, 0})
    ->Args({24, 0})
    ->Args({8, 1})
    ->Args({24, 1})
    ->Unit(benchmark::kMillisecond);

// The floor: every byte of the same blank slices read once, by libc's memchr for a byte
// that is not there.
void BM_ReadFloor(benchmark::State& state) {
    const auto bpp = static_cast<std::uint16_t>(state.range(0));
    std::vector<Image> slices;
    for (std::uint32_t i = 0; i < kSlices; ++i)
        slices.push_back(slice(bpp, true, i));
    for (auto _ : state) {
        for (const Image& s : slices) {
            const void* found = std::memchr(s.Pixels().data(), 1, s.Pixels().size());
            benchmark::DoNotOptimize(found);
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kSlices) *
                            static_cast<std::int64_t>(slices[0].Pixels().size()));
}
BENCHMARK(BM_ReadFloor)->ArgName("bpp")->Arg(8)->Arg(24)->Unit(benchmark::kMillisecond);

// The cut itself on the strip's flags.
void BM_CutStrip(benchmark::State& state) {
    std::vector<bool> flags(std::size_t{kSliceRows} * kSlices);
    for (std::size_t y = 0; y < flags.size(); ++y)
        flags[y] = y % 760 >= 700;
    for (auto _ : state) {
        auto pieces = folio::cutStrip(flags.size(), kWidth, flags);
        benchmark::DoNotOptimize(pieces.data());
    }
}
BENCHMARK(BM_CutStrip)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
