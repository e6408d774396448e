// The TIFF decoder: images written by libtiff here in the test, read back through our
// decoder; the shared corpus checks real-world files.
#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"
#include "tests/test_support.h"

#include <tiffio.h>

#include <cstdio> // before jpeglib.h, which needs FILE
#include <jpeglib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace folio {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::grayRgb;

// ---------------------------------------------------------------------------------------------
// Writing TIFFs into memory with libtiff.

struct MemFile {
    Bytes bytes;
    std::uint64_t pos = 0;
};

tmsize_t memRead(thandle_t h, void* buf, tmsize_t n) {
    auto* f = static_cast<MemFile*>(h);
    if (f->pos >= f->bytes.size()) return 0;
    const auto count =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(n), f->bytes.size() - f->pos);
    std::memcpy(buf, f->bytes.data() + f->pos, count);
    f->pos += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t memWrite(thandle_t h, void* buf, tmsize_t n) {
    auto* f = static_cast<MemFile*>(h);
    const std::uint64_t end = f->pos + static_cast<std::uint64_t>(n);
    if (end > f->bytes.size()) f->bytes.resize(end);
    std::memcpy(f->bytes.data() + f->pos, buf, static_cast<std::size_t>(n));
    f->pos = end;
    return n;
}

toff_t memSeek(thandle_t h, toff_t off, int whence) {
    auto* f = static_cast<MemFile*>(h);
    if (whence == SEEK_SET) f->pos = off;
    if (whence == SEEK_CUR) f->pos += off;
    if (whence == SEEK_END) f->pos = f->bytes.size() + off;
    return f->pos;
}

int memClose(thandle_t) {
    return 0;
}
toff_t memSize(thandle_t h) {
    return static_cast<MemFile*>(h)->bytes.size();
}
int memMap(thandle_t, void**, toff_t*) {
    return 0;
}
void memUnmap(thandle_t, void*, toff_t) {}

// The colour map the palette cases use, as 8-bit colours.
Rgb mapColor(unsigned i) {
    return Rgb{static_cast<std::uint8_t>(i * 53 + 7), static_cast<std::uint8_t>(255 - i * 11),
               static_cast<std::uint8_t>(i * 97 + 31)};
}

using SampleFn = std::uint32_t (*)(std::uint32_t x, std::uint32_t y, unsigned sample);

struct TiffPage {
    std::uint32_t w = 8, h = 6;
    std::uint16_t bps = 8, spp = 1, photometric = PHOTOMETRIC_MINISBLACK;
    std::uint16_t compression = COMPRESSION_NONE;
    std::uint16_t planar = PLANARCONFIG_CONTIG;
    std::uint32_t tile = 0;         // tile side; 0 writes strips
    std::uint32_t rowsPerStrip = 0; // 0 leaves libtiff's choice
    std::uint16_t extra = 0;        // trailing unassociated alpha samples
    std::uint16_t orientation = ORIENTATION_TOPLEFT;
    std::uint16_t resUnit = 0; // 0 writes no resolution
    float xRes = 0, yRes = 0;
    SampleFn sample = nullptr;
};

// Packs one row (or tile row) of plane `plane` for pixels x0 .. x0+n-1, padding to rowBytes.
void packRow(const TiffPage& p, std::uint32_t y, std::uint32_t x0, std::uint32_t n,
             std::uint16_t plane, std::size_t rowBytes, std::uint8_t* out) {
    std::memset(out, 0, rowBytes);
    const bool contig = p.planar == PLANARCONFIG_CONTIG;
    const unsigned perPixel = contig ? p.spp : 1;
    std::uint64_t bit = 0;
    std::size_t index = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        for (unsigned s = 0; s < perPixel; ++s, ++index) {
            const std::uint32_t x = x0 + i;
            const std::uint32_t v = x < p.w ? p.sample(x, y, contig ? s : plane) : 0;
            if (p.bps == 16) {
                const auto v16 = static_cast<std::uint16_t>(v);
                std::memcpy(out + index * 2, &v16, 2);
            } else if (p.bps == 8) {
                out[index] = static_cast<std::uint8_t>(v);
            } else {
                for (int b = p.bps - 1; b >= 0; --b, ++bit)
                    if ((v >> b) & 1u)
                        out[bit >> 3] |= static_cast<std::uint8_t>(0x80 >> (bit & 7));
            }
        }
    }
}

