// Photos stored turned or mirrored (JPEG with an EXIF Orientation, TIFF with its Orientation
// tag) come out upright from the probe, the loader and the page loader alike.
#include "book/making/book_builder.h"
#include "book/image/Image.h"
#include "book/image/image_type.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>
#include <tiffio.h>

namespace folio {
namespace {

using test::ByteWriter;
using Bytes = std::vector<std::uint8_t>;

// Upright test picture: four flat areas of different sizes and colours, so that each of the
// eight turns and mirrors puts a different colour in each corner.
constexpr std::uint32_t kW = 48, kH = 32;
Rgb upright(std::uint32_t x, std::uint32_t y) {
    const bool left = x < 16, top = y < 8;
    if (top) return left ? Rgb{220, 30, 30} : Rgb{30, 200, 40};
    return left ? Rgb{40, 40, 210} : Rgb{230, 220, 60};
}

// The picture as a camera held `o` stores it: rows of `w` x `h` RGB bytes, the upright
// picture taken through the inverse of what the orientation asks a viewer to do.
struct Stored {
    std::uint32_t w = 0, h = 0;
    Bytes rgb;
};
Stored storedFor(int o) {
    const bool turned = o >= 5;
    Stored s{turned ? kH : kW, turned ? kW : kH, {}};
    s.rgb.resize(std::size_t{s.w} * s.h * 3);
    for (std::uint32_t y = 0; y < s.h; ++y)
        for (std::uint32_t x = 0; x < s.w; ++x) {
            // Stored row 0 and column 0 are, by the EXIF definition of the value:
            // 2 top/right, 3 bottom/right, 4 bottom/left, 5 left/top, 6 right/top,
            // 7 right/bottom, 8 left/bottom.
            std::uint32_t ux = x, uy = y;
            switch (o) {
            case 2:
                ux = kW - 1 - x;
                break;
            case 3:
                ux = kW - 1 - x, uy = kH - 1 - y;
                break;
            case 4:
                uy = kH - 1 - y;
                break;
            case 5:
                ux = y, uy = x;
                break;
            case 6:
                ux = kW - 1 - y, uy = x;
                break;
            case 7:
                ux = kW - 1 - y, uy = kH - 1 - x;
                break;
            case 8:
                ux = y, uy = kH - 1 - x;
                break;
            default:
                break;
            }
            const Rgb c = upright(ux, uy);
            std::uint8_t* p = &s.rgb[(std::size_t{y} * s.w + x) * 3];
            p[0] = c.r, p[1] = c.g, p[2] = c.b;
        }
    return s;
}

// An APP1 EXIF block holding only IFD0's Orientation, in either byte order.
Bytes exifBlock(int orientation, bool bigEndian) {
    Bytes b;
    ByteWriter w(b);
    w.text(std::string_view("Exif\0\0", 6));
    auto u16 = [&](std::uint32_t v) { bigEndian ? w.u16be(v) : w.u16le(v); };
    auto u32 = [&](std::uint32_t v) { bigEndian ? w.u32be(v) : w.u32le(v); };
    w.text(bigEndian ? "MM" : "II");
    u16(42);
    u32(8);
    u16(1);      // one entry
    u16(0x0112); // Orientation
    u16(3);      // SHORT
    u32(1);
    u16(static_cast<std::uint32_t>(orientation));
    u16(0);
    u32(0); // no next IFD
    return b;
}

Bytes jpegWith(const Stored& s, const Bytes& app1) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buf, &size);
    c.image_width = s.w;
    c.image_height = s.h;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 95, TRUE);
    jpeg_start_compress(&c, TRUE);
    if (!app1.empty())
        jpeg_write_marker(&c, JPEG_APP0 + 1, app1.data(), static_cast<unsigned>(app1.size()));
    for (std::uint32_t y = 0; y < s.h; ++y) {
        JSAMPROW row = const_cast<JSAMPROW>(&s.rgb[std::size_t{y} * s.w * 3]);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes out(buf, buf + size);
    std::free(buf);
    return out;
}

