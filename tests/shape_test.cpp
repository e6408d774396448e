// Page shaping: the default book is what it always was; `page` writes the book's page bytes;
// cutting paper margins.
#include "book/format/book_check.h"
#include "book/image/Image.h"
#include "book/making/page_cache.h"
#include "book/making/page_shape.h"
#include "tests/pdf_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace folio {
namespace {

using test::Color;

using test::CliRun;
const auto run = test::runCli;

Color scene(std::uint32_t x, std::uint32_t y) {
    return {static_cast<std::uint8_t>(x * 3 + y), static_cast<std::uint8_t>((x ^ y) * 5),
            static_cast<std::uint8_t>(y * 2)};
}

std::string jpegOf(const test::TempDir& dir, const char* name, std::uint32_t w, std::uint32_t h,
                   Color (*pixel)(std::uint32_t, std::uint32_t)) {
    Image picture;
    EXPECT_TRUE(picture.LoadMemory(test::bmp24(w, h, pixel), kFormatBmp));
    return test::writeJpegFile(dir, name, std::move(picture), 90);
}

// A fixed set of pages: a portrait BMP marked gray and colour, a small picture to enlarge, a
// landscape JPEG reduced while it decodes, a palette picture.
std::vector<std::string> fixedPageSet(const test::TempDir& dir) {
    const std::string bmp = dir.file("portrait.bmp");
    test::writeFile(bmp, test::bmp24(1200, 1600, scene));
    const std::string small = dir.file("small.bmp");
    test::writeFile(small, test::bmp24(500, 400, scene));
    const std::string jpg = jpegOf(dir, "wide.jpg", 1800, 1200, scene);
    const std::string pal = dir.file("palette.bmp");
    test::writeFile(pal, test::bmp8(700, 900, {{250, 250, 240}, {10, 20, 200}, {200, 30, 30}},
                                    [](std::uint32_t x, std::uint32_t y) {
                                        return static_cast<std::uint8_t>((x / 50 + y / 70) % 3);
                                    }));
    return {bmp, "--color", bmp, small, "--color", jpg, jpg, "--color", pal, pal};
}

// Recorded before margins and colour finding came in: without their options a book's bytes
// must not change.
TEST(DefaultBook, BytesAreThoseRecordedBefore) {
    test::TempDir dir;
    std::vector<std::string> args = {"make", "-o", dir.file("book"), "--title", "T"};
    for (const std::string& a : fixedPageSet(dir))
        args.push_back(a);
    const CliRun made = run(args);
    ASSERT_EQ(made.code, 0) << made.err;
    const std::vector<std::uint8_t> book = test::readFile(dir.file("book.QFB"));
    const BookInfo info = checkBook(book);
    ASSERT_TRUE(info.sound()) << info.violation;
    ASSERT_EQ(info.pages.size(), 7u) << made.err;
    EXPECT_EQ(book.size(), 901191u);
    EXPECT_EQ(test::crc32(book), 3019878189u);
}

std::vector<std::uint8_t> bookPage(const std::string& book, std::size_t i) {
    const std::vector<std::uint8_t> bytes = test::readFile(book);
    const BookInfo info = checkBook(bytes);
    if (i >= info.pages.size()) return {};
    const auto& p = info.pages[i];
    return {bytes.begin() + static_cast<std::ptrdiff_t>(p.offset),
            bytes.begin() + static_cast<std::ptrdiff_t>(p.offset + p.size)};
}

// page writes the bytes make puts in the book, for gray and colour pages at two qualities,
// with margins cut, and for a page inside a book.
TEST(PageCommand, WritesTheBooksPageBytes) {
    test::TempDir dir;
    const std::string src = dir.file("scan.bmp");
    test::writeFile(src, test::bmp24(1200, 1600, [](std::uint32_t x, std::uint32_t y) {
                        const bool inside = x > 200 && x < 1000 && y > 300 && y < 1300;
                        return inside ? scene(x, y) : Color{250, 250, 250};
                    }));
    for (const char* q : {"30", "70"})
        for (const char* crop : {"", "--crop"}) {
            const std::string book = dir.file(std::string("b") + q + crop);
            std::vector<std::string> make = {
                "make", "-q", "-o",      book, "--gray-quality", q, "--color-quality",
                q,      src,  "--color", src};
            if (*crop) make.push_back(crop);
            ASSERT_EQ(run(make).code, 0);
            for (int colour = 0; colour < 2; ++colour) {
                const std::string out = dir.file("p.jpg");
                std::vector<std::string> page = {"page",        src,         "-o", out,
                                                 "--overwrite", "--quality", q};
                if (colour) page.push_back("--color");
                if (*crop) page.push_back(crop);
                const CliRun made = run(page);
                ASSERT_EQ(made.code, 0) << made.err;
                EXPECT_EQ(test::readFile(out),
                          bookPage(book + ".QFB", static_cast<std::size_t>(colour)))
                    << q << crop << colour;
            }
        }
    // A page inside a book is a source like a file; the default qualities are make's.
    const std::string old = dir.file("b30.QFB") + "/0002.jpg";
    ASSERT_EQ(run({"make", "-q", "-o", dir.file("again"), "--color", old}).code, 0);
    ASSERT_EQ(run({"page", old, "--color", "-o", dir.file("m.jpg")}).code, 0);
    EXPECT_EQ(test::readFile(dir.file("m.jpg")), bookPage(dir.file("again.QFB"), 0));
}

// A PDF page, rendered rather than decoded, takes the same options.
TEST(PageCommand, PdfPageWithMarginsAndColourFound) {
    test::TempDir dir;
    const std::string pdf = dir.file("doc.pdf");
    test::writeFile(
        pdf, test::pdfBytes({{595, 842, 0, 0, nullptr, {"One line of text", "and another"}}}));
    const std::string member = pdf + "/0001";
    ASSERT_EQ(
        run({"make", "-q", "--crop", "--auto-color", "-o", dir.file("b"), "--color", member}).code,
        0);
    const CliRun made = run({"page", member, "--crop", "-o", dir.file("p.jpg")});
    ASSERT_EQ(made.code, 0) << made.err;
    EXPECT_EQ(test::readFile(dir.file("p.jpg")), bookPage(dir.file("b.QFB"), 0));
    const BookInfo info = checkBook(test::readFile(dir.file("b.QFB")));
    ASSERT_EQ(info.pages.size(), 1u);
    EXPECT_EQ(info.pages[0].components, 1); // black text: gray, though given as colour
    EXPECT_GT(info.pages[0].width, 905u);   // the text's shape, wider than the A4 sheet's
}

TEST(PageCommand, UsageAndFailures) {
    test::TempDir dir;
    const std::string src = dir.file("a.bmp");
    test::writeFile(src, test::bmp24(40, 30, scene));
    const std::string out = dir.file("o.jpg");
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* says;
    };
    const Case cases[] = {
        {{"page", "-o", out}, 2, "no source picture"},
        {{"page", src}, 2, "no output file"},
        {{"page", src, src, "-o", out}, 2, "one source picture"},
        {{"page", src, "-o", out, "--quality", "101"}, 2, "quality from 0 to 100"},
        {{"page", src, "-o", out, "--gray"}, 2, "unknown option '--gray'"},
        {{"page", dir.file("notes.txt"), "-o", out}, 1, "not an image file name"},
        {{"page", dir.file("gone.bmp"), "-o", out}, 1, "gone.bmp: does not load"},
        {{"page", src, "-o", out}, 0, "853x640 gray page, quality 50"},
        {{"page", src, "-o", out}, 1, "exists; use --overwrite"},
        {{"page", src, "-o", dir.file("no/such/dir.jpg")}, 1, "cannot write"},
    };
    for (const Case& c : cases) {
        const CliRun r = run(c.args);
        EXPECT_EQ(r.code, c.code) << c.says << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    }
    EXPECT_NE(run({"page", "--help"}).out.find("--crop"), std::string::npos);
}