void writePage(TIFF* tif, const TiffPage& p) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, p.w);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, p.h);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, p.bps);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, p.spp);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, p.photometric);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, p.compression);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, p.planar);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, p.orientation);
    if (p.photometric == PHOTOMETRIC_YCBCR)
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    if (p.photometric == PHOTOMETRIC_SEPARATED) TIFFSetField(tif, TIFFTAG_INKSET, INKSET_CMYK);
    if (p.extra) {
        std::vector<std::uint16_t> kinds(p.extra, EXTRASAMPLE_UNASSALPHA);
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, p.extra, kinds.data());
    }
    if (p.resUnit) {
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, p.resUnit);
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, p.xRes);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, p.yRes);
    }
    std::vector<std::uint16_t> r, g, b;
    if (p.photometric == PHOTOMETRIC_PALETTE) {
        for (unsigned i = 0; i < (1u << p.bps); ++i) {
            const Rgb c = mapColor(i);
            r.push_back(static_cast<std::uint16_t>(c.r * 257));
            g.push_back(static_cast<std::uint16_t>(c.g * 257));
            b.push_back(static_cast<std::uint16_t>(c.b * 257));
        }
        TIFFSetField(tif, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
    }
    const std::uint16_t planes = p.planar == PLANARCONFIG_CONTIG ? 1 : p.spp;
    if (p.tile) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, p.tile);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, p.tile);
        const auto rowBytes = static_cast<std::size_t>(TIFFTileRowSize64(tif));
        Bytes buf(rowBytes * p.tile);
        for (std::uint16_t plane = 0; plane < planes; ++plane)
            for (std::uint32_t ty = 0; ty < p.h; ty += p.tile)
                for (std::uint32_t tx = 0; tx < p.w; tx += p.tile) {
                    for (std::uint32_t r2 = 0; r2 < p.tile; ++r2)
                        packRow(p, std::min(ty + r2, p.h - 1), tx, p.tile, plane, rowBytes,
                                &buf[r2 * rowBytes]);
                    ASSERT_GE(TIFFWriteTile(tif, buf.data(), tx, ty, 0, plane), 0);
                }
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP,
                     p.rowsPerStrip ? p.rowsPerStrip : TIFFDefaultStripSize(tif, 0));
        const auto rowBytes = static_cast<std::size_t>(TIFFScanlineSize64(tif));
        Bytes row(rowBytes);
        for (std::uint16_t plane = 0; plane < planes; ++plane)
            for (std::uint32_t y = 0; y < p.h; ++y) {
                packRow(p, y, 0, p.w, plane, rowBytes, row.data());
                ASSERT_EQ(TIFFWriteScanline(tif, row.data(), y, plane), 1);
            }
    }
    ASSERT_TRUE(TIFFWriteDirectory(tif));
}

Bytes writeTiff(const std::vector<TiffPage>& pages) {
    MemFile f;
    TIFF* tif = TIFFClientOpen("test", "w", &f, memRead, memWrite, memSeek, memClose, memSize,
                               memMap, memUnmap);
    EXPECT_NE(tif, nullptr);
    if (!tif) return {};
    for (const TiffPage& p : pages)
        writePage(tif, p);
    TIFFClose(tif);
    return f.bytes;
}

Bytes writeTiff(const TiffPage& p) {
    return writeTiff(std::vector<TiffPage>{p});
}

// Sample patterns. Each is a plain function of position so the expected colours below follow
// from the same formula without our decoder's help.
std::uint32_t checker(std::uint32_t x, std::uint32_t y, unsigned) {
    return (x * x + y) % 2;
}
std::uint32_t levels2(std::uint32_t x, std::uint32_t y, unsigned) {
    return (x + 2 * y) % 4;
}
std::uint32_t levels4(std::uint32_t x, std::uint32_t y, unsigned) {
    return (3 * x + y) % 16;
}
std::uint32_t levels8(std::uint32_t x, std::uint32_t y, unsigned s) {
    return (37 * x + 11 * y + 101 * s) % 256;
}
std::uint32_t levels12(std::uint32_t x, std::uint32_t y, unsigned) {
    return (311 * x + 97 * y) % 4096;
}
std::uint32_t levels16(std::uint32_t x, std::uint32_t y, unsigned s) {
    return (4099 * x + 257 * y + 9001 * s) % 65536;
}
std::uint32_t rgb4(std::uint32_t x, std::uint32_t y, unsigned s) {
    return (x + 5 * y + 7 * s) % 16;
}
// Alpha (sample 3) sweeps through 0 so premultiplying would show.
std::uint32_t rgba8(std::uint32_t x, std::uint32_t y, unsigned s) {
    return s == 3 ? (x * 40) % 256 : levels8(x, y, s);
}
std::uint32_t cmyk8(std::uint32_t x, std::uint32_t y, unsigned s) {
    return s == 3 ? (y * 30) % 120 : (x * 29 + s * 70) % 256;
}
// Flat 16x16 blocks (one JPEG MCU each) survive JPEG nearly unchanged away from their edges.
std::uint32_t blocks(std::uint32_t x, std::uint32_t y, unsigned s) {
    static const std::uint8_t kLevels[3][4] = {
        {200, 40, 120, 90}, {30, 180, 60, 220}, {90, 90, 250, 20}};
    return kLevels[s][((x / 16) + (y / 16)) % 4];
}
bool blockInterior(std::uint32_t x, std::uint32_t y) {
    return x % 16 >= 4 && x % 16 < 12 && y % 16 >= 4 && y % 16 < 12;
}

std::uint8_t gray(std::uint32_t v) {
    return static_cast<std::uint8_t>(v);
}

struct TiffCase {
    const char* name;
    TiffPage page;
    std::uint16_t depth;
    std::function<Rgb(std::uint32_t, std::uint32_t)> expect;
    int tolerance = 0;
    bool (*checked)(std::uint32_t, std::uint32_t) = nullptr; // pixels compared; null: all
};

