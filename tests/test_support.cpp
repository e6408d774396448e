#include "tests/test_support.h"

#include "book/image/Image.h"
#include "book/image/codecs/Formats.h"
#include "cli/cli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
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

CliRun runCli(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int code = cli::run(args, out, err);
    return {code, out.str(), err.str()};
}

std::filesystem::path corpusDir() {
    if (const char* env = std::getenv("FOLIO_CORPUS"); env && *env) {
        std::filesystem::path p(env);
        return std::filesystem::is_directory(p) ? p : std::filesystem::path{};
    }
    std::filesystem::path p(FOLIO_CORPUS_DIR);
    return std::filesystem::is_directory(p) ? p : std::filesystem::path{};
}

std::vector<std::filesystem::path> corpusFiles(std::initializer_list<const char*> folders) {
    std::vector<std::filesystem::path> out;
    for (const char* folder : folders) {
        const auto dir = corpusDir() / folder;
        if (corpusDir().empty() || !std::filesystem::is_directory(dir)) continue;
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.is_regular_file()) out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::uint8_t> corpusBytes(const std::string& folder, const std::string& name) {
    return readFile((corpusDir() / folder / name).string());
}

std::string imageFault(const Image& img) {
    if (!img.IsValid()) return "holds no pixels";
    const std::uint16_t bpp = img.GetBpp();
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24) return "depth " + std::to_string(bpp);
    if (img.Pixels().size() != std::size_t{img.GetWidth()} * img.GetHeight() * img.BytesPerPixel())
        return "pixel buffer of " + std::to_string(img.Pixels().size()) + " bytes for " +
               std::to_string(img.GetWidth()) + "x" + std::to_string(img.GetHeight());
    if (bpp == 24) return {};
    if (img.GetPalette().size() != std::size_t{1} << bpp)
        return "palette of " + std::to_string(img.GetPalette().size()) + " entries";
    for (std::uint8_t v : img.Pixels())
        if (v >= img.GetPalette().size()) return "index " + std::to_string(v) + " past the palette";
    return {};
}