// Options off leave the cache key as it was, so kept pages stay valid; each option on
// makes pages of their own.
TEST(PageSettingsKey, OptionsJoinTheKeyOnlyWhenOn) {
    PageSettings plain;
    plain.gray = true;
    plain.quality = 50;
    EXPECT_EQ(plain.key(), "gray=1 quality=50 fast=0");
    PageSettings crop = plain, byContent = plain, byContent2 = plain;
    crop.crop = true;
    byContent.autoColor = byContent2.autoColor = true;
    byContent.colorQuality = 80;
    byContent2.colorQuality = 81;
    DiskPageCache cache("/nonexistent");
    const std::string hash(32, 'h');
    std::vector<std::string> files;
    for (const PageSettings& s : {plain, crop, byContent, byContent2})
        files.push_back(cache.fileFor(hash, s));
    std::sort(files.begin(), files.end());
    EXPECT_EQ(std::unique(files.begin(), files.end()), files.end());
}

// ---- margins

// A page of `paper` with lines of dark words in the given box.
Image scanPage(std::uint32_t w, std::uint32_t h, std::uint8_t paper, std::uint32_t x0,
               std::uint32_t y0, std::uint32_t x1, std::uint32_t y1) {
    Image page;
    EXPECT_TRUE(page.Create(w, h, 24));
    std::uint32_t seed = 5;
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const bool word = x >= x0 && x <= x1 && y >= y0 && y <= y1 && (y - y0) % 40 < 22 &&
                              (x - x0) % 70 < 58 && (x - x0) % 9 < 5;
            const int noise = static_cast<int>(seed >> 29) - 4;
            const int v = word ? 30 : paper + noise;
            std::uint8_t* p = page.Row(y) + 3 * x;
            p[0] = p[1] = p[2] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
        }
    return page;
}