void PrintTo(const TiffCase& c, std::ostream* os) {
    *os << c.name;
}

TiffPage page(std::uint32_t w, std::uint32_t h, std::uint16_t bps, std::uint16_t spp,
              std::uint16_t photometric, SampleFn fn) {
    TiffPage p;
    p.w = w;
    p.h = h;
    p.bps = bps;
    p.spp = spp;
    p.photometric = photometric;
    p.sample = fn;
    return p;
}

TiffPage with(TiffPage p, std::function<void(TiffPage&)> change) {
    change(p);
    return p;
}

Rgb rgbOf(SampleFn fn, std::uint32_t x, std::uint32_t y) {
    return Rgb{gray(fn(x, y, 0)), gray(fn(x, y, 1)), gray(fn(x, y, 2))};
}

std::vector<TiffCase> tiffCases() {
    const TiffPage bilevelW = page(13, 7, 1, 1, PHOTOMETRIC_MINISWHITE, checker);
    const TiffPage gray8 = page(37, 21, 8, 1, PHOTOMETRIC_MINISBLACK, levels8);
    const TiffPage rgb8 = page(37, 21, 8, 3, PHOTOMETRIC_RGB, levels8);
    auto whiteIsZero = [](std::uint32_t x, std::uint32_t y) {
        return checker(x, y, 0) ? Rgb{0, 0, 0} : Rgb{255, 255, 255};
    };
    auto gray8Expect = [](std::uint32_t x, std::uint32_t y) { return grayRgb(levels8(x, y, 0)); };
    auto rgb8Expect = [](std::uint32_t x, std::uint32_t y) { return rgbOf(levels8, x, y); };
    auto paletteExpect = [](SampleFn fn) {
        return [fn](std::uint32_t x, std::uint32_t y) { return mapColor(fn(x, y, 0)); };
    };
    return {
        {"bilevel_min_is_white", bilevelW, 1, whiteIsZero},
        {"bilevel_min_is_black", page(13, 7, 1, 1, PHOTOMETRIC_MINISBLACK, checker), 1,
         [](std::uint32_t x, std::uint32_t y) {
             return checker(x, y, 0) ? Rgb{255, 255, 255} : Rgb{0, 0, 0};
         }},
        {"bilevel_fax_g4",
         with(bilevelW, [](TiffPage& p) { p.compression = COMPRESSION_CCITTFAX4; }), 1,
         whiteIsZero},
        {"bilevel_fax_g3",
         with(bilevelW, [](TiffPage& p) { p.compression = COMPRESSION_CCITTFAX3; }), 1,
         whiteIsZero},
        {"bilevel_packbits_tiled",
         with(page(40, 20, 1, 1, PHOTOMETRIC_MINISWHITE, checker),
              [](TiffPage& p) {
                  p.compression = COMPRESSION_PACKBITS;
                  p.tile = 16;
              }),
         1, whiteIsZero},
        {"gray2", page(11, 5, 2, 1, PHOTOMETRIC_MINISBLACK, levels2), 8,
         [](std::uint32_t x, std::uint32_t y) { return grayRgb(levels2(x, y, 0) * 85); }},
        {"gray4", page(11, 5, 4, 1, PHOTOMETRIC_MINISBLACK, levels4), 4,
         [](std::uint32_t x, std::uint32_t y) { return grayRgb(levels4(x, y, 0) * 17); }},
        {"gray4_min_is_white", page(11, 5, 4, 1, PHOTOMETRIC_MINISWHITE, levels4), 4,
         [](std::uint32_t x, std::uint32_t y) { return grayRgb(255 - levels4(x, y, 0) * 17); }},
        {"gray8", gray8, 8, gray8Expect},
        {"gray8_min_is_white",
         with(gray8, [](TiffPage& p) { p.photometric = PHOTOMETRIC_MINISWHITE; }), 8,
         [](std::uint32_t x, std::uint32_t y) { return grayRgb(255 - levels8(x, y, 0)); }},
        {"gray8_lzw_strips",
         with(gray8,
              [](TiffPage& p) {
                  p.compression = COMPRESSION_LZW;
                  p.rowsPerStrip = 4;
              }),
         8, gray8Expect},
        {"gray8_deflate",
         with(gray8, [](TiffPage& p) { p.compression = COMPRESSION_ADOBE_DEFLATE; }), 8,
         gray8Expect},
        {"gray8_packbits", with(gray8, [](TiffPage& p) { p.compression = COMPRESSION_PACKBITS; }),
         8, gray8Expect},
        {"gray8_tiled", with(gray8, [](TiffPage& p) { p.tile = 16; }), 8, gray8Expect},
        {"gray8_with_alpha",
         with(gray8,
              [](TiffPage& p) {
                  p.spp = 2;
                  p.extra = 1;
              }),
         8, gray8Expect},
        {"gray12", page(9, 7, 12, 1, PHOTOMETRIC_MINISBLACK, levels12), 8,
         [](std::uint32_t x, std::uint32_t y) {
             return grayRgb(test::to8(levels12(x, y, 0), 4095));
         },
         1},
        {"gray16", page(9, 7, 16, 1, PHOTOMETRIC_MINISBLACK, levels16), 8,
         [](std::uint32_t x, std::uint32_t y) {
             return grayRgb(test::to8(levels16(x, y, 0), 65535));
         },
         1},
        {"palette1", page(9, 4, 1, 1, PHOTOMETRIC_PALETTE, checker), 8, paletteExpect(checker)},
        {"palette2", page(9, 4, 2, 1, PHOTOMETRIC_PALETTE, levels2), 8, paletteExpect(levels2)},
        {"palette4", page(9, 4, 4, 1, PHOTOMETRIC_PALETTE, levels4), 4, paletteExpect(levels4)},
        {"palette8", page(19, 6, 8, 1, PHOTOMETRIC_PALETTE, levels8), 8, paletteExpect(levels8)},
        {"palette8_lzw_tiled",
         with(page(19, 6, 8, 1, PHOTOMETRIC_PALETTE, levels8),
              [](TiffPage& p) {
                  p.compression = COMPRESSION_LZW;
                  p.tile = 16;
              }),
         8, paletteExpect(levels8)},
        {"rgb8_strips", with(rgb8, [](TiffPage& p) { p.rowsPerStrip = 3; }), 24, rgb8Expect},
        {"rgb8_tiled", with(rgb8, [](TiffPage& p) { p.tile = 16; }), 24, rgb8Expect},
        {"rgb8_lzw", with(rgb8, [](TiffPage& p) { p.compression = COMPRESSION_LZW; }), 24,
         rgb8Expect},
        {"rgb8_deflate_strips",
         with(rgb8,
              [](TiffPage& p) {
                  p.compression = COMPRESSION_ADOBE_DEFLATE;
                  p.rowsPerStrip = 5;
              }),
         24, rgb8Expect},
        {"rgb8_packbits", with(rgb8, [](TiffPage& p) { p.compression = COMPRESSION_PACKBITS; }), 24,
         rgb8Expect},
        {"rgb8_planar_strips",
         with(rgb8,
              [](TiffPage& p) {
                  p.planar = PLANARCONFIG_SEPARATE;
                  p.rowsPerStrip = 4;
              }),
         24, rgb8Expect},
        {"rgb8_planar_tiled_lzw",
         with(rgb8,
              [](TiffPage& p) {
                  p.planar = PLANARCONFIG_SEPARATE;
                  p.tile = 16;
                  p.compression = COMPRESSION_LZW;
              }),
         24, rgb8Expect},
        {"rgba8_alpha_dropped",
         with(page(37, 21, 8, 4, PHOTOMETRIC_RGB, rgba8), [](TiffPage& p) { p.extra = 1; }), 24,
         [](std::uint32_t x, std::uint32_t y) { return rgbOf(rgba8, x, y); }},
        {"rgb16", page(9, 7, 16, 3, PHOTOMETRIC_RGB, levels16), 24,
         [](std::uint32_t x, std::uint32_t y) {
             return Rgb{test::to8(levels16(x, y, 0), 65535), test::to8(levels16(x, y, 1), 65535),
                        test::to8(levels16(x, y, 2), 65535)};
         },
         1},
        {"rgb4", page(9, 7, 4, 3, PHOTOMETRIC_RGB, rgb4), 24,
         [](std::uint32_t x, std::uint32_t y) {
             return Rgb{static_cast<std::uint8_t>(rgb4(x, y, 0) * 17),
                        static_cast<std::uint8_t>(rgb4(x, y, 1) * 17),
                        static_cast<std::uint8_t>(rgb4(x, y, 2) * 17)};
         }},
        {"cmyk8", page(9, 7, 8, 4, PHOTOMETRIC_SEPARATED, cmyk8), 24,
         [](std::uint32_t x, std::uint32_t y) {
             const int k = static_cast<int>(cmyk8(x, y, 3));
             auto ch = [&](unsigned s) {
                 return static_cast<std::uint8_t>((255 - static_cast<int>(cmyk8(x, y, s))) *
                                                  (255 - k) / 255);
             };
             return Rgb{ch(0), ch(1), ch(2)};
         },
         1},
        {"ycbcr_jpeg",
         with(page(32, 32, 8, 3, PHOTOMETRIC_YCBCR, blocks),
              [](TiffPage& p) {
                  p.compression = COMPRESSION_JPEG;
                  p.rowsPerStrip = 16;
              }),
         24, [](std::uint32_t x, std::uint32_t y) { return rgbOf(blocks, x, y); }, 6,
         blockInterior},
    };
}

