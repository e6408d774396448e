// Writes the seed corpus of every fuzz target: a few tiny valid files per format, made by
// our own code (by hand for the simple formats, with the libraries' writers for the rest).
// Usage: make_seeds OUTDIR  (writes OUTDIR/<target>/<name>)
#include "book/image/Image.h"
#include "tests/jxl_support.h"
#include "tests/metafile_support.h"
#include "tests/pdf_support.h"
#include "tests/picture_writers.h"
#include "tests/test_support.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gif_lib.h>
#include <memory>
#include <png.h>
#include <string>
#include <tiffio.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;
using folio::test::ByteWriter;

std::uint8_t pattern(std::uint32_t x, std::uint32_t y, int channel) {
    return static_cast<std::uint8_t>(x * 37 + y * 11 + channel * 80);
}

// BMP of the given depth (1, 4, 8: palette; 24), optionally RLE8, optionally without file
// header (for icons, with the doubled height and an AND mask).
Bytes bmp(std::uint32_t w, std::uint32_t h, int bpp, bool rle8 = false, bool icon = false) {
    const int colors = bpp <= 8 ? 1 << bpp : 0;
    const std::uint32_t stride = ((w * static_cast<std::uint32_t>(bpp) + 31) / 32) * 4;
    Bytes pixels;
    if (rle8) {
        for (std::uint32_t y = 0; y < h; ++y) {
            pixels.insert(pixels.end(),
                          {static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(y)});
            pixels.insert(pixels.end(), {0, 0});
        }
        pixels.insert(pixels.end(), {0, 1});
    } else {
        for (std::uint32_t y = 0; y < h; ++y) {
            Bytes row(stride, 0);
            for (std::uint32_t x = 0; x < w; ++x) {
                if (bpp == 24) {
                    for (int c = 0; c < 3; ++c)
                        row[x * 3 + static_cast<std::uint32_t>(c)] = pattern(x, y, c);
                } else {
                    const std::uint32_t v = pattern(x, y, 0) % static_cast<std::uint32_t>(colors);
                    const std::uint32_t bit = x * static_cast<std::uint32_t>(bpp);
                    row[bit / 8] |= static_cast<std::uint8_t>(v << (8 - bpp - bit % 8));
                }
            }
            pixels.insert(pixels.end(), row.begin(), row.end());
        }
        if (icon) pixels.insert(pixels.end(), ((w + 31) / 32) * 4 * h, 0);
    }
    Bytes b;
    const std::uint32_t offset = (icon ? 0 : 14) + 40 + 4 * static_cast<std::uint32_t>(colors);
    if (!icon) {
        ByteWriter(b)
            .text("BM")
            .u32le(offset + static_cast<std::uint32_t>(pixels.size()))
            .u32le(0)
            .u32le(offset);
    }
    ByteWriter(b)
        .u32le(40)
        .u32le(w)
        .u32le(icon ? h * 2 : h)
        .u16le(1)
        .u16le(static_cast<std::uint32_t>(bpp))
        .u32le(rle8 ? 1 : 0)
        .u32le(static_cast<std::uint32_t>(pixels.size()))
        .u32le(2835)
        .u32le(2835)
        .u32le(static_cast<std::uint32_t>(colors))
        .u32le(0);
    for (int i = 0; i < colors; ++i) {
        const auto v = static_cast<std::uint8_t>(i * 255 / (colors - 1));
        b.insert(b.end(), {v, static_cast<std::uint8_t>(255 - v), v, 0});
    }
    b.insert(b.end(), pixels.begin(), pixels.end());
    return b;
}

Bytes ico(const std::vector<Bytes>& entries, const std::vector<std::uint32_t>& sizes) {
    Bytes b;
    ByteWriter(b).u16le(0).u16le(1).u16le(static_cast<std::uint32_t>(entries.size()));
    std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        b.insert(b.end(),
                 {static_cast<std::uint8_t>(sizes[i]), static_cast<std::uint8_t>(sizes[i]), 0, 0});
        ByteWriter(b)
            .u16le(1)
            .u16le(24)
            .u32le(static_cast<std::uint32_t>(entries[i].size()))
            .u32le(offset);
        offset += static_cast<std::uint32_t>(entries[i].size());
    }
    for (const auto& e : entries)
        b.insert(b.end(), e.begin(), e.end());
    return b;
}

