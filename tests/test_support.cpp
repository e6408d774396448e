#include "tests/test_support.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>

namespace folio::test {

TempDir::TempDir() {
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (int i = 0; i < 100; ++i) {
        auto p = base / ("folio-test-" + std::to_string(rd()));
        if (std::filesystem::create_directory(p)) {
            path_ = p;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

void writeFile(const std::string& path, const std::string& text) {
    writeFile(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::filesystem::path corpusDir() {
    if (const char* env = std::getenv("FOLIO_CORPUS"); env && *env) {
        std::filesystem::path p(env);
        return std::filesystem::is_directory(p) ? p : std::filesystem::path{};
    }
    std::filesystem::path p(FOLIO_CORPUS_DIR);
    return std::filesystem::is_directory(p) ? p : std::filesystem::path{};
}

} // namespace folio::test

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

namespace folio::test {

namespace {
void put16(std::vector<std::uint8_t>& v, std::uint32_t x) {
    v.push_back(static_cast<std::uint8_t>(x));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}
void put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}
std::vector<std::uint8_t> bmpHeaders(std::uint32_t w, std::uint32_t h, int bpp,
                                     std::uint32_t colors, std::uint32_t imageBytes) {
    std::vector<std::uint8_t> v{'B', 'M'};
    const std::uint32_t offset = 14 + 40 + 4 * colors;
    put32(v, offset + imageBytes);
    put32(v, 0);
    put32(v, offset);
    put32(v, 40);
    put32(v, w);
    put32(v, h);
    put16(v, 1);
    put16(v, static_cast<std::uint32_t>(bpp));
    put32(v, 0);
    put32(v, imageBytes);
    put32(v, 11811); // 300 dpi
    put32(v, 11811);
    put32(v, colors);
    put32(v, 0);
    return v;
}
} // namespace

std::vector<std::uint8_t> bmp24(std::uint32_t w, std::uint32_t h,
                                Color (*pixel)(std::uint32_t, std::uint32_t)) {
    const std::uint32_t stride = (w * 3 + 3) & ~3u;
    auto v = bmpHeaders(w, h, 24, 0, stride * h);
    for (std::uint32_t y = h; y-- > 0;) {
        std::size_t start = v.size();
        for (std::uint32_t x = 0; x < w; ++x) {
            const Color c = pixel(x, y);
            v.insert(v.end(), {c.b, c.g, c.r});
        }
        v.resize(start + stride, 0);
    }
    return v;
}

std::vector<std::uint8_t> bmp8(std::uint32_t w, std::uint32_t h, const std::vector<Color>& palette,
                               std::uint8_t (*index)(std::uint32_t, std::uint32_t)) {
    const std::uint32_t stride = (w + 3) & ~3u;
    auto v = bmpHeaders(w, h, 8, static_cast<std::uint32_t>(palette.size()), stride * h);
    for (const Color& c : palette)
        v.insert(v.end(), {c.b, c.g, c.r, 0});
    for (std::uint32_t y = h; y-- > 0;) {
        std::size_t start = v.size();
        for (std::uint32_t x = 0; x < w; ++x)
            v.push_back(index(x, y));
        v.resize(start + stride, 0);
    }
    return v;
}

namespace {
struct JpegErr {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};
void onJpegError(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JpegErr*>(cinfo->err)->jump, 1);
}
void silent(j_common_ptr) {}
} // namespace

JpegFacts readJpegFacts(const std::vector<std::uint8_t>& jpeg) {
    JpegFacts facts;
    jpeg_decompress_struct cinfo{};
    JpegErr err{};
    std::vector<JSAMPLE> row; // before setjmp: a longjmp must not skip its destructor
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = onJpegError;
    err.mgr.output_message = silent;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        facts.ok = false;
        return facts;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    facts.width = cinfo.image_width;
    facts.height = cinfo.image_height;
    facts.components = cinfo.num_components;
    if (cinfo.saw_JFIF_marker) {
        facts.densityUnit = cinfo.density_unit;
        facts.xDensity = cinfo.X_density;
        facts.yDensity = cinfo.Y_density;
    }
    if (cinfo.quant_tbl_ptrs[0]) // libjpeg keeps quantval in natural order
        facts.lumaTable.assign(cinfo.quant_tbl_ptrs[0]->quantval,
                               cinfo.quant_tbl_ptrs[0]->quantval + 64);
    jpeg_start_decompress(&cinfo);
    row.resize(static_cast<std::size_t>(cinfo.output_width) * cinfo.output_components);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    facts.ok = true;
    return facts;
}

std::vector<int> ijgLumaTable(int quality) {
    static const int kStd[64] = {16,  11,  10,  16,  24, 40, 51,  61,  12,  12,  14,  19,  26,
                                 58,  60,  55,  14,  13, 16, 24,  40,  57,  69,  56,  14,  17,
                                 22,  29,  51,  87,  80, 62, 18,  22,  37,  56,  68,  109, 103,
                                 77,  24,  35,  55,  64, 81, 104, 113, 92,  49,  64,  78,  87,
                                 103, 121, 120, 101, 72, 92, 95,  98,  112, 100, 103, 99};
    const int scale = quality < 50 ? 5000 / quality : 200 - quality * 2;
    std::vector<int> t(64);
    for (int i = 0; i < 64; ++i) {
        long v = (static_cast<long>(kStd[i]) * scale + 50) / 100;
        t[i] = static_cast<int>(v < 1 ? 1 : v > 32767 ? 32767 : v);
    }
    return t;
}

} // namespace folio::test