class TiffDecode : public ::testing::TestWithParam<TiffCase> {};

TEST_P(TiffDecode, SizeDepthAndColours) {
    const TiffCase& c = GetParam();
    if (!TIFFIsCODECConfigured(c.page.compression)) GTEST_SKIP() << "codec not in this libtiff";
    const Bytes file = writeTiff(c.page);
    ASSERT_FALSE(file.empty());
    Image img;
    std::string err;
    testing::internal::CaptureStderr();
    const bool ok = codecs::decodeTiff(file, img, err);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(ok) << err;
    ASSERT_EQ(img.GetWidth(), c.page.w);
    ASSERT_EQ(img.GetHeight(), c.page.h);
    EXPECT_EQ(img.GetBpp(), c.depth);
    if (c.depth == 8 && c.page.photometric != PHOTOMETRIC_PALETTE && c.page.bps != 2) {
        EXPECT_TRUE(img.IsGrayRamp());
    }
    if (img.IsIndexed()) {
        for (std::uint8_t v : img.Pixels())
            ASSERT_LT(v, img.GetPalette().size());
    }
    int bad = 0;
    for (std::uint32_t y = 0; y < c.page.h; ++y)
        for (std::uint32_t x = 0; x < c.page.w; ++x) {
            if (c.checked && !c.checked(x, y)) continue;
            const Rgb got = img.PixelColor(x, y), want = c.expect(x, y);
            const bool close = std::abs(got.r - want.r) <= c.tolerance &&
                               std::abs(got.g - want.g) <= c.tolerance &&
                               std::abs(got.b - want.b) <= c.tolerance;
            if (!close && ++bad <= 3)
                ADD_FAILURE() << "pixel " << x << "," << y << " got " << int(got.r) << ","
                              << int(got.g) << "," << int(got.b) << " want " << int(want.r) << ","
                              << int(want.g) << "," << int(want.b);
        }
    EXPECT_EQ(bad, 0);
}