Bytes tga(std::uint32_t w, std::uint32_t h, int type, int depth, bool topLeft) {
    Bytes b{0, static_cast<std::uint8_t>(type == 1 || type == 9 ? 1 : 0),
            static_cast<std::uint8_t>(type)};
    const bool mapped = type == 1 || type == 9;
    ByteWriter(b).u16le(0).u16le(mapped ? 16 : 0);
    b.push_back(mapped ? 24 : 0);
    ByteWriter(b).u16le(0).u16le(0).u16le(w).u16le(h);
    b.push_back(static_cast<std::uint8_t>(depth));
    b.push_back(topLeft ? 0x20 : 0);
    if (mapped)
        for (int i = 0; i < 16; ++i)
            b.insert(b.end(), {static_cast<std::uint8_t>(i * 16), 0, 200});
    const int bytes = depth / 8;
    const bool rle = type >= 9;
    for (std::uint32_t y = 0; y < h; ++y) {
        if (rle) {
            b.push_back(static_cast<std::uint8_t>(0x80 | (w - 1)));
            for (int c = 0; c < bytes; ++c)
                b.push_back(pattern(0, y, c) % (mapped ? 16 : 256));
        } else {
            for (std::uint32_t x = 0; x < w; ++x)
                for (int c = 0; c < bytes; ++c)
                    b.push_back(pattern(x, y, c) % (mapped ? 16 : 256));
        }
    }
    return b;
}

Bytes pcx(std::uint32_t w, std::uint32_t h, int bitsPerPixel, int planes) {
    Bytes b{0x0A, 5, 1, static_cast<std::uint8_t>(bitsPerPixel)};
    ByteWriter(b).u16le(0).u16le(0).u16le(w - 1).u16le(h - 1).u16le(300).u16le(300);
    for (int i = 0; i < 16; ++i)
        b.insert(b.end(), {static_cast<std::uint8_t>(i * 16), 80, 160});
    b.push_back(0);
    b.push_back(static_cast<std::uint8_t>(planes));
    const std::uint32_t bytesPerLine =
        ((w * static_cast<std::uint32_t>(bitsPerPixel) + 15) / 16) * 2;
    ByteWriter(b).u16le(bytesPerLine).u16le(1);
    b.resize(128, 0);
    for (std::uint32_t y = 0; y < h; ++y)
        for (int p = 0; p < planes; ++p)
            for (std::uint32_t i = 0; i < bytesPerLine; ++i) {
                const std::uint8_t v = pattern(i, y, p);
                if (v >= 0xC0) b.push_back(0xC1);
                b.push_back(v);
            }
    if (bitsPerPixel == 8 && planes == 1) {
        b.push_back(0x0C);
        for (int i = 0; i < 256; ++i)
            b.insert(b.end(),
                     {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i), 90});
    }
    return b;
}

Bytes wbmp(std::uint32_t w, std::uint32_t h) {
    Bytes b{0, 0, static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(h)};
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t i = 0; i < (w + 7) / 8; ++i)
            b.push_back(pattern(i, y, 0));
    return b;
}