Image jpegged(Image page, int quality = 60) {
    page.SetJpegQuality(static_cast<std::uint8_t>(quality));
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(page.Encode(bytes, kFormatJpeg));
    Image back;
    EXPECT_TRUE(back.LoadMemory(bytes, kFormatJpeg));
    return back;
}

TEST(Margins, WideBordersLeaveSmallMargins) {
    // Content 600 x 800 inside a 1200 x 1600 sheet: a margin of 1% of 800, about 8 pixels.
    for (std::uint8_t paper : {std::uint8_t{246}, std::uint8_t{12}}) {
        Image page = scanPage(1200, 1600, paper, 300, 400, 899, 1199);
        if (paper < 128) // light words on a black bed
            for (std::uint8_t& v : page.Pixels())
                if (v == 30) v = 230;
        const ContentBox box = contentBox(jpegged(page));
        EXPECT_NEAR(box.x, 300 - 8, 3) << int(paper);
        EXPECT_NEAR(box.y, 400 - 8, 3);
        EXPECT_NEAR(box.x + box.width, 900 + 8, 14); // the last word may end short of x1
        EXPECT_NEAR(box.y + box.height, 1200 + 8, 20);
    }
    // A black scanner bed round a white sheet: both go.
    Image bed = scanPage(1400, 1800, 246, 300, 400, 1099, 1399);
    for (std::uint32_t y = 0; y < 1800; ++y)
        for (std::uint32_t x = 0; x < 1400; ++x)
            if (x < 60 || x >= 1340 || y < 80 || y >= 1720) {
                std::uint8_t* p = bed.Row(y) + 3 * x;
                p[0] = p[1] = p[2] = 8;
            }
    const ContentBox inner = contentBox(jpegged(bed));
    EXPECT_NEAR(inner.x, 300 - 10, 4);
    EXPECT_NEAR(inner.y, 400 - 10, 4);
}

TEST(Margins, ContentAndBorderlessPagesStayWhole) {
    // A line of text 4 pixels from the top and words 6 from the left stay whole; the wide
    // margins on the other two sides go.
    const ContentBox edge = contentBox(jpegged(scanPage(800, 1000, 246, 6, 4, 700, 900)));
    EXPECT_EQ(edge.x, 0u);
    EXPECT_EQ(edge.y, 0u);
    EXPECT_LT(edge.width, 720u);
    EXPECT_LT(edge.height, 930u);

    struct Case {
        const char* name;
        Image page;
    };
    const Case cases[] = {
        // A page number alone is a speck, not content to fill the page with.
        {"nearly empty", scanPage(800, 1000, 246, 380, 940, 420, 960)},
        {"empty", scanPage(800, 1000, 246, 900, 1100, 900, 1100)},
        {"mid-gray surround", scanPage(800, 1000, 128, 300, 300, 500, 700)},
    };
    for (const Case& c : cases) {
        const Image page = jpegged(c.page);
        const ContentBox box = contentBox(page);
        EXPECT_EQ(box.x, 0u) << c.name;
        EXPECT_EQ(box.y, 0u) << c.name;
        EXPECT_EQ(box.width, page.GetWidth()) << c.name;
        EXPECT_EQ(box.height, page.GetHeight()) << c.name;
    }
}

// A photo to the edges is the same page, byte for byte, with margins cut or not.
TEST(Margins, FullBleedPhotoPageIsUnchanged) {
    test::TempDir dir;
    std::vector<std::string> photos = {jpegOf(dir, "photo.jpg", 1800, 1200, scene)};
    for (const auto& f : test::corpusFiles({"jpg"}))
        if (f.filename() == "pil_flower.jpg" || f.filename() == "irs_cat.jpg")
            photos.push_back(f.string());
    for (const std::string& photo : photos)
        for (const char* colour : {"--color", "--gray"}) {
            std::vector<std::string> plain = {"page", photo, "--overwrite", "-o",
                                              dir.file("a.jpg")};
            if (colour[2] == 'c') plain.push_back(colour);
            std::vector<std::string> cut = plain;
            cut[4] = dir.file("b.jpg");
            cut.push_back("--crop");
            ASSERT_EQ(run(plain).code, 0);
            ASSERT_EQ(run(cut).code, 0);
            EXPECT_EQ(test::readFile(dir.file("a.jpg")), test::readFile(dir.file("b.jpg")))
                << photo << colour;
        }
}

} // namespace
} // namespace folio
