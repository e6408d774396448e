#include "book/format/book_header.h"
#include "book/making/book_builder.h"
#include "book/making/page_cache.h"
#include "book/making/page_planner.h"
#include "tests/archive_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace folio {
namespace {

using test::Color;

// Pictures are drawn from one big plane, so a half or a slice of a picture can be written as
// a file of its own with the very same pixels.
std::uint32_t planeX = 0, planeY = 0;
Color plane(std::uint32_t x, std::uint32_t y) {
    x += planeX;
    y += planeY;
    return {static_cast<std::uint8_t>(x * 7 + y), static_cast<std::uint8_t>(y * 5),
            static_cast<std::uint8_t>((x ^ y) * 3)};
}

std::string writePlane(const test::TempDir& dir, const std::string& name, std::uint32_t x0,
                       std::uint32_t y0, std::uint32_t w, std::uint32_t h) {
    planeX = x0;
    planeY = y0;
    const std::string path = dir.file(name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    test::writeFile(path, test::bmp24(w, h, plane));
    return path;
}

struct NullPlatform : BookPlatform {
    bool fileExists(const std::string& name) override { return std::filesystem::exists(name); }
    bool askOverwrite(const std::string&) override { return true; }
    void reportSuccess(const std::string&, const MakeReport&) override {}
    void reportFailure(const MakeReport&) override {}
};
struct NamesProgress : ProgressDisplay {
    std::vector<std::string> shown;
    void StartProgress() override {}
    void ShowCurrentPage(const std::string& path, int, int) override { shown.push_back(path); }
    void HideProgress() override {}
    void DestroyProgress() override {}
};

std::vector<BookEntry> entriesOf(const std::vector<std::string>& paths) {
    std::vector<BookEntry> entries;
    for (const std::string& p : paths)
        entries.push_back({resolvePage(p), true, static_cast<int>(entries.size())});
    return entries;
}

// The book made as the request says, with every page's progress name in `shown`.
MakeReport makeWith(const std::vector<BookEntry>& entries, const BookRequest& request,
                    std::vector<std::string>* shown = nullptr) {
    NullPlatform platform;
    NamesProgress progress;
    const MakeReport report = makeBook(entries, request, platform, progress);
    if (shown) *shown = progress.shown;
    return report;
}

// The book's page bytes after its header, made from the paths with the options.
std::vector<std::uint8_t> bookPages(const test::TempDir& dir, const std::vector<std::string>& paths,
                                    const PageOptions& options, int* pages = nullptr,
                                    std::vector<std::string>* shown = nullptr,
                                    PageCache* cache = nullptr) {
    BookRequest request;
    request.cache = cache;
    request.fileName = dir.file("book");
    request.options = options;
    request.jobs = 2;
    const MakeReport report = makeWith(entriesOf(paths), request, shown);
    EXPECT_TRUE(report.written) << report.error;
    if (pages) *pages = report.pagesWritten;
    const std::vector<std::uint8_t> book = test::readFile(dir.file("book.QFB"));
    std::filesystem::remove(dir.file("book.QFB"));
    if (book.size() < BookHeader::kSize) return {};
    return {book.begin() + BookHeader::kSize, book.end()};
}

std::vector<std::uint8_t> pageOf(const std::string& path, const PageOptions& options = {}) {
    const MadePage made = makePage({resolvePage(path), true, options}, nullptr, nullptr);
    EXPECT_TRUE(made.ok) << made.reason;
    return made.ok ? *made.jpeg : std::vector<std::uint8_t>{};
}

std::vector<std::uint8_t> joined(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(SplitSpreads, HalvesInReadingOrderAndOthersWhole) {
    struct Case {
        std::uint32_t w, h;
        bool rtl;
        bool split;
    };
    const Case cases[] = {
        {400, 200, false, true}, {400, 200, true, true},   {401, 200, false, true},
        {401, 200, true, true},  {220, 200, false, false}, {240, 200, false, false},
        {241, 200, true, true},  {200, 400, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + (c.rtl ? " rtl" : ""));
        test::TempDir dir;
        const std::string whole = writePlane(dir, "spread.bmp", 0, 0, c.w, c.h);
        PageOptions options;
        options.splitSpreads = true;
        options.rightToLeft = c.rtl;
        int pages = 0;
        std::vector<std::string> shown;
        const auto book = bookPages(dir, {whole}, options, &pages, &shown);
        if (!c.split) {
            EXPECT_EQ(pages, 1);
            EXPECT_EQ(book, pageOf(whole));
            EXPECT_EQ(book, bookPages(dir, {whole}, {}));
            continue;
        }
        const auto left = pageOf(writePlane(dir, "l/left.bmp", 0, 0, c.w / 2, c.h));
        const auto right = pageOf(writePlane(dir, "r/right.bmp", c.w / 2, 0, c.w - c.w / 2, c.h));
        EXPECT_EQ(pages, 2);
        EXPECT_EQ(book, c.rtl ? joined({right, left}) : joined({left, right}));
        EXPECT_EQ(shown, (std::vector<std::string>{whole + " (1/2)", whole + " (2/2)"}));
    }
}

TEST(SplitSpreads, VolumesCountTheHalves) {
    test::TempDir dir;
    std::vector<std::string> paths;
    for (int i = 0; i < 3; ++i)
        paths.push_back(writePlane(dir, "s" + std::to_string(i) + ".bmp", 0, 0, 300, 100));
    BookRequest request;
    request.fileName = dir.file("vol");
    request.options.splitSpreads = true;
    request.maxPages = 4;
    std::vector<std::string> shown;
    const MakeReport report = makeWith(entriesOf(paths), request, &shown);
    ASSERT_TRUE(report.written) << report.error;
    EXPECT_EQ(report.pagesWritten, 6);
    ASSERT_EQ(report.volumes.size(), 2u);
    EXPECT_EQ(report.volumes[0].pages + report.volumes[1].pages, 6);
    EXPECT_EQ(shown.size(), 6u);
}

TEST(SplitSpreads, CachedHalvesAreTheirOwnPages) {
    test::TempDir dir;
    const std::string spread = writePlane(dir, "spread.bmp", 0, 0, 400, 200);
    const std::string square = writePlane(dir, "square.bmp", 0, 0, 200, 200);
    PageOptions options;
    options.splitSpreads = true;
    const auto fresh = bookPages(dir, {spread, square}, options);
    MemoryPageCache memory;
    DiskPageCache disk(dir.file("cache"));
    std::string why;
    ASSERT_TRUE(disk.open(why)) << why;
    for (PageCache* cache : std::initializer_list<PageCache*>{&memory, &disk}) {
        EXPECT_EQ(bookPages(dir, {spread, square}, options, nullptr, nullptr, cache), fresh);
        EXPECT_EQ(bookPages(dir, {spread, square}, options, nullptr, nullptr, cache), fresh);
        // The whole spread, kept before the halves, is not taken for either of them.
        EXPECT_NE(bookPages(dir, {spread, square}, {}, nullptr, nullptr, cache), fresh);
        EXPECT_EQ(bookPages(dir, {spread, square}, options, nullptr, nullptr, cache), fresh);
    }
    EXPECT_GE(disk.hits(), 6u);
}

TEST(SplitSpreads, ContainerSaysRightToLeft) {
    test::TempDir dir;
    const std::string whole = writePlane(dir, "spread.bmp", 0, 0, 300, 200);
    const auto left = pageOf(writePlane(dir, "l/left.bmp", 0, 0, 150, 200));
    const auto right = pageOf(writePlane(dir, "r/right.bmp", 150, 0, 150, 200));
    const std::string info = "<ComicInfo><Manga>YesAndRightToLeft</Manga></ComicInfo>";
    for (bool manga : {false, true}) {
        const std::string cbz = dir.file(manga ? "manga.cbz" : "comic.cbz");
        test::writeArchive(
            cbz, test::ArchiveKind::Zip,
            {{"ComicInfo.xml", manga ? std::vector<std::uint8_t>(info.begin(), info.end())
                                     : std::vector<std::uint8_t>{'<', 'a', '/', '>'}},
             {"01.bmp", test::readFile(whole)}});
        PageOptions options;
        options.splitSpreads = true;
        EXPECT_EQ(bookPages(dir, {cbz + "/01.bmp"}, options),
                  manga ? joined({right, left}) : joined({left, right}))
            << manga;
    }
}

TEST(SplitSpreads, MarginsCutOnTheWholeSpreadFirst) {
    // Content 2:1 inside a white border thicker on the left: halved after the cut, both halves
    // are equal in size, so they keep one scale.
    test::TempDir dir;
    const std::string path = dir.file("bordered.bmp");
    test::writeFile(path, test::bmp24(700, 260, [](std::uint32_t x, std::uint32_t y) -> Color {
                        if (x < 150 || x >= 650 || y < 5 || y >= 255) return {255, 255, 255};
                        return plane(x, y);
                    }));
    PageOptions options;
    options.splitSpreads = true;
    options.crop = true;
    SourceReader sources;
    const auto planned = planPages(entriesOf({path}), options, sources);
    ASSERT_EQ(planned.size(), 2u);
    std::vector<test::JpegFacts> facts;
    for (const PlannedPage& p : planned) {
        const MadePage made = makePage({p.entry.page, true, options, p.part}, &sources, nullptr);
        ASSERT_TRUE(made.ok) << made.reason;
        facts.push_back(test::readJpegFacts(*made.jpeg));
    }
    EXPECT_EQ(facts[0].width, facts[1].width);
    EXPECT_EQ(facts[0].height, facts[1].height);
}

TEST(SplitSpreads, PageCommandWritesEveryHalfAsTheBookHasIt) {
    test::TempDir dir;
    const std::string whole = writePlane(dir, "spread.bmp", 0, 0, 500, 300);
    PageOptions options;
    options.splitSpreads = true;
    const auto book = bookPages(dir, {whole}, options);
    const auto r =
        test::runCli({"page", whole, "-o", dir.file("out.jpg"), "--split-spreads", "--rtl"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto one = test::readFile(dir.file("out-1.jpg"));
    const auto two = test::readFile(dir.file("out-2.jpg"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.jpg")));
    EXPECT_EQ(joined({two, one}), book);
    // Not a spread: OUT itself.
    const std::string square = writePlane(dir, "square.bmp", 0, 0, 300, 300);
    ASSERT_EQ(test::runCli({"page", square, "-o", dir.file("sq.jpg"), "--split-spreads"}).code, 0);
    EXPECT_EQ(test::readFile(dir.file("sq.jpg")), pageOf(square));
}

// A strip 300 wide (pieces of at most 400 rows): panels of content between white gutters.
struct StripLayout {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> panels; // first row, rows
    std::uint32_t height = 0;
};
StripLayout stripLayout;
Color stripPixel(std::uint32_t x, std::uint32_t y) {
    for (const auto& [first, rows] : stripLayout.panels)
        if (y >= first && y < first + rows) return plane(x, y);
    return {255, 255, 255};
}
// Writes the strip as slices of the given height (the last one shorter) and as one picture.
std::vector<std::string> writeStrip(const test::TempDir& dir, const std::string& folder,
                                    std::uint32_t sliceRows) {
    std::vector<std::string> paths;
    for (std::uint32_t y = 0; y < stripLayout.height; y += sliceRows) {
        const std::uint32_t rows = std::min(sliceRows, stripLayout.height - y);
        static std::uint32_t offset;
        offset = y;
        const std::string path = dir.file(folder + "/" + std::to_string(100000 + y) + ".bmp");
        std::filesystem::create_directories(dir.file(folder));
        test::writeFile(path, test::bmp24(300, rows, [](std::uint32_t x, std::uint32_t r) {
                            return stripPixel(x, r + offset);
                        }));
        paths.push_back(path);
    }
    return paths;
}

// The rows of the strip each planned piece shows, in strip coordinates.
std::vector<std::pair<std::uint64_t, std::uint64_t>>
pieceRows(const std::vector<PlannedPage>& planned, const std::vector<std::string>& paths,
          std::uint32_t sliceRows) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> rows;
    for (const PlannedPage& p : planned) {
        EXPECT_EQ(p.part.kind, PagePart::Kind::StripPiece);
        if (p.part.rows.empty()) continue;
        const auto at = std::find(paths.begin(), paths.end(), p.part.slices[0].path);
        const std::uint64_t first =
            static_cast<std::uint64_t>(at - paths.begin()) * sliceRows + p.part.rows[0].firstRow;
        std::uint64_t count = 0;
        for (const SliceRows& r : p.part.rows)
            count += r.rows;
        rows.emplace_back(first, count);
    }
    return rows;
}

TEST(Strips, CutOnlyInGuttersAndJoinedSlicesMakeTheWholeStripsPages) {
    stripLayout = {};
    for (std::uint32_t y = 10; y + 180 < 2400; y += 200)
        stripLayout.panels.emplace_back(y, 180); // 20-row gutters
    stripLayout.height = 2400;
    for (std::uint32_t sliceRows : {2400u, 700u, 128u}) {
        SCOPED_TRACE(sliceRows);
        test::TempDir dir;
        const auto paths = writeStrip(dir, "ep", sliceRows);
        PageOptions options;
        options.strips = true;
        SourceReader sources;
        const auto planned = planPages(entriesOf(paths), options, sources, 2);
        const auto rows = pieceRows(planned, paths, sliceRows);
        ASSERT_GE(rows.size(), 6u);
        std::uint64_t covered = 0;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const auto [first, count] = rows[i];
            EXPECT_LE(count, 400u);
            EXPECT_LE(first, covered) << "rows lost before piece " << i;
            covered = std::max(covered, first + count);
            // Every cut lies in a gutter: the row a piece starts at is blank.
            if (i > 0) {
                EXPECT_EQ(stripPixel(0, static_cast<std::uint32_t>(first)).g, 255) << i;
            }
        }
        EXPECT_EQ(covered, 2400u);
        // No panel is cut: each lies whole in a piece.
        for (const auto& [top, panelRows] : stripLayout.panels)
            EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [&](const auto& piece) {
                return piece.first <= top && top + panelRows <= piece.first + piece.second;
            })) << top;
        static std::vector<std::uint8_t> wholeBook;
        const auto book = bookPages(dir, paths, options);
        if (sliceRows == 2400) {
            wholeBook = book;
        } else {
            EXPECT_EQ(book, wholeBook);
        }
    }
}

// The book takes the slices its planning decoded, shared by two workers; each piece made on
// its own decodes its slices afresh. Slices of colour and gray entries are joined differently.
TEST(Strips, PiecesFromSlicesDecodedOnceAreThePiecesMadeAlone) {
    stripLayout = {};
    for (std::uint32_t y = 10; y + 180 < 1600; y += 200)
        stripLayout.panels.emplace_back(y, 180);
    stripLayout.panels.emplace_back(1620, 700); // no gutter: pieces overlap
    stripLayout.height = 2400;
    for (const auto& [sliceRows, colorEvery] :
         std::vector<std::pair<std::uint32_t, std::size_t>>{{700, 0}, {128, 0}, {128, 3}}) {
        SCOPED_TRACE(testing::Message() << sliceRows << " " << colorEvery);
        test::TempDir dir;
        std::vector<BookEntry> entries = entriesOf(writeStrip(dir, "ep", sliceRows));
        for (std::size_t i = 0; colorEvery && i < entries.size(); i += colorEvery)
            entries[i].gray = false;
        BookRequest request;
        request.fileName = dir.file("book");
        request.options.strips = true;
        request.jobs = 2;
        ASSERT_TRUE(makeWith(entries, request).written);
        const std::vector<std::uint8_t> book = test::readFile(dir.file("book.QFB"));
        SourceReader sources;
        std::vector<std::uint8_t> alone(book.begin(), book.begin() + BookHeader::kSize);
        for (const PlannedPage& p : planPages(entries, request.options, sources)) {
            const MadePage made =
                makePage({p.entry.page, p.entry.gray, request.options, p.part}, nullptr, nullptr);
            ASSERT_TRUE(made.ok) << made.reason;
            alone.insert(alone.end(), made.jpeg->begin(), made.jpeg->end());
        }
        EXPECT_EQ(book, alone);
    }
}

TEST(Strips, MakeAndConvertTakeTheOptions) {
    stripLayout = {};
    for (std::uint32_t y = 10; y + 180 < 1200; y += 200)
        stripLayout.panels.emplace_back(y, 180);
    stripLayout.height = 1200;
    test::TempDir dir;
    const auto paths = writeStrip(dir, "ep", 500);
    const std::string spread = writePlane(dir, "wide/spread.bmp", 0, 0, 600, 200);
    PageOptions strips;
    strips.strips = true;
    const auto expected = bookPages(dir, paths, strips);
    const auto tail = [](const std::vector<std::uint8_t>& book) {
        return book.size() < BookHeader::kSize
                   ? std::vector<std::uint8_t>{}
                   : std::vector<std::uint8_t>(book.begin() + BookHeader::kSize, book.end());
    };
    auto r = test::runCli({"convert", "-q", "-d", dir.file("out"), "--strips", dir.file("ep")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(tail(test::readFile(dir.file("out/ep.QFB"))), expected);

    PageOptions halves;
    halves.splitSpreads = true;
    halves.rightToLeft = true;
    r = test::runCli({"make", "-q", "-o", dir.file("m"), "--split-spreads", "--rtl", spread});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(tail(test::readFile(dir.file("m.QFB"))), bookPages(dir, {spread}, halves));
}

TEST(Strips, GutterlessPanelCoveredWithOverlaps) {
    // One gradient panel 2.5 pieces tall, no blank row anywhere.
    stripLayout = {{{0, 1000}}, 1000};
    test::TempDir dir;
    const auto paths = writeStrip(dir, "ep", 250);
    PageOptions options;
    options.strips = true;
    SourceReader sources;
    const auto rows = pieceRows(planPages(entriesOf(paths), options, sources), paths, 250);
    ASSERT_GE(rows.size(), 3u);
    std::uint64_t covered = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_LE(rows[i].second, 400u);
        if (i > 0) {
            EXPECT_LT(rows[i].first, covered) << "piece " << i << " does not overlap";
        }
        covered = std::max(covered, rows[i].first + rows[i].second);
    }
    EXPECT_EQ(covered, 1000u);
    int pages = 0;
    bookPages(dir, paths, options, &pages);
    EXPECT_EQ(pages, static_cast<int>(rows.size()));
}

TEST(Strips, OtherFoldersWidthsAndSmallPicturesStayApart) {
    test::TempDir dir;
    const std::string a = writePlane(dir, "a/1.bmp", 0, 0, 300, 300);
    const std::string b = writePlane(dir, "b/1.bmp", 0, 0, 300, 300);
    const std::string c = writePlane(dir, "b/2.bmp", 0, 0, 200, 200);
    PageOptions options;
    options.strips = true;
    // Each is a run of its own no taller than a piece: the book is the plain one.
    EXPECT_EQ(bookPages(dir, {a, b, c}, options), bookPages(dir, {a, b, c}, {}));
}

TEST(Strips, BadShapesGiveBoundedPagesOrReasons) {
    test::TempDir dir;
    struct Case {
        std::uint32_t w, h;
        bool spread, strip;
    };
    const Case cases[] = {
        {1, 5000, false, true}, {2, 1, true, false}, {2, 1, true, true},
        {3, 1, true, false},    {1, 1, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        const std::string path = writePlane(dir, "odd.bmp", 0, 0, c.w, c.h);
        PageOptions options;
        options.splitSpreads = c.spread;
        options.strips = c.strip;
        BookRequest request;
        request.fileName = dir.file("odd");
        request.options = options;
        const MakeReport report = makeWith(entriesOf({path}), request);
        EXPECT_LE(report.pagesWritten, 2);
        for (const auto& s : report.skipped)
            EXPECT_FALSE(s.reason.empty());
    }
    // Many one-row slices: one strip, a handful of pages.
    std::vector<std::string> paths;
    for (int i = 0; i < 600; ++i)
        paths.push_back(writePlane(dir, "thin/" + std::to_string(1000 + i) + ".bmp", 0,
                                   static_cast<std::uint32_t>(i), 40, 1));
    PageOptions options;
    options.strips = true;
    int pages = 0;
    bookPages(dir, paths, options, &pages);
    EXPECT_GE(pages, 11);
    EXPECT_LE(pages, 14);
}

TEST(PageSettingsKey, PartNamedOnlyWhenNotWhole) {
    PageOptions options;
    EXPECT_EQ(pageSettings(options, true).key(), pageSettings(options, true, "").key());
    PagePart half;
    half.kind = PagePart::Kind::RightHalf;
    half.rect = {100, 0, 100, 80};
    EXPECT_EQ(half.key(), "right:100,0,100,80");
    EXPECT_NE(pageSettings(options, true, half.key()).key(), pageSettings(options, true).key());
    EXPECT_EQ(PagePart{}.key(), "");
}

} // namespace
} // namespace folio