INSTANTIATE_TEST_SUITE_P(TiffGenerated, TiffDecode, ::testing::ValuesIn(tiffCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TiffDecodeMore, FirstPageOfMany) {
    const Bytes file = writeTiff({page(5, 4, 8, 1, PHOTOMETRIC_MINISBLACK, levels8),
                                  page(9, 9, 8, 3, PHOTOMETRIC_RGB, levels8)});
    Image img;
    std::string err;
    ASSERT_TRUE(codecs::decodeTiff(file, img, err)) << err;
    EXPECT_EQ(img.GetWidth(), 5u);
    EXPECT_EQ(img.GetHeight(), 4u);
    EXPECT_EQ(img.GetBpp(), 8);
    EXPECT_EQ(img.PixelColor(3, 2), grayRgb(levels8(3, 2, 0)));
}

TEST(TiffDecodeMore, ResolutionInInchesAndCentimetres) {
    struct Res {
        std::uint16_t unit;
        float x, y;
        std::uint32_t dpiX, dpiY;
    };
    for (const Res& r : {Res{RESUNIT_INCH, 300, 150, 300, 150},
                         Res{RESUNIT_CENTIMETER, 118.11f, 47.244f, 300, 120},
                         Res{RESUNIT_NONE, 300, 300, 96, 96}}) {
        TiffPage p = page(4, 4, 8, 1, PHOTOMETRIC_MINISBLACK, levels8);
        p.resUnit = r.unit;
        p.xRes = r.x;
        p.yRes = r.y;
        Image img;
        std::string err;
        ASSERT_TRUE(codecs::decodeTiff(writeTiff(p), img, err)) << err;
        EXPECT_EQ(img.GetXDpi(), r.dpiX) << "unit " << r.unit;
        EXPECT_EQ(img.GetYDpi(), r.dpiY) << "unit " << r.unit;
    }
}

TEST(TiffDecodeMore, BottomUpOrientationIsTurnedUpright) {
    for (std::uint16_t photometric : {PHOTOMETRIC_MINISBLACK, PHOTOMETRIC_RGB}) {
        TiffPage p = page(6, 5, 8, photometric == PHOTOMETRIC_RGB ? 3 : 1, photometric, levels8);
        p.orientation = ORIENTATION_BOTLEFT;
        Image img;
        std::string err;
        ASSERT_TRUE(codecs::decodeTiff(writeTiff(p), img, err)) << err;
        // The file's first row is the bottom of the picture.
        for (std::uint32_t x = 0; x < 6; ++x)
            EXPECT_EQ(img.PixelColor(x, 4).r, levels8(x, 0, 0)) << photometric;
    }
}

// A classic little-endian TIFF with one 8-bit gray strip of w*h bytes, written by hand so the
// header may claim any size.
Bytes handmadeTiff(std::uint32_t w, std::uint32_t h, std::uint32_t stripBytes) {
    Bytes b = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto u16 = [&](std::uint16_t v) {
        b.push_back(static_cast<std::uint8_t>(v));
        b.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    auto u32 = [&](std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v));
        u16(static_cast<std::uint16_t>(v >> 16));
    };
    const std::uint16_t entries = 9;
    const std::uint32_t dataAt = 8 + 2 + entries * 12 + 4;
    auto entry = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t value) {
        u16(tag);
        u16(type);
        u32(1);
        if (type == TIFF_SHORT) {
            u16(static_cast<std::uint16_t>(value));
            u16(0);
        } else {
            u32(value);
        }
    };
    u16(entries);
    entry(TIFFTAG_IMAGEWIDTH, TIFF_LONG, w);
    entry(TIFFTAG_IMAGELENGTH, TIFF_LONG, h);
    entry(TIFFTAG_BITSPERSAMPLE, TIFF_SHORT, 8);
    entry(TIFFTAG_COMPRESSION, TIFF_SHORT, COMPRESSION_NONE);
    entry(TIFFTAG_PHOTOMETRIC, TIFF_SHORT, PHOTOMETRIC_MINISBLACK);
    entry(TIFFTAG_STRIPOFFSETS, TIFF_LONG, dataAt);
    entry(TIFFTAG_SAMPLESPERPIXEL, TIFF_SHORT, 1);
    entry(TIFFTAG_ROWSPERSTRIP, TIFF_LONG, h);
    entry(TIFFTAG_STRIPBYTECOUNTS, TIFF_LONG, stripBytes);
    u32(0);
    for (std::uint32_t i = 0; i < stripBytes; ++i)
        b.push_back(static_cast<std::uint8_t>(i * 9));
    return b;
}