void expectPrefixesFail(Decoder decode, const std::vector<std::uint8_t>& file, std::size_t from,
                        std::size_t upTo) {
    if (upTo == 0) upTo = file.size();
    testing::internal::CaptureStderr();
    for (std::size_t n = from; n < upTo; ++n) {
        Image img;
        std::string err;
        const std::vector<std::uint8_t> cut(file.begin(),
                                            file.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(decode(cut, img, err)) << "prefix of " << n << " of " << file.size();
        EXPECT_FALSE(err.empty()) << "prefix of " << n;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

void expectRefusedAtOnce(Decoder decode, const std::vector<std::uint8_t>& file,
                         std::string_view reason) {
    Image img;
    std::string err;
    const auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(decode(file, img, err));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(err.empty());
    EXPECT_NE(err.find(reason), std::string::npos) << err;
}

void expectRecognised(const std::vector<std::uint8_t>& file, std::uint32_t type, std::uint16_t bpp,
                      std::uint32_t w, std::uint32_t h) {
    codecs::PictureFacts facts;
    std::uint32_t as = 0;
    codecs::DecodeError err;
    ASSERT_TRUE(codecs::probeAny(file, kFormatJpeg, facts, as, err)) << err.detail;
    EXPECT_EQ(as, type);
    EXPECT_EQ(facts.width, w);
    EXPECT_EQ(facts.height, h);
    EXPECT_EQ(facts.bpp, bpp);
    Image img;
    ASSERT_TRUE(img.LoadMemory(file, kFormatJpeg)) << img.GetLastError();
    EXPECT_EQ(img.GetType(), type);
    EXPECT_EQ(img.GetWidth(), facts.width);
    EXPECT_EQ(img.GetHeight(), facts.height);
    EXPECT_EQ(img.GetBpp(), facts.bpp);
}

std::string writeJpegFile(const TempDir& dir, const std::string& name, Image picture, int quality) {
    picture.SetJpegQuality(static_cast<std::uint8_t>(quality));
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(picture.Encode(bytes, kFormatJpeg));
    const std::string path = dir.file(name);
    writeFile(path, bytes);
    return path;
}

Image corpusImage(const std::string& rel, Decoder decode) {
    Image img;
    std::string err;
    EXPECT_TRUE(decode(readFile((corpusDir() / rel).string()), img, err)) << rel << ": " << err;
    return img;
}

std::string show(const Rgb& c) {
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

} // namespace folio::test

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

namespace folio::test {

namespace {
std::vector<std::uint8_t> bmpHeaders(std::uint32_t w, std::uint32_t h, int bpp,
                                     std::uint32_t colors, std::uint32_t imageBytes) {
    std::vector<std::uint8_t> v;
    const std::uint32_t offset = 14 + 40 + 4 * colors;
    ByteWriter(v).text("BM").u32le(offset + imageBytes).u32le(0).u32le(offset);
    ByteWriter(v).u32le(40).u32le(w).u32le(h).u16le(1).u16le(static_cast<std::uint32_t>(bpp));
    ByteWriter(v).u32le(0).u32le(imageBytes);
    ByteWriter(v).u32le(11811).u32le(11811); // 300 dpi
    ByteWriter(v).u32le(colors).u32le(0);
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

std::vector<std::uint8_t> png24(std::uint32_t w, std::uint32_t h,
                                Color (*pixel)(std::uint32_t, std::uint32_t)) {
    std::vector<std::uint8_t> raw;
    for (std::uint32_t y = 0; y < h; ++y) {
        raw.push_back(0); // filter: none
        for (std::uint32_t x = 0; x < w; ++x) {
            const Color c = pixel(x, y);
            raw.insert(raw.end(), {c.r, c.g, c.b});
        }
    }
    std::vector<std::uint8_t> z{0x78, 0x01, 0x01};
    ByteWriter(z)
        .u16le(static_cast<std::uint32_t>(raw.size()))
        .u16le(static_cast<std::uint32_t>(~raw.size() & 0xFFFF))
        .bytes(raw);
    std::uint32_t a = 1, bsum = 0;
    for (std::uint8_t v : raw) {
        a = (a + v) % 65521;
        bsum = (bsum + a) % 65521;
    }
    ByteWriter(z).u32be(bsum << 16 | a);

    std::vector<std::uint8_t> png{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    auto chunk = [&](const char* type, const std::vector<std::uint8_t>& body) {
        ByteWriter(png).u32be(static_cast<std::uint32_t>(body.size()));
        const std::size_t start = png.size();
        ByteWriter(png).text(std::string_view(type, 4)).bytes(body);
        ByteWriter(png).u32be(crc32(std::span(png).subspan(start)));
    };
    std::vector<std::uint8_t> ihdr;
    ByteWriter(ihdr).u32be(w).u32be(h).bytes(std::vector<std::uint8_t>{8, 2, 0, 0, 0});
    chunk("IHDR", ihdr);
    chunk("IDAT", z);
    chunk("IEND", {});
    return png;
}

std::vector<std::uint8_t> png24BrokenData(std::uint32_t w, std::uint32_t h) {
    auto png = png24(w, h, [](std::uint32_t x, std::uint32_t y) {
        return Color{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 7};
    });
    const std::size_t idat = 8 + 12 + 13; // after the signature and the IHDR chunk
    const std::uint32_t length = std::uint32_t{png[idat]} << 24 |
                                 std::uint32_t{png[idat + 1]} << 16 |
                                 std::uint32_t{png[idat + 2]} << 8 | png[idat + 3];
    png[idat + 8 + 5] ^= 0xFF; // zlib header, block header, LEN, then NLEN's first byte
    ByteWriter(png).setU32be(idat + 8 + length,
                             crc32(std::span(png).subspan(idat + 4, length + 4)));
    return png;
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
    const std::size_t rowBytes = std::size_t{cinfo.output_width} * cinfo.output_components;
    facts.pixels.resize(rowBytes * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW r = facts.pixels.data() + rowBytes * cinfo.output_scanline;
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
