// Timings of the page pipeline's steps on page-sized pictures; build Release to compare.
#include "book/making/book_builder.h"
#include "book/image/Image.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

using folio::Image;

Image noise(std::uint32_t w, std::uint32_t h, std::uint16_t bpp) {
    Image im;
    if (!im.Create(w, h, bpp)) return im;
    if (bpp != 24) im.SetGrayPalette();
    std::mt19937 rng(42);
    // Smooth content with some noise, closer to a scanned page than pure noise.
    for (std::uint32_t y = 0; y < h; ++y) {
        std::uint8_t* row = im.Row(y);
        for (std::size_t i = 0; i < im.Stride(); ++i)
            row[i] = static_cast<std::uint8_t>((i / 7 + y / 5) % 200 + rng() % 32);
    }
    return im;
}

void BM_RotateLeft(benchmark::State& state) {
    Image im = noise(2448, 3264, static_cast<std::uint16_t>(state.range(0)));
    for (auto _ : state) {
        if (!im.RotateLeft()) state.SkipWithError("rotate failed");
        benchmark::DoNotOptimize(im.Pixels().data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(im.Pixels().size()));
}
BENCHMARK(BM_RotateLeft)->Arg(24)->Arg(8)->Unit(benchmark::kMillisecond);

void BM_GrayScale24(benchmark::State& state) {
    const Image src = noise(2448, 3264, 24);
    for (auto _ : state) {
        state.PauseTiming();
        Image im = src;
        state.ResumeTiming();
        if (!im.GrayScale()) state.SkipWithError("gray failed");
        benchmark::DoNotOptimize(im.Pixels().data());
        state.PauseTiming();
        im = Image();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_GrayScale24)->Unit(benchmark::kMillisecond);

void resampleBench(benchmark::State& state, std::uint32_t sw, std::uint32_t sh, std::uint16_t bpp,
                   std::uint32_t dw, std::uint32_t dh) {
    const Image src = noise(sw, sh, bpp);
    for (auto _ : state) {
        state.PauseTiming();
        Image im = src;
        state.ResumeTiming();
        if (!im.Resample2(dw, dh)) state.SkipWithError("resample failed");
        benchmark::DoNotOptimize(im.Pixels().data());
        state.PauseTiming();
        im = Image();
        state.ResumeTiming();
    }
}
BENCHMARK_CAPTURE(resampleBench, page24_2448x3264_to_853x640, 2448, 3264, 24, 853, 640)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(resampleBench, page8_2448x3264_to_853x640, 2448, 3264, 8, 853, 640)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(resampleBench, page24_3264x2448_to_853x640, 3264, 2448, 24, 853, 640)
    ->Unit(benchmark::kMillisecond);
// What a portrait phone photo's page now goes through: scaled before it is turned.
BENCHMARK_CAPTURE(resampleBench, page24_2448x3264_to_640x853, 2448, 3264, 24, 640, 853)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(resampleBench, enlarge24_500x400_to_800x640, 500, 400, 24, 800, 640)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(resampleBench, enlarge8_500x400_to_800x640, 500, 400, 8, 800, 640)
    ->Unit(benchmark::kMillisecond);

// The page steps after decoding (scale, turn, gray) on a portrait phone photo.
void BM_PreparePage(benchmark::State& state) {
    const bool gray = state.range(0) == 8;
    const Image src = noise(2448, 3264, 24);
    for (auto _ : state) {
        state.PauseTiming();
        Image im = src;
        state.ResumeTiming();
        std::string reason;
        if (!folio::preparePageImage(im, gray, reason)) state.SkipWithError("page failed");
        benchmark::DoNotOptimize(im.Pixels().data());
        state.PauseTiming();
        im = Image();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_PreparePage)->Arg(24)->Arg(8)->Unit(benchmark::kMillisecond);

void BM_EncodeJpeg(benchmark::State& state) {
    const bool gray = state.range(0) == 8;
    Image im = noise(853, 640, gray ? 8 : 24);
    im.SetJpegQuality(80);
    std::vector<std::uint8_t> out;
    for (auto _ : state) {
        if (!im.Encode(out, folio::kFormatJpeg)) state.SkipWithError("encode failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["bytes"] = static_cast<double>(out.size());
}
BENCHMARK(BM_EncodeJpeg)->Arg(24)->Arg(8)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
