// Writes the same photo-like pictures as JPEG and as JPEG XL, for timing a book made of each:
// folio_jxl_pages OUTDIR [COUNT [WIDTH HEIGHT]]. OUTDIR/jpeg holds JPEGs at quality 90,
// OUTDIR/jxl the pictures coded by libjxl at its default quality and effort (distance 1,
// effort 7), OUTDIR/jxl-jpeg the JPEGs recompressed losslessly into JPEG XL. Fixed seeds:
// every run writes the same pictures.
#include "book/image/Image.h"
#include "tests/jxl_support.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::uint64_t splitmix(std::uint64_t& s) {
    std::uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// Smooth colour fields, grain, and dark bars standing for lines of print.
std::vector<std::uint8_t> photo(std::uint32_t w, std::uint32_t h, std::uint64_t seed) {
    std::uint64_t s = seed;
    const std::uint32_t a = splitmix(s) % 200 + 20, b = splitmix(s) % 200 + 20;
    std::vector<std::uint8_t> px(std::size_t{w} * h * 3);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint64_t n = splitmix(s);
            const bool print =
                (y / 40) % 3 == 1 && x > w / 10 && x < w - w / 10 && ((x / 23 + y / 40) % 7) != 0;
            const int grain = static_cast<int>(n % 17) - 8;
            const int base[3] = {static_cast<int>((x * a / w + y * 60 / h) % 256),
                                 static_cast<int>((y * b / h + 40) % 256),
                                 static_cast<int>((x * 90 / w + y * 120 / h + 60) % 256)};
            for (int c = 0; c < 3; ++c) {
                const int v = print ? 30 + grain : base[c] + grain;
                px[(std::size_t{y} * w + x) * 3 + static_cast<std::size_t>(c)] =
                    static_cast<std::uint8_t>(v < 0     ? 0
                                              : v > 255 ? 255
                                                        : v);
            }
        }
    return px;
}

bool write(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: folio_jxl_pages OUTDIR [COUNT [WIDTH HEIGHT]]\n");
        return 2;
    }
    namespace fs = std::filesystem;
    const fs::path root = argv[1];
    const int count = argc > 2 ? std::stoi(argv[2]) : 40;
    const std::uint32_t w = argc > 4 ? static_cast<std::uint32_t>(std::stoul(argv[3])) : 1600;
    const std::uint32_t h = argc > 4 ? static_cast<std::uint32_t>(std::stoul(argv[4])) : 2400;
    for (const char* dir : {"jpeg", "jxl", "jxl-jpeg"})
        fs::create_directories(root / dir);
    for (int i = 0; i < count; ++i) {
        const std::vector<std::uint8_t> px = photo(w, h, 0x6a786c00u + static_cast<unsigned>(i));
        folio::Image img;
        if (!img.Create(w, h, 24)) return 1;
        img.Pixels() = px;
        img.SetJpegQuality(90);
        std::vector<std::uint8_t> jpeg;
        if (!img.Encode(jpeg, folio::kFormatJpeg)) return 1;
        folio::test::JxlPicture p;
        p.w = w, p.h = h, p.channels = 3, p.lossless = false, p.effort = 7;
        p.frames = {px};
        const std::vector<std::uint8_t> jxl = folio::test::jxlFile(p);
        const std::vector<std::uint8_t> fromJpeg = folio::test::jxlFromJpeg(jpeg);
        if (jxl.empty() || fromJpeg.empty()) return 1;
        char name[32];
        std::snprintf(name, sizeof name, "%03d", i + 1);
        const std::string stem(name);
        if (!write(root / "jpeg" / (stem + ".jpg"), jpeg) ||
            !write(root / "jxl" / (stem + ".jxl"), jxl) ||
            !write(root / "jxl-jpeg" / (stem + ".jxl"), fromJpeg))
            return 1;
    }
    std::printf("%d pictures of %ux%u in %s\n", count, w, h, root.c_str());
    return 0;
}
