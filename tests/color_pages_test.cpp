// Colour pages found by content, measured on a labelled set of generated scans and real
// photos; make --auto-color takes the same verdict.
#include "book/format/book_check.h"
#include "book/image/Image.h"
#include "book/making/page_shape.h"
#include "cli/cli.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <sstream>

namespace folio {
namespace {

constexpr std::uint32_t kW = 1200, kH = 1600;

Image blank(Rgb paper, std::uint32_t w = kW, std::uint32_t h = kH) {
    Image page;
    EXPECT_TRUE(page.Create(w, h, 24));
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            std::uint8_t* p = page.Row(y) + 3 * x;
            p[0] = paper.r, p[1] = paper.g, p[2] = paper.b;
        }
    return page;
}

void fill(Image& page, std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h,
          Rgb c) {
    for (std::uint32_t y = y0; y < std::min(y0 + h, page.GetHeight()); ++y)
        for (std::uint32_t x = x0; x < std::min(x0 + w, page.GetWidth()); ++x) {
            std::uint8_t* p = page.Row(y) + 3 * x;
            p[0] = c.r, p[1] = c.g, p[2] = c.b;
        }
}

// Lines of word-like dark strokes over the page's text area.
void text(Image& page, Rgb ink, std::uint32_t margin = 100) {
    std::uint32_t seed = 7;
    auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    for (std::uint32_t y = margin; y + 30 < page.GetHeight() - margin; y += 44)
        for (std::uint32_t x = margin; x + 40 < page.GetWidth() - margin;) {
            const std::uint32_t word = 30 + next() % 90;
            for (std::uint32_t g = x; g < x + word; g += 9)
                fill(page, g, y + next() % 6, 4 + next() % 3, 20 + next() % 8, ink);
            x += word + 18;
        }
}

// A scanner's channels out of register: red and blue shifted against green, sideways or
// along the scan.
void misregister(Image& page, int red, int blue, bool along = false) {
    const Image source = page;
    const int w = static_cast<int>(page.GetWidth()), h = static_cast<int>(page.GetHeight());
    const auto from = [&](int x, int y, int d, int c) {
        const int sx = along ? x : std::clamp(x - d, 0, w - 1);
        const int sy = along ? std::clamp(y - d, 0, h - 1) : y;
        return source.Row(static_cast<std::uint32_t>(sy))[3 * sx + c];
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            page.Row(static_cast<std::uint32_t>(y))[3 * x] = from(x, y, red, 0);
            page.Row(static_cast<std::uint32_t>(y))[3 * x + 2] = from(x, y, blue, 2);
        }
}

// Sensor noise, independent in every channel.
void noise(Image& page, int amplitude) {
    std::uint32_t seed = 99;
    for (std::uint8_t& v : page.Pixels()) {
        seed = seed * 1664525u + 1013904223u;
        const int d = static_cast<int>((seed >> 24) % (2 * amplitude + 1)) - amplitude;
        v = static_cast<std::uint8_t>(std::clamp(v + d, 0, 255));
    }
}

// Stored as an RGB JPEG and decoded back as a page is.
Image viaJpeg(Image page, int quality) {
    page.SetJpegQuality(static_cast<std::uint8_t>(quality));
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(page.Encode(bytes, kFormatJpeg));
    Image back;
    EXPECT_TRUE(back.LoadMemoryForPage(bytes, kFormatJpeg, 640, false, false));
    return back;
}

// A figure of 2% of the page: a solid block, or a stamp's ring.
void figure(Image& page, Rgb c, bool ring) {
    const std::uint32_t side = static_cast<std::uint32_t>(std::sqrt(0.02 * kW * kH));
    const std::uint32_t x0 = kW - 100 - side, y0 = 120;
    if (!ring) return fill(page, x0, y0, side, side, c);
    // A ring 1.6 times the block's side across holds about the same area.
    const double r = side * 0.8, inner = r - side * 0.22;
    for (std::uint32_t y = y0; y < y0 + 2 * r; ++y)
        for (std::uint32_t x = x0 - 40; x < x0 - 40 + 2 * r; ++x) {
            const double d = std::hypot(x - (x0 - 40 + r), y - (y0 + r));
            if (d <= r && d >= inner) fill(page, x, y, 1, 1, c);
        }
}

Image gray(Image page) {
    EXPECT_TRUE(page.GrayScale());
    EXPECT_TRUE(page.IncreaseBpp24());
    return page;
}

Image corpusPicture(const char* folder, const char* name, bool asGray = false) {
    Image picture;
    const auto path = test::corpusDir() / folder / name;
    EXPECT_TRUE(picture.Load(path.string(), kFormatJpeg)) << path;
    if (picture.IsIndexed()) {
        EXPECT_TRUE(picture.IncreaseBpp24());
    }
    return asGray ? viaJpeg(gray(picture), 80) : picture;
}

constexpr Rgb kWhite{250, 250, 248}, kInk{25, 25, 28};
constexpr Rgb kYellowed{236, 224, 186}, kBluish{222, 230, 244};

struct Labelled {
    const char* name;
    bool color;
    std::function<Image()> make;
};

const std::vector<Labelled>& labelledSet() {
    static const std::vector<Labelled> set = {
        {"gray text scan in RGB, noise, JPEG 75", false,
         [] {
             Image p = blank(kWhite);
             text(p, kInk);
             noise(p, 8);
             return viaJpeg(p, 75);
         }},
        {"gray text, JPEG 30 (strong chroma artefacts)", false,
         [] {
             Image p = blank(kWhite);
             text(p, kInk);
             noise(p, 4);
             return viaJpeg(p, 30);
         }},
        {"yellowed paper with text", false,
         [] {
             Image p = blank(kYellowed);
             text(p, {60, 50, 35});
             noise(p, 6);
             return viaJpeg(p, 70);
         }},
        {"bluish scanner tint with text", false,
         [] {
             Image p = blank(kBluish);
             text(p, {30, 34, 44});
             return viaJpeg(p, 80);
         }},
        {"misregistered scan (3 px / 2 px fringes)", false,
         [] {
             Image p = blank(kWhite);
             text(p, kInk);
             misregister(p, 3, -2);
             return viaJpeg(p, 75);
         }},
        {"misregistered on yellowed paper, JPEG 50", false,
         [] {
             Image p = blank(kYellowed);
             text(p, kInk);
             misregister(p, -2, 3);
             noise(p, 6);
             return viaJpeg(p, 50);
         }},
        {"misregistered along the scan, noise", false,
         [] {
             Image p = blank(kWhite);
             text(p, kInk);
             misregister(p, -3, 2, true);
             noise(p, 6);
             return viaJpeg(p, 75);
         }},
        {"small misregistered scan (fringes wide at page size)", false,
         [] {
             Image p = blank(kWhite, 480, 640);
             text(p, kInk, 30);
             misregister(p, 2, -2);
             return viaJpeg(p, 75);
         }},
        {"gray photo saved as RGB", false,
         [] { return corpusPicture("jpg", "pil_flower.jpg", true); }},
        {"gray cat saved as RGB", false, [] { return corpusPicture("jpg", "irs_cat.jpg", true); }},
        {"text with a red logo of 2%", true,
         [] {
             Image p = blank(kWhite);
             text(p, kInk);
             figure(p, {200, 30, 40}, false);
             noise(p, 6);
             return viaJpeg(p, 75);
         }},
        {"text with a blue stamp ring of 2%", true,
         [] {
             Image p = blank(kWhite);
             text(p, kInk);
             figure(p, {40, 60, 190}, true);
             return viaJpeg(p, 60);
         }},
        {"yellowed paper with a green figure of 2%", true,
         [] {
             Image p = blank(kYellowed);
             text(p, {60, 50, 35});
             figure(p, {60, 150, 70}, false);
             return viaJpeg(p, 70);
         }},
        {"misregistered text with an orange figure of 2%", true,
         [] {
             Image p = blank(kWhite);
             text(p, kInk);
             figure(p, {235, 140, 40}, false);
             misregister(p, 3, -2);
             return viaJpeg(p, 75);
         }},
        {"colour photo: flower", true, [] { return corpusPicture("jpg", "pil_flower.jpg"); }},
        {"colour photo: cat", true, [] { return corpusPicture("jpg", "irs_cat.jpg"); }},
        {"colour photo: hopper", true, [] { return corpusPicture("jpg", "pil_hopper.jpg"); }},
        {"colour photo: sample", true,
         [] { return corpusPicture("jpg", "pil_pil_sample_rgb.jpg"); }},
    };
    return set;
}

TEST(ColorPages, LabelledSetWithoutMistakes) {
    FOLIO_REQUIRE_CORPUS();
    int right = 0;
    for (const Labelled& c : labelledSet()) {
        const bool verdict = isColorPicture(c.make());
        EXPECT_EQ(verdict, c.color) << c.name;
        right += verdict == c.color;
    }
    std::printf("colour finding: %d of %zu right\n", right, labelledSet().size());
}

TEST(ColorPages, PalettesAndGrayDepthsNeedNoLook) {
    Image ramp;
    ASSERT_TRUE(ramp.Create(50, 50, 8));
    ramp.SetGrayPalette();
    EXPECT_FALSE(isColorPicture(ramp));
    Image indexed;
    ASSERT_TRUE(indexed.Create(50, 50, 8));
    const Rgb palette[] = {{255, 255, 255}, {220, 20, 20}};
    indexed.SetPalette(palette);
    std::fill(indexed.Pixels().begin(), indexed.Pixels().end(), 1);
    EXPECT_TRUE(isColorPicture(indexed));
    EXPECT_FALSE(isColorPicture(Image()));
}

// make --auto-color writes a colour page exactly for the pictures found colour, whether they
// were given bare or after --color.
TEST(ColorPages, MakeTakesTheVerdict) {
    test::TempDir dir;
    const std::vector<Labelled>& set = labelledSet();
    std::vector<std::string> args = {"make", "-q", "--auto-color", "-o", dir.file("b")};
    std::vector<bool> want;
    for (std::size_t i : {0u, 4u, 10u, 11u}) {
        Image page = set[i].make();
        page.SetJpegQuality(95);
        std::vector<std::uint8_t> bytes;
        ASSERT_TRUE(page.Encode(bytes, kFormatJpeg));
        const std::string path = dir.file("p" + std::to_string(i) + ".jpg");
        test::writeFile(path, bytes);
        Image loaded;
        ASSERT_TRUE(loaded.LoadForPage(path, kFormatJpeg, 640, false, false));
        want.push_back(isColorPicture(loaded));
        if (i % 2) args.push_back("--color");
        args.push_back(path);
    }
    EXPECT_EQ(want, (std::vector<bool>{false, false, true, true}));
    std::ostringstream out, err;
    ASSERT_EQ(cli::run(args, out, err), 0) << err.str();
    const BookInfo info = checkBook(test::readFile(dir.file("b.QFB")));
    ASSERT_EQ(info.pages.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(info.pages[i].components, want[i] ? 3 : 1) << i;
}

} // namespace
} // namespace folio