Bytes pnm(const std::string& magic, std::uint32_t w, std::uint32_t h, std::uint32_t maxval) {
    Bytes b;
    ByteWriter(b).text(magic + "\n# seed\n" + std::to_string(w) + " " + std::to_string(h) + "\n");
    const bool bits = magic == "P1" || magic == "P4";
    if (!bits) ByteWriter(b).text(std::to_string(maxval) + "\n");
    const int channels = (magic == "P3" || magic == "P6") ? 3 : 1;
    const bool plain = magic[1] <= '3';
    for (std::uint32_t y = 0; y < h; ++y) {
        if (magic == "P4") {
            for (std::uint32_t i = 0; i < (w + 7) / 8; ++i)
                b.push_back(pattern(i, y, 0));
            continue;
        }
        for (std::uint32_t x = 0; x < w; ++x)
            for (int c = 0; c < channels; ++c) {
                const std::uint32_t v =
                    bits ? pattern(x, y, c) & 1 : pattern(x, y, c) * maxval / 255;
                if (plain)
                    ByteWriter(b).text(std::to_string(v) + " ");
                else if (maxval > 255)
                    ByteWriter(b).u16be(v);
                else
                    b.push_back(static_cast<std::uint8_t>(v));
            }
        if (plain) ByteWriter(b).text("\n");
    }
    return b;
}

Bytes pgx(std::uint32_t w, std::uint32_t h, int depth, bool bigEndian, bool sign) {
    Bytes b;
    ByteWriter(b).text(std::string("PG ") + (bigEndian ? "ML " : "LM ") + (sign ? "-" : "+") +
                       std::to_string(depth) + " " + std::to_string(w) + " " + std::to_string(h) +
                       "\n");
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint32_t v = pattern(x, y, 0);
            if (depth <= 8)
                b.push_back(static_cast<std::uint8_t>(v));
            else if (bigEndian)
                ByteWriter(b).u16be(v << (depth - 8));
            else
                ByteWriter(b).u16le(v << (depth - 8));
        }
    return b;
}

Bytes ras(std::uint32_t w, std::uint32_t h, int depth, int type) {
    Bytes pixels;
    const std::uint32_t lineBytes = ((w * static_cast<std::uint32_t>(depth) + 15) / 16) * 2;
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t i = 0; i < lineBytes; ++i)
            pixels.push_back(pattern(i, y, 0) & 0x7F);
    Bytes b;
    ByteWriter(b)
        .u32be(0x59a66a95)
        .u32be(w)
        .u32be(h)
        .u32be(static_cast<std::uint32_t>(depth))
        .u32be(static_cast<std::uint32_t>(pixels.size()))
        .u32be(static_cast<std::uint32_t>(type))
        .u32be(depth == 8 ? 1 : 0)
        .u32be(depth == 8 ? 3 * 256 : 0);
    if (depth == 8)
        for (int c = 0; c < 3; ++c)
            for (int i = 0; i < 256; ++i)
                b.push_back(static_cast<std::uint8_t>(c == 1 ? 255 - i : i));
    b.insert(b.end(), pixels.begin(), pixels.end());
    return b;
}

Bytes png(std::uint32_t w, std::uint32_t h, int colorType, int depth, bool interlace) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    struct Guard {
        png_structp* p;
        png_infop* i;
        ~Guard() { png_destroy_write_struct(p, i); }
    } guard{&png, &info};
    if (setjmp(png_jmpbuf(png))) return {};
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep data, png_size_t n) {
            auto* o = static_cast<Bytes*>(png_get_io_ptr(p));
            o->insert(o->end(), data, data + n);
        },
        nullptr);
    png_set_IHDR(png, info, w, h, depth, colorType,
                 interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_color palette[16];
    for (int i = 0; i < 16; ++i)
        palette[i] = {static_cast<png_byte>(i * 16), static_cast<png_byte>(255 - i * 16), 77};
    if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, palette, 1 << depth);
    png_set_pHYs(png, info, 11811, 11811, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    const int channels = colorType == PNG_COLOR_TYPE_RGB          ? 3
                         : colorType == PNG_COLOR_TYPE_RGBA       ? 4
                         : colorType == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                                                                  : 1;
    const std::size_t rowBytes = (static_cast<std::size_t>(w) * channels * depth + 7) / 8;
    std::vector<Bytes> rows(h, Bytes(rowBytes));
    std::vector<png_bytep> pointers;
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::size_t i = 0; i < rowBytes; ++i)
            rows[y][i] = pattern(static_cast<std::uint32_t>(i), y, 0);
        if (colorType == PNG_COLOR_TYPE_PALETTE && depth == 8)
            for (auto& v : rows[y])
                v &= 0x0F;
        pointers.push_back(rows[y].data());
    }
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    return out;
}