TEST(TiffRefuse, HandmadeHeaderIsValidWhenSmall) {
    Image img;
    std::string err;
    ASSERT_TRUE(codecs::decodeTiff(handmadeTiff(4, 2, 8), img, err)) << err;
    EXPECT_EQ(img.GetWidth(), 4u);
    EXPECT_EQ(img.PixelColor(1, 1), grayRgb(5 * 9));
}

TEST(TiffRefuse, LyingSizesRefusedAtOnce) {
    for (const auto& [w, h] : {std::pair<std::uint32_t, std::uint32_t>{100000, 100000},
                               {30001, 1},
                               {1, 30001},
                               {20000, 20001},
                               {0, 5}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        test::expectRefusedAtOnce(codecs::decodeTiff, handmadeTiff(w, h, 16),
                                  w != 0 ? "too large" : "");
    }
}

// Stripped files are cut by the codec contract over the seeds; tiles and fax are not among them.
TEST(TiffRefuse, EveryTruncationFails) {
    TiffPage tiled = page(20, 18, 4, 1, PHOTOMETRIC_PALETTE, levels4);
    tiled.tile = 16;
    TiffPage fax = page(40, 12, 1, 1, PHOTOMETRIC_MINISWHITE, checker);
    fax.compression = COMPRESSION_CCITTFAX4;
    for (const TiffPage& p : {tiled, fax}) {
        const Bytes file = writeTiff(p);
        Image full;
        std::string err;
        ASSERT_TRUE(codecs::decodeTiff(file, full, err)) << err;
        testing::internal::CaptureStderr();
        for (std::size_t n = 0; n < file.size(); ++n) {
            Image img;
            EXPECT_FALSE(codecs::decodeTiff(std::span(file.data(), n), img, err))
                << "prefix " << n << " of " << file.size();
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
}

// Noise behind a TIFF header and other formats are the codec contract's; these are TIFF's own.
std::vector<Bytes> garbageInputs(const Bytes& valid) {
    std::mt19937 rng(1234);
    std::vector<Bytes> out;
    out.push_back({'M', 'M', 0, 42, 0xFF, 0xFF, 0xFF, 0xF0}); // directory far past the end
    out.push_back({'I', 'I', 43, 0, 8, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0});
    // The valid file with its strip data scrambled and then with its directory scrambled.
    Bytes data = valid;
    for (std::size_t i = 8; i < data.size() / 2; ++i)
        data[i] = static_cast<std::uint8_t>(rng());
    out.push_back(data);
    Bytes dir = valid;
    for (std::size_t i = dir.size() / 2; i < dir.size(); ++i)
        dir[i] = static_cast<std::uint8_t>(rng());
    out.push_back(dir);
    return out;
}

TEST(TiffRefuse, GarbageFailsSilently) {
    TiffPage p = page(30, 30, 8, 3, PHOTOMETRIC_RGB, levels8);
    p.compression = COMPRESSION_LZW;
    const auto inputs = garbageInputs(writeTiff(p));
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        Image img;
        std::string err;
        testing::internal::CaptureStderr();
        const bool ok = codecs::decodeTiff(inputs[i], img, err);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "input " << i;
        // Scrambled LZW data may still decode to some picture; everything else must fail.
        if (i != 2) {
            EXPECT_FALSE(ok) << "input " << i;
            EXPECT_FALSE(err.empty());
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The shared corpus.

struct CorpusExpect {
    const char* path;
    std::uint32_t w, h; // ImageWidth / ImageLength in the header
    std::uint16_t depth;
};

TEST(TiffCorpus, SizesAndDepthsFromHeaders) {
    FOLIO_REQUIRE_CORPUS();
    const CorpusExpect table[] = {
        {"tiff/im_input_16.tiff", 70, 46, 4},         // 4-bit palette
        {"tiff/im_input_256.tiff", 70, 46, 8},        // 8-bit palette
        {"tiff/im_input_gray_4bit.tiff", 70, 46, 4},  // 4-bit min-is-black
        {"tiff/im_input_gray_16bit.tiff", 70, 46, 8}, // 16-bit gray
        {"tiff/im_input_gray_8bit_matte.tiff", 70, 46, 8},
        {"tiff/im_input_mono.tiff", 70, 46, 1}, // G4, min-is-white
        {"tiff/im_input_truecolor.tiff", 70, 46, 24},
        {"tiff/im_input_truecolor_tiled32x32.tiff", 70, 46, 24},
        {"tiff/irs_fax4.tiff", 460, 307, 1},
        {"tiff/pil_tiff_tiled_planar_lzw.tiff", 278, 374, 24},
        {"tif/pil_hopper.tif", 128, 128, 24},
        {"tif/pil_hopper_bigtiff.tif", 128, 128, 24},
        {"tif/pil_hopper2.tif", 128, 128, 8},   // 2-bit gray
        {"tif/pil_hopper4IR.tif", 128, 128, 4}, // 4-bit min-is-white
        {"tif/pil_hopper_gray_4bpp.tif", 128, 128, 4},
        {"tif/pil_hopper_g4.tif", 128, 128, 1},
        {"tif/pil_hopper_jpg.tif", 128, 128, 24},
        {"tif/pil_12bit.cropped.tif", 100, 100, 8},
        {"tif/pil_16bit.cropped.tif", 64, 64, 8},
        {"tif/pil_tiff_strip_cmyk_jpeg.tif", 100, 100, 24},
        {"tif/pil_tiff_tiled_ycbcr_jpeg_2x2_sampling.tif", 480, 360, 24},
        {"tif/pil_g4-fillorder-test.tif", 218, 84, 1},
        {"tif/pil_old-style-jpeg-compression.tif", 4160, 870, 24},
        {"tif/pil_lab.tif", 10, 10, 24},
        {"tif/irs_cmyk_u8_edge_case.tif", 1, 1, 24},
        {"tiff/irs_rgb32f_color.tiff", 32, 32, 24},    // float RGB
        {"tiff/pil_10ct_32bit_128.tiff", 128, 128, 8}, // float gray
        {"tiff/pil_tiff_16bit_RGBa.tiff", 100, 40, 24},
        {"tiff/pil_copyleft.tiff", 220, 220, 24},
        {"tiff/pil_tiff_wrong_bits_per_sample.tiff", 52, 53, 24},
    };
    for (const CorpusExpect& e : table) {
        const Image img = test::corpusImage(e.path, codecs::decodeTiff);
        EXPECT_EQ(img.GetWidth(), e.w) << e.path;
        EXPECT_EQ(img.GetHeight(), e.h) << e.path;
        EXPECT_EQ(img.GetBpp(), e.depth) << e.path;
    }
}

TEST(TiffCorpus, SamePictureInDifferentLayoutsDecodesEqually) {
    FOLIO_REQUIRE_CORPUS();
    const std::pair<const char*, const char*> pairs[] = {
        {"tif/pil_hopper.tif", "tif/pil_hopper_bigtiff.tif"},
        {"tif/pil_hopper.tif", "tif/pil_hopper_lzw.tif"},
        {"tiff/im_input_truecolor.tiff", "tiff/im_input_truecolor_tiled32x32.tiff"},
        {"tiff/im_input_256.tiff", "tiff/im_input_256_planar_separate.tiff"},
    };
    for (const auto& [a, b] : pairs) {
        const Image ia = test::corpusImage(a, codecs::decodeTiff),
                    ib = test::corpusImage(b, codecs::decodeTiff);
        ASSERT_EQ(ia.GetWidth(), ib.GetWidth()) << b;
        ASSERT_EQ(ia.GetHeight(), ib.GetHeight()) << b;
        bool same = true;
        for (std::uint32_t y = 0; y < ia.GetHeight() && same; ++y)
            for (std::uint32_t x = 0; x < ia.GetWidth() && same; ++x)
                same = ia.PixelColor(x, y) == ib.PixelColor(x, y);
        EXPECT_TRUE(same) << a << " vs " << b;
    }
}

TEST(TiffCorpus, UncompressedPixelsMatchTheFileBytes) {
    FOLIO_REQUIRE_CORPUS();
    // pil_hopper.tif: little-endian, uncompressed RGB, 21 rows per strip; the first strip's
    // offset is the first StripOffsets value, read here straight from the directory.
    const Bytes data = test::readFile((test::corpusDir() / "tif/pil_hopper.tif").string());
    ASSERT_GT(data.size(), 8u);
    auto u16 = [&](std::size_t at) { return data.at(at) | (data.at(at + 1) << 8); };
    auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(u16(at) | (u16(at + 2) << 16));
    };
    const std::uint32_t ifd = u32(4);
    std::uint32_t firstStrip = 0;
    for (int i = 0; i < u16(ifd); ++i) {
        const std::size_t e = ifd + 2 + 12 * i;
        if (u16(e) != TIFFTAG_STRIPOFFSETS) continue;
        const std::uint32_t v = u32(e + 8);
        firstStrip = u32(e + 4) == 1 ? v : (u16(e + 2) == TIFF_SHORT ? u16(v) : u32(v));
    }
    ASSERT_NE(firstStrip, 0u);
    const Image img = test::corpusImage("tif/pil_hopper.tif", codecs::decodeTiff);
    ASSERT_EQ(img.GetBpp(), 24);
    for (std::uint32_t y = 0; y < 21; ++y)
        for (std::uint32_t x = 0; x < 128; x += 7) {
            const std::size_t at = firstStrip + (y * 128 + x) * 3;
            EXPECT_EQ(img.PixelColor(x, y), (Rgb{data[at], data[at + 1], data[at + 2]}))
                << x << "," << y;
        }
    EXPECT_EQ(img.GetXDpi(), 96u); // XResolution 96/1, inches
}

TEST(TiffCorpus, OptionalCodecsDecodeWhenPresent) {
    FOLIO_REQUIRE_CORPUS();
    const std::pair<const char*, std::uint16_t> files[] = {
        {"tif/pil_hopper_lzma.tif", COMPRESSION_LZMA},
        {"tif/pil_hopper_webp.tif", COMPRESSION_WEBP}};
    for (const auto& [rel, codec] : files) {
        Image img;
        std::string err;
        const bool ok =
            codecs::decodeTiff(test::readFile((test::corpusDir() / rel).string()), img, err);
        EXPECT_EQ(ok, TIFFIsCODECConfigured(codec) != 0) << rel << ": " << err;
        if (ok) {
            EXPECT_EQ(img.GetWidth(), 128u);
            EXPECT_EQ(img.GetBpp(), 24);
        }
    }
}

TEST(TiffCorpus, ResolutionFromHeaders) {
    FOLIO_REQUIRE_CORPUS();
    // 72 pixels per centimetre; 300 per inch.
    EXPECT_EQ(test::corpusImage("tiff/irs_fax4.tiff", codecs::decodeTiff).GetXDpi(), 183u);
    const Image ojpeg =
        test::corpusImage("tif/pil_old-style-jpeg-compression.tif", codecs::decodeTiff);
    EXPECT_EQ(ojpeg.GetXDpi(), 300u);
    EXPECT_EQ(ojpeg.GetYDpi(), 300u);
}

// The reference picture Pillow compares this CMYK JPEG-in-TIFF against is stored beside it in the
// corpus as an RGB JPEG: red letters on black. Inverted or swapped inks would not match.
TEST(TiffCorpus, CmykJpegMatchesRgbReference) {
    FOLIO_REQUIRE_CORPUS();
    const auto refPath = test::corpusDir() / "jpg/pil_pil_sample_rgb.jpg";
    if (!std::filesystem::exists(refPath)) GTEST_SKIP() << "reference not in corpus";
    const Bytes jpeg = test::readFile(refPath.string());
    jpeg_decompress_struct d{};
    jpeg_error_mgr jerr{};
    d.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    ASSERT_EQ(jpeg_read_header(&d, TRUE), JPEG_HEADER_OK);
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    const std::uint32_t w = d.output_width, h = d.output_height;
    Bytes ref(std::size_t{w} * h * 3);
    while (d.output_scanline < h) {
        JSAMPROW row = &ref[std::size_t{d.output_scanline} * w * 3];
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);

    const Image img = test::corpusImage("tif/pil_tiff_strip_cmyk_jpeg.tif", codecs::decodeTiff);
    ASSERT_EQ(img.GetWidth(), w);
    ASSERT_EQ(img.GetHeight(), h);
    auto bright = [](int r) { return r > 128; };
    std::size_t agree = 0;
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            const Rgb c = img.PixelColor(x, y);
            const std::uint8_t* r = &ref[(std::size_t{y} * w + x) * 3];
            agree += bright(c.r) == bright(r[0]) && bright(c.g) == bright(r[1]) &&
                     bright(c.b) == bright(r[2]);
        }
    EXPECT_GT(agree, std::size_t{w} * h * 95 / 100);
}

TEST(TiffCorpus, MultipageUsesFirstPageColourMap) {
    FOLIO_REQUIRE_CORPUS();
    // First page: 10x10, 1-bit palette whose map is {(0, 0x8080, 0), (0, 0, 0)} and all pixels 0.
    const Image img = test::corpusImage("tiff/pil_multipage.tiff", codecs::decodeTiff);
    ASSERT_EQ(img.GetWidth(), 10u);
    ASSERT_EQ(img.GetHeight(), 10u);
    EXPECT_EQ(img.GetBpp(), 8);
    for (std::uint32_t y = 0; y < 10; ++y)
        for (std::uint32_t x = 0; x < 10; ++x)
            EXPECT_EQ(img.PixelColor(x, y), (Rgb{0, 128, 0}));
}

TEST(TiffCorpus, HostileFilesFail) {
    FOLIO_REQUIRE_CORPUS();
    for (const char* rel : {"tif/pil_oom-225817ca0f8c663be7ab4b9e717b02c661e66834.tif",
                            "tif/pil_seek_too_large.tif"}) {
        Image img;
        std::string err;
        EXPECT_FALSE(
            codecs::decodeTiff(test::readFile((test::corpusDir() / rel).string()), img, err))
            << rel;
    }
}

} // namespace
} // namespace folio
