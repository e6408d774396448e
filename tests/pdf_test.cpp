// PDFs as sources of pages: rendered so that, upright, a page is twice the book's height,
// then made like any picture; hostile PDFs refused with a reason, poppler kept quiet.
#include "book/pages/add_pages.h"
#include "book/sources/source.h"
#include "cli/cli.h"
#include "tests/pdf_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

namespace folio {
namespace {

test::Color scanPixel(std::uint32_t x, std::uint32_t y) {
    // Smooth shading with hard dark bars, as a scanned page has both.
    const bool bar = (y / 24) % 4 == 0 && x % 200 < 150;
    if (bar) return {20, 20, 30};
    return {static_cast<std::uint8_t>(120 + x / 8), static_cast<std::uint8_t>(90 + y / 6),
            static_cast<std::uint8_t>(200 - (x + y) / 16)};
}

int make(const std::vector<std::string>& args, std::string* err = nullptr) {
    std::ostringstream out, errors;
    std::vector<std::string> all = {"make", "--overwrite"};
    all.insert(all.end(), args.begin(), args.end());
    const int code = cli::run(all, out, errors);
    if (err) *err = errors.str();
    return code;
}

std::vector<test::JpegFacts> bookPages(const std::string& book) {
    std::vector<test::JpegFacts> pages;
    for (const std::string& page : listContainer(book).pages) {
        std::vector<std::uint8_t> jpeg;
        std::string why;
        EXPECT_TRUE(readSourceBytes(page, jpeg, why)) << why;
        pages.push_back(test::readJpegFacts(jpeg));
    }
    return pages;
}

TEST(PdfSource, ScannedPagesMakeTheBookTheScansMakeAsFiles) {
    test::TempDir dir;
    // One point a pixel, so each scan fills its page; each short side is 640, so the files
    // are not scaled while the rendered pages (1280 on the short side) are halved again.
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> scans = {
        {640, 960}, {1024, 640}, {640, 640}};
    std::vector<test::PdfPage> pages;
    std::vector<std::string> args = {"-o", dir.file("files.QFB")};
    for (std::size_t i = 0; i < scans.size(); ++i) {
        const auto [w, h] = scans[i];
        pages.push_back({double(w), double(h), w, h, scanPixel, {}});
        args.push_back("--color");
        args.push_back(dir.file("scan" + std::to_string(i) + ".bmp"));
        test::writeFile(args.back(), test::bmp24(w, h, scanPixel));
    }
    test::writeFile(dir.file("scans.pdf"), test::pdfBytes(pages));
    std::string err;
    ASSERT_EQ(make(args, &err), 0) << err;
    ASSERT_EQ(err, "");
    ASSERT_EQ(make({"-o", dir.file("pdf.QFB"), "--color", dir.file("scans.pdf")}), 0);

    const auto fromFiles = bookPages(dir.file("files.QFB"));
    const auto fromPdf = bookPages(dir.file("pdf.QFB"));
    ASSERT_EQ(fromPdf.size(), 3u);
    ASSERT_EQ(fromFiles.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& a = fromFiles[i];
        const auto& b = fromPdf[i];
        ASSERT_TRUE(a.ok && b.ok);
        EXPECT_EQ(b.width, a.width) << i;
        EXPECT_EQ(b.height, 640u) << i;
        ASSERT_EQ(b.pixels.size(), a.pixels.size()) << i;
        // Rendering doubles the scan and the page's area average halves it again: away from
        // the bars' edges that gives the scan back, at the edges a level or two of blur.
        // Both are then the same JPEG encoding of nearly the same pixels: the mean difference
        // is about 1.1 levels (poppler 22.12), so 2 leaves room for another poppler's
        // interpolation, while swapped channels or a misplaced or missing scan give tens.
        double sum = 0;
        for (std::size_t p = 0; p < a.pixels.size(); ++p)
            sum += std::abs(int(a.pixels[p]) - int(b.pixels[p]));
        EXPECT_LT(sum / double(a.pixels.size()), 2.0) << "page " << i;
    }
}

TEST(PdfSource, TextPagesRenderTo905x640InEveryJobCountAndTheirRowsSayTheRenderedSize) {
    test::TempDir dir;
    std::vector<test::PdfPage> a4;
    for (int i = 0; i < 4; ++i)
        a4.push_back({595.276,
                      841.89,
                      0,
                      0,
                      nullptr,
                      {"Chapter " + std::to_string(i + 1), "The quick brown fox jumps over",
                       "the lazy dog, page after page."}});
    const std::string pdf = dir.file("text.pdf");
    test::writeFile(pdf, test::pdfBytes(a4));
    ASSERT_EQ(make({"-o", dir.file("one.QFB"), "--jobs", "1", pdf}), 0);
    ASSERT_EQ(make({"-o", dir.file("two.QFB"), "--jobs", "2", pdf}), 0);
    EXPECT_EQ(test::readFile(dir.file("one.QFB")), test::readFile(dir.file("two.QFB")));
    const auto pages = bookPages(dir.file("two.QFB"));
    ASSERT_EQ(pages.size(), 4u);
    for (const auto& page : pages) {
        EXPECT_EQ(page.width, 905u);
        EXPECT_EQ(page.height, 640u);
        std::size_t dark = 0;
        for (std::uint8_t v : page.pixels)
            dark += v < 100;
        EXPECT_GT(dark, 2000u) << "the text and frame are missing";
    }

    PageList list;
    const std::vector<std::string> rows = listContainer(pdf).pages;
    ASSERT_EQ(rows.size(), 4u);
    DiskFileLookup lookup;
    EXPECT_TRUE(appendImageFiles(list, rows, lookup).empty());
    ASSERT_EQ(list.rowCount(), 4);
    EXPECT_EQ(list.cellText(3, kCellPath), pdf + "/0004");
    EXPECT_EQ(list.cellText(3, kCellFileName), "0004");
    EXPECT_EQ(list.cellText(3, kCellResolution), "1280x1810x24");
    EXPECT_EQ(list.cellText(3, kCellFileSize), fileSizeText(test::readFile(pdf).size() / 4));
}

TEST(PdfSource, PageNamesGiveTheirTypeOnlyForPagesOfAnExistingPdf) {
    test::TempDir dir;
    const std::string pdf = dir.file("two.pdf");
    test::writeFile(pdf,
                    test::pdfBytes({{100, 200, 0, 0, nullptr, {}}, {300, 100, 0, 0, nullptr, {}}}));
    const struct {
        std::string path;
        ImageType type;
    } cases[] = {
        {pdf + "/0001", kPdfPageType},
        {pdf + "/0003", kPdfPageType},
        {pdf + "/1", 0},
        {pdf + "/00001", 0},
        {pdf + "/0001.png", kFormatPng},
        {dir.file("none.pdf/0001"), 0},
        {dir.file("dir/0001"), 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pageTypeOfPath(c.path), c.type) << c.path;

    SourceReader reader;
    ImageFacts facts;
    std::uint64_t share = 0;
    std::string why;
    ASSERT_TRUE(reader.probeRendered(resolvePage(pdf + "/0002"), facts, share, why)) << why;
    EXPECT_EQ(resolutionText(facts.width, facts.height, facts.bpp), "3840x1280x24");
    Image page;
    ASSERT_TRUE(reader.render(resolvePage(pdf + "/0002"), page, why)) << why;
    EXPECT_EQ(page.GetWidth(), 3840u);
    EXPECT_EQ(page.GetHeight(), 1280u);
    EXPECT_FALSE(reader.render(resolvePage(pdf + "/0003"), page, why));
    EXPECT_EQ(why, "no such page in the PDF");
}

// Hostile PDFs and the limits: rows of the refused sources' table. A make names what it
// skips; a page that would render absurdly wide is refused before rendering.
TEST(PdfSource, SkippedFilesAndPagesAreNamed) {
    test::TempDir dir;
    test::writeFile(dir.file("locked.pdf"), test::lockedPdf());
    std::string err;
    EXPECT_EQ(make({"-o", dir.file("b.QFB"), dir.file("locked.pdf")}, &err), 0);
    EXPECT_NE(err.find("skipped " + dir.file("locked.pdf") + ": encrypted"), std::string::npos)
        << err;

    const std::string strip = dir.file("strip.pdf");
    test::writeFile(strip, test::pdfBytes({{10, 7000, 0, 0, nullptr, {}}}));
    PageList list;
    DiskFileLookup lookup;
    const auto skipped = appendImageFiles(list, listContainer(strip).pages, lookup);
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].path, strip + "/0001");
    EXPECT_EQ(skipped[0].reason, "does not load: page too large to render: 1280x896000 pixels");
}

} // namespace
} // namespace folio