Bytes gif(std::uint32_t w, std::uint32_t h, int colors, bool interlace) {
    Bytes out;
    int error = 0;
    GifFileType* gif = EGifOpen(
        &out,
        [](GifFileType* g, const GifByteType* data, int n) {
            auto* o = static_cast<Bytes*>(g->UserData);
            o->insert(o->end(), data, data + n);
            return n;
        },
        &error);
    if (!gif) return {};
    std::vector<GifColorType> table(static_cast<std::size_t>(colors));
    for (int i = 0; i < colors; ++i)
        table[static_cast<std::size_t>(i)] = {
            static_cast<GifByteType>(i * 255 / (colors - 1)), 40,
            static_cast<GifByteType>(255 - i * 255 / (colors - 1))};
    ColorMapObject* map = GifMakeMapObject(colors, table.data());
    EGifPutScreenDesc(gif, static_cast<int>(w), static_cast<int>(h), 8, 0, map);
    EGifPutImageDesc(gif, 0, 0, static_cast<int>(w), static_cast<int>(h), interlace, nullptr);
    Bytes line(w);
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x)
            line[x] = static_cast<GifByteType>(pattern(x, y, 0) % static_cast<unsigned>(colors));
        EGifPutLine(gif, line.data(), static_cast<int>(w));
    }
    GifFreeMapObject(map);
    EGifCloseFile(gif, &error);
    return out;
}

Bytes tiffFile(const fs::path& scratch, std::uint32_t w, std::uint32_t h, int photometric, int bits,
               int samples, int compression) {
    {
        std::unique_ptr<TIFF, void (*)(TIFF*)> t(TIFFOpen(scratch.c_str(), "w"), TIFFClose);
        if (!t) return {};
        TIFFSetField(t.get(), TIFFTAG_IMAGEWIDTH, w);
        TIFFSetField(t.get(), TIFFTAG_IMAGELENGTH, h);
        TIFFSetField(t.get(), TIFFTAG_BITSPERSAMPLE, bits);
        TIFFSetField(t.get(), TIFFTAG_SAMPLESPERPIXEL, samples);
        TIFFSetField(t.get(), TIFFTAG_PHOTOMETRIC, photometric);
        TIFFSetField(t.get(), TIFFTAG_COMPRESSION, compression);
        TIFFSetField(t.get(), TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t.get(), TIFFTAG_ROWSPERSTRIP, 4);
        if (photometric == PHOTOMETRIC_PALETTE) {
            std::vector<std::uint16_t> r(1u << bits), g(1u << bits), b(1u << bits);
            for (std::size_t i = 0; i < r.size(); ++i) {
                r[i] = static_cast<std::uint16_t>(i * 4000);
                g[i] = 30000;
                b[i] = static_cast<std::uint16_t>(65535 - i * 4000);
            }
            TIFFSetField(t.get(), TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
        }
        const tmsize_t rowBytes = (static_cast<tmsize_t>(w) * samples * bits + 7) / 8;
        Bytes row(static_cast<std::size_t>(rowBytes));
        for (std::uint32_t y = 0; y < h; ++y) {
            for (tmsize_t i = 0; i < rowBytes; ++i)
                row[static_cast<std::size_t>(i)] = pattern(static_cast<std::uint32_t>(i), y, 0);
            TIFFWriteScanline(t.get(), row.data(), y, 0);
        }
    }
    std::ifstream in(scratch, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), {}};
}