// RGB pages go through our own unpacking, CMYK ones through libtiff's RGBA reader.
Bytes tiffWith(const Stored& s, int orientation, bool cmyk, const test::TempDir& dir) {
    const std::string path = dir.file("o.tif");
    TIFF* t = TIFFOpen(path.c_str(), "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, s.w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, s.h);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, cmyk ? 4 : 3);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, cmyk ? PHOTOMETRIC_SEPARATED : PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ORIENTATION, orientation);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, s.h);
    Bytes row(std::size_t{s.w} * (cmyk ? 4 : 3));
    for (std::uint32_t y = 0; y < s.h; ++y) {
        for (std::uint32_t x = 0; x < s.w; ++x) {
            const std::uint8_t* p = &s.rgb[(std::size_t{y} * s.w + x) * 3];
            if (cmyk) {
                for (int k = 0; k < 3; ++k)
                    row[x * 4 + k] = static_cast<std::uint8_t>(255 - p[k]);
                row[x * 4 + 3] = 0;
            } else {
                std::copy(p, p + 3, &row[x * 3]);
            }
        }
        TIFFWriteScanline(t, row.data(), y, 0);
    }
    TIFFClose(t);
    return test::readFile(path);
}

// Mean distance per channel from the upright picture scaled by `scale` (box average).
double distance(const Image& got, std::uint32_t scale) {
    double sum = 0;
    for (std::uint32_t y = 0; y < got.GetHeight(); ++y)
        for (std::uint32_t x = 0; x < got.GetWidth(); ++x) {
            unsigned r = 0, g = 0, b = 0;
            for (std::uint32_t dy = 0; dy < scale; ++dy)
                for (std::uint32_t dx = 0; dx < scale; ++dx) {
                    const Rgb c = upright(x * scale + dx, y * scale + dy);
                    r += c.r, g += c.g, b += c.b;
                }
            const unsigned n = scale * scale;
            const Rgb c = got.PixelColor(x, y);
            sum += std::abs(int(c.r) - int(r / n)) + std::abs(int(c.g) - int(g / n)) +
                   std::abs(int(c.b) - int(b / n));
        }
    return sum / (3.0 * got.GetWidth() * got.GetHeight());
}

// Probed and decoded at the upright size; the decoded picture's distance from the upright one.
double loadUpright(const Bytes& file, ImageType type, Image& img) {
    ImageFacts facts;
    std::string reason;
    EXPECT_TRUE(probeImageMemory(file, type, facts, reason)) << reason;
    EXPECT_EQ(facts.width, kW);
    EXPECT_EQ(facts.height, kH);
    EXPECT_TRUE(img.LoadMemory(file, type)) << img.GetLastError();
    if (img.GetWidth() != kW || img.GetHeight() != kH) {
        ADD_FAILURE() << "decoded as " << img.GetWidth() << "x" << img.GetHeight();
        return 1e9;
    }
    return distance(img, 1);
}

TEST(Orientation, EveryExifOrientationGivesTheUprightPhoto) {
    test::TempDir dir;
    for (int o = 1; o <= 8; ++o) {
        SCOPED_TRACE("orientation " + std::to_string(o));
        const Stored s = storedFor(o);
        const Bytes file = jpegWith(s, exifBlock(o, o % 2 == 0));
        Image whole;
        EXPECT_LT(loadUpright(file, kFormatJpeg, whole), 4.0);
        // Adding a file probes a JPEG from its head: the same upright size.
        const std::string path = dir.file("o.jpg");
        test::writeFile(path, file);
        ImageFacts head;
        std::string why;
        ASSERT_TRUE(probeImageFile(path, kFormatJpeg, head, why)) << why;
        EXPECT_EQ(head.width, kW);
        EXPECT_EQ(head.height, kH);

        // The page loader reduces while decoding (and with --fast in the DCT domain too):
        // the reduction is the upright picture's.
        Image page, fast;
        ASSERT_TRUE(page.LoadMemoryForPage(file, kFormatJpeg, kH / 2, false, false));
        ASSERT_EQ(page.GetWidth(), kW / 2);
        ASSERT_EQ(page.GetHeight(), kH / 2);
        EXPECT_LT(distance(page, 2), 4.0);
        ASSERT_TRUE(fast.LoadMemoryForPage(file, kFormatJpeg, kH / 4, false, true));
        ASSERT_EQ(fast.GetWidth(), kW / 4);
        ASSERT_EQ(fast.GetHeight(), kH / 4);
        EXPECT_LT(distance(fast, 4), 8.0);

        // Upright it is landscape: the book's portrait rule leaves it unturned.
        std::string reason;
        ASSERT_TRUE(preparePageImage(whole, false, reason)) << reason;
        EXPECT_EQ(whole.GetWidth(), kW * kPageHeight / kH);
    }
}

TEST(Orientation, UnknownOrDamagedExifLeavesThePhotoAsStored) {
    const Stored s = storedFor(1);
    Bytes badIfd = exifBlock(6, true);
    badIfd.resize(16); // the entry is cut off
    for (const Bytes& app1 : {Bytes{}, exifBlock(0, true), exifBlock(9, false), badIfd}) {
        const Bytes file = jpegWith(s, app1);
        Image img;
        ASSERT_TRUE(img.LoadMemory(file, kFormatJpeg)) << img.GetLastError();
        EXPECT_EQ(img.GetWidth(), kW);
        EXPECT_LT(distance(img, 1), 4.0);
    }
    // Orientation 1 changes nothing at all: the same pixels as without the block.
    Image plain, tagged;
    ASSERT_TRUE(plain.LoadMemory(jpegWith(s, {}), kFormatJpeg));
    ASSERT_TRUE(tagged.LoadMemory(jpegWith(s, exifBlock(1, false)), kFormatJpeg));
    EXPECT_EQ(plain.Pixels(), tagged.Pixels());
}

TEST(Orientation, EveryTiffOrientationGivesTheUprightPicture) {
    test::TempDir dir;
    for (const bool cmyk : {false, true})
        for (int o = 1; o <= 8; ++o) {
            SCOPED_TRACE((cmyk ? "CMYK orientation " : "RGB orientation ") + std::to_string(o));
            Image img;
            EXPECT_EQ(loadUpright(tiffWith(storedFor(o), o, cmyk, dir), kFormatTiff, img), 0.0);
        }
}

} // namespace
} // namespace folio