Bytes jpeg2000(std::uint32_t w, std::uint32_t h, unsigned components, bool jp2) {
    folio::test::J2kPicture p;
    p.w = w, p.h = h, p.comps = components;
    p.space = components == 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY;
    p.fn = [](std::uint32_t x, std::uint32_t y, unsigned c) -> std::int32_t {
        return pattern(x, y, static_cast<int>(c));
    };
    return folio::test::encodeJ2k(p, jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
}

Bytes jpeg(std::uint32_t w, std::uint32_t h, bool gray, int quality) {
    folio::Image image;
    image.Create(w, h, gray ? 8 : 24);
    if (gray) image.SetGrayPalette();
    auto& px = image.Pixels();
    for (std::size_t i = 0; i < px.size(); ++i)
        px[i] = pattern(static_cast<std::uint32_t>(i % w), static_cast<std::uint32_t>(i / w),
                        static_cast<int>(i % 3));
    image.SetJpegQuality(static_cast<std::uint8_t>(quality));
    Bytes out;
    image.Encode(out, folio::kFormatJpeg);
    return out;
}

// The pattern as RGBA (alpha varying) or RGB rows, or as gray bytes.
Bytes patternPixels(std::uint32_t w, std::uint32_t h, int channels) {
    Bytes px;
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            for (int c = 0; c < channels; ++c)
                px.push_back(c == 3 ? static_cast<std::uint8_t>(64 + x * 9) : pattern(x, y, c));
    return px;
}

// A JPEG whose EXIF block (an APP1 segment right after SOI) asks for `orientation`.
Bytes jpegWithExif(int orientation) {
    Bytes exif;
    ByteWriter w(exif);
    w.text(std::string_view("Exif\0\0", 6)).text("MM").u16be(42).u32be(8);
    w.u16be(1).u16be(0x0112).u16be(3).u32be(1).u16be(static_cast<std::uint32_t>(orientation));
    w.u16be(0).u32be(0);
    const Bytes plain = jpeg(12, 7, false, 70);
    Bytes out(plain.begin(), plain.begin() + 2);
    ByteWriter(out)
        .u8(0xFF)
        .u8(0xE1)
        .u16be(static_cast<std::uint32_t>(exif.size() + 2))
        .bytes(exif);
    out.insert(out.end(), plain.begin() + 2, plain.end());
    return out;
}

// A JPEG XL picture of the pattern: 1 to 4 channels, lossless or lossy, a second flat frame
// for an animation.
Bytes jxl(std::uint32_t w, std::uint32_t h, std::uint32_t channels, bool lossless,
          std::uint32_t orientation = 1, bool animated = false, bool container = false) {
    folio::test::JxlPicture p;
    p.w = w, p.h = h, p.channels = channels, p.lossless = lossless;
    p.orientation = orientation, p.container = container;
    p.frames = {patternPixels(w, h, static_cast<int>(channels))};
    if (animated) p.frames.push_back(Bytes(std::size_t{w} * h * channels, 200));
    return folio::test::jxlFile(p);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
        return 2;
    }
    const fs::path root(argv[1]);
    int written = 0;
    auto put = [&](const std::string& target, const std::string& name, const Bytes& bytes) {
        if (bytes.empty()) {
            std::fprintf(stderr, "seed %s/%s could not be made\n", target.c_str(), name.c_str());
            return;
        }
        fs::create_directories(root / target);
        std::ofstream(root / target / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        ++written;
    };
    const fs::path scratch = fs::temp_directory_path() / "folio-seed.tif";

    const std::vector<std::pair<std::string, Bytes>> seeds = {
        {"bmp/pal1.bmp", bmp(9, 5, 1)},
        {"bmp/pal4.bmp", bmp(7, 3, 4)},
        {"bmp/pal8.bmp", bmp(6, 4, 8)},
        {"bmp/rle8.bmp", bmp(5, 4, 8, true)},
        {"bmp/rgb24.bmp", bmp(5, 3, 24)},
        {"ico/two.ico", ico({bmp(8, 8, 24, false, true), bmp(16, 16, 8, false, true)}, {8, 16})},
        {"ico/png.ico", ico({png(16, 16, PNG_COLOR_TYPE_RGB, 8, false)}, {16})},
        {"tga/rgb24.tga", tga(5, 3, 2, 24, false)},
        {"tga/mapped.tga", tga(4, 4, 1, 8, true)},
        {"tga/gray.tga", tga(4, 2, 3, 8, false)},
        {"tga/rle32.tga", tga(6, 3, 10, 32, true)},
        {"tga/rle16.tga", tga(3, 3, 10, 16, false)},
        {"pcx/mono.pcx", pcx(13, 4, 1, 1)},
        {"pcx/ega.pcx", pcx(9, 3, 1, 4)},
        {"pcx/pal8.pcx", pcx(6, 3, 8, 1)},
        {"pcx/rgb.pcx", pcx(5, 2, 8, 3)},
        {"wbmp/small.wbmp", wbmp(12, 5)},
        {"pnm/p1.pnm", pnm("P1", 5, 3, 1)},
        {"pnm/p2.pgm", pnm("P2", 4, 3, 255)},
        {"pnm/p3.ppm", pnm("P3", 3, 2, 15)},
        {"pnm/p4.pnm", pnm("P4", 11, 3, 1)},
        {"pnm/p5.pgm", pnm("P5", 4, 4, 65535)},
        {"pnm/p6.ppm", pnm("P6", 3, 3, 255)},
        {"pgx/ml8.pgx", pgx(4, 3, 8, true, false)},
        {"pgx/lm12s.pgx", pgx(3, 3, 12, false, true)},
        {"ras/rgb24.ras", ras(5, 3, 24, 1)},
        {"ras/pal8.ras", ras(4, 4, 8, 1)},
        {"ras/mono.ras", ras(17, 3, 1, 1)},
        {"ras/rle8.ras", ras(4, 2, 8, 2)},
        {"jpeg/gray.jpg", jpeg(16, 8, true, 50)},
        {"jpeg/rgb.jpg", jpeg(17, 9, false, 80)},
        {"png/gray1.png", png(9, 3, PNG_COLOR_TYPE_GRAY, 1, false)},
        {"png/gray16i.png", png(5, 5, PNG_COLOR_TYPE_GRAY, 16, true)},
        {"png/pal4.png", png(6, 3, PNG_COLOR_TYPE_PALETTE, 4, false)},
        {"png/rgba8i.png", png(7, 7, PNG_COLOR_TYPE_RGBA, 8, true)},
        {"png/rgb16.png", png(3, 2, PNG_COLOR_TYPE_RGB, 16, false)},
        {"png/graya8.png", png(4, 2, PNG_COLOR_TYPE_GRAY_ALPHA, 8, false)},
        {"gif/two.gif", gif(9, 4, 2, false)},
        {"gif/sixteen.gif", gif(8, 8, 16, true)},
        {"gif/full.gif", gif(5, 3, 256, false)},
        {"tiff/bilevel.tif",
         tiffFile(scratch, 19, 5, PHOTOMETRIC_MINISWHITE, 1, 1, COMPRESSION_NONE)},
        {"tiff/gray8lzw.tif",
         tiffFile(scratch, 8, 6, PHOTOMETRIC_MINISBLACK, 8, 1, COMPRESSION_LZW)},
        {"tiff/pal4.tif", tiffFile(scratch, 6, 5, PHOTOMETRIC_PALETTE, 4, 1, COMPRESSION_PACKBITS)},
        {"tiff/rgbzip.tif",
         tiffFile(scratch, 5, 5, PHOTOMETRIC_RGB, 8, 3, COMPRESSION_ADOBE_DEFLATE)},
        {"tiff/gray16.tif",
         tiffFile(scratch, 4, 3, PHOTOMETRIC_MINISBLACK, 16, 1, COMPRESSION_NONE)},
        {"jpeg2000/gray.j2k", jpeg2000(8, 8, 1, false)},
        {"jpeg2000/rgb.jp2", jpeg2000(9, 7, 3, true)},
        {"jpeg/exif6.jpg", jpegWithExif(6)},
        {"webp/lossy.webp", folio::test::webpStill(12, 7, patternPixels(12, 7, 4), false, 60)},
        {"webp/lossless.webp", folio::test::webpStill(9, 5, patternPixels(9, 5, 4), true)},
        {"webp/anim.webp",
         folio::test::webpAnimation(8, 6, {patternPixels(8, 6, 4), Bytes(8 * 6 * 4, 200)})},
        {"heif/hevc.heic",
         folio::test::heifFile(heif_compression_HEVC, 16, 8, patternPixels(16, 8, 3),
                               heif_orientation_normal, 50)},
        {"heif/av1.avif",
         folio::test::heifFile(heif_compression_AV1, 12, 8, patternPixels(12, 8, 3),
                               heif_orientation_rotate_90_cw, 50)},
        {"heif/mono.avif", folio::test::heifFile(heif_compression_AV1, 8, 8, patternPixels(8, 8, 1),
                                                 heif_orientation_normal, 50)},
        {"jxl/lossless.jxl", jxl(9, 7, 3, true)},
        {"jxl/gray.jxl", jxl(8, 5, 1, true)},
        {"jxl/lossy_alpha.jxl", jxl(12, 8, 4, false, 6)},
        {"jxl/anim.jxl", jxl(6, 6, 3, true, 1, true, true)},
        {"jxl/jpeg.jxl", folio::test::jxlFromJpeg(jpeg(16, 8, false, 80))},
        {"wmf/rect.wmf",
         folio::test::wmfRectangle(true, {0, 0, 40, 30}, {5, 5, 20, 25}, {10, 200, 30})},
        {"wmf/plain.wmf",
         folio::test::wmfRectangle(false, {-10, -10, 30, 50}, {0, 0, 9, 9}, {90, 20, 130})},
        {"wmf/shapes.wmf", folio::test::wmfShapes()},
        {"emf/rect.emf", folio::test::emfRectangle({0, 0, 40, 30}, {5, 5, 20, 25}, {10, 200, 30})},
        {"emf/shapes.emf", folio::test::emfShapes()},
    };
    for (const auto& [name, bytes] : seeds) {
        const auto slash = name.find('/');
        put(name.substr(0, slash), name.substr(slash + 1), bytes);
    }
    // The loader and page targets take one leading byte (the type by name; for pages also the
    // gray flag, quality, spread halving for a third of them and strip cutting) before the file.
    for (const auto& [name, bytes] : seeds) {
        const auto slash = name.find('/');
        const std::string flat = name.substr(0, slash) + "_" + name.substr(slash + 1);
        Bytes loader{0};
        loader.insert(loader.end(), bytes.begin(), bytes.end());
        put("loader", flat, loader);
        Bytes page{0, static_cast<std::uint8_t>(flat.size() % 2 | 160 |
                                                (flat.size() % 3 == 0 ? 0x40 : 0))};
        page.insert(page.end(), bytes.begin(), bytes.end());
        put("page", flat, page);
    }
    // PDFs: a text page, a small scan, a page turned by /Rotate, and one that is locked.
    const auto shade = [](std::uint32_t x, std::uint32_t y) {
        return folio::test::Color{static_cast<std::uint8_t>(x * 30),
                                  static_cast<std::uint8_t>(y * 40), 90};
    };
    put("pdf", "text.pdf", folio::test::pdfBytes({{90, 60, 0, 0, nullptr, {"Ab"}}}));
    put("pdf", "scan.pdf", folio::test::pdfBytes({{40, 30, 8, 6, shade, {}}}));
    Bytes turned = folio::test::pdfBytes({{30, 50, 4, 4, shade, {}}, {50, 30, 0, 0, nullptr, {}}});
    // Inserted before the first page's type: the offsets after it move, so poppler also
    // rebuilds the cross-reference table.
    const std::string page = "/Type /Page %", rotate = "/Rotate 90 ";
    auto at = std::search(turned.begin(), turned.end(), page.begin(), page.end());
    if (at != turned.end()) turned.insert(at, rotate.begin(), rotate.end());
    put("pdf", "turned.pdf", turned);
    put("pdf", "locked.pdf", folio::test::lockedPdf());
    fs::remove(scratch);
    std::printf("%d seeds written to %s\n", written, root.c_str());
    return 0;
}
