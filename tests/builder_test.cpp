#include "book/format/book_check.h"
#include "book/format/book_header.h"
#include "book/making/book_builder.h"
#include "book/making/volumes.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace folio {
namespace {

using test::Color;

Color gradient(std::uint32_t x, std::uint32_t y) {
    return {static_cast<std::uint8_t>(x * 7), static_cast<std::uint8_t>(y * 5),
            static_cast<std::uint8_t>((x + y) * 3)};
}

// Records what the builder asks of the platform, answering the overwrite question as told.
struct FakePlatform : BookPlatform {
    bool answerYes = true;
    std::vector<std::string> calls;
    MakeReport lastReport;
    bool fileExists(const std::string& name) override {
        calls.push_back("exists");
        return std::filesystem::exists(name);
    }
    bool askOverwrite(const std::string& question) override {
        calls.push_back("ask:" + question);
        return answerYes;
    }
    void reportSuccess(const std::string& message, const MakeReport& r) override {
        calls.push_back("success:" + message);
        lastReport = r;
    }
    void reportFailure(const MakeReport& r) override {
        calls.push_back("failure");
        lastReport = r;
    }
};

struct FakeProgress : ProgressDisplay {
    std::vector<std::string>& calls;
    explicit FakeProgress(std::vector<std::string>& c) : calls(c) {}
    void StartProgress() override { calls.push_back("start"); }
    void ShowCurrentPage(const std::string& path, int, int) override {
        calls.push_back("show:" + std::filesystem::path(path).filename().string());
    }
    void HideProgress() override { calls.push_back("hide"); }
    void DestroyProgress() override { calls.push_back("destroy"); }
};

class Builder : public ::testing::Test {
  protected:
    void addRow(const std::string& path, const char* gray = "Yes") {
        const int r = pages.rowCount();
        pages.insertRow(r, std::filesystem::path(path).filename().string());
        pages.setCellText(r, kCellPath, path);
        pages.setCellText(r, kCellGrayFlag, gray);
    }
    std::string page24(const std::string& name, std::uint32_t w, std::uint32_t h) {
        const std::string path = dir.file(name);
        test::writeFile(path, test::bmp24(w, h, gradient));
        return path;
    }
    MakeReport make(int jobs = 1) {
        request.fileName = dir.file("book");
        request.jobs = jobs;
        FakeProgress progress(platform.calls);
        return makeBook(bookEntries(pages), request, platform, progress);
    }
    std::vector<std::uint8_t> bookBytes() { return test::readFile(dir.file("book.QFB")); }

    test::TempDir dir;
    PageList pages;
    BookRequest request;
    FakePlatform platform;
};

TEST(BookFileName, Table) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "noname.QFB"},       {"Book", "Book.QFB"},
        {"Book.qfb", "Book.qfb"}, {"Book.QFB.txt", "Book.QFB.txt.QFB"},
        {"a", "a.QFB"},           {".qfb", ".qfb"},
        {"x.QfB", "x.QfB"},       {"QFB", "QFB.QFB"},
        {"dir/b", "dir/b.QFB"}};
    for (const auto& [in, out] : cases)
        EXPECT_EQ(bookFileName(in), out) << in;
}

struct GeometryCase {
    std::uint32_t w, h, outW, outH;
};

class PageGeometry : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(PageGeometry, TurnedAndScaledTo640High) {
    const auto c = GetParam();
    test::TempDir dir;
    const std::string path = dir.file("p.bmp");
    test::writeFile(path, test::bmp24(c.w, c.h, gradient));
    for (bool gray : {true, false}) {
        Image image;
        ASSERT_TRUE(image.Load(path, kFormatBmp)) << image.GetLastError();
        std::vector<std::uint8_t> jpeg;
        std::string reason;
        ASSERT_TRUE(encodePage(image, gray, 75, jpeg, reason)) << reason;
        const auto facts = test::readJpegFacts(jpeg);
        ASSERT_TRUE(facts.ok);
        EXPECT_EQ(facts.width, c.outW);
        EXPECT_EQ(facts.height, c.outH);
        EXPECT_EQ(facts.components, gray ? 1 : 3);
        EXPECT_EQ(facts.lumaTable, test::ijgLumaTable(75));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, PageGeometry,
    ::testing::Values(GeometryCase{1800, 1200, 960, 640}, GeometryCase{1200, 1600, 853, 640},
                      GeometryCase{1000, 1000, 640, 640}, GeometryCase{500, 400, 800, 640},
                      GeometryCase{900, 640, 900, 640}, GeometryCase{1, 1, 640, 640},
                      GeometryCase{3000, 100, 19200, 640}));

TEST(EncodePage, APageTooWideToScaleIsRefusedNotWrittenUnscaled) {
    test::TempDir dir;
    const std::string path = dir.file("strip.bmp");
    test::writeFile(path, test::bmp24(3000, 2, gradient));
    Image image;
    ASSERT_TRUE(image.Load(path, kFormatBmp));
    std::vector<std::uint8_t> jpeg;
    std::string reason;
    EXPECT_FALSE(encodePage(image, true, 50, jpeg, reason));
    EXPECT_NE(reason.find("scale"), std::string::npos) << reason;
}

TEST(EncodePage, RotationIsCounterClockwise) {
    // A portrait page with a red top edge: after the turn the red edge is on the left.
    test::TempDir dir;
    const std::string path = dir.file("p.bmp");
    test::writeFile(path, test::bmp24(640, 960, [](std::uint32_t, std::uint32_t y) {
                        return y < 100 ? Color{255, 0, 0} : Color{0, 0, 255};
                    }));
    Image image;
    ASSERT_TRUE(image.Load(path, kFormatBmp));
    std::vector<std::uint8_t> jpeg;
    std::string reason;
    ASSERT_TRUE(encodePage(image, false, 90, jpeg, reason));
    EXPECT_EQ(image.GetWidth(), 960u);
    EXPECT_EQ(image.GetHeight(), 640u);
    const Rgb left = image.PixelColor(10, 320), right = image.PixelColor(950, 320);
    EXPECT_GT(left.r, 200);
    EXPECT_LT(left.b, 50);
    EXPECT_GT(right.b, 200);
}

TEST(EncodePage, QualityZeroEncodesAsOne) {
    test::TempDir dir;
    const std::string path = dir.file("p.bmp");
    test::writeFile(path, test::bmp24(64, 64, gradient));
    std::vector<std::uint8_t> zero, one;
    std::string reason;
    for (auto [q, out] : {std::pair{0, &zero}, std::pair{1, &one}}) {
        Image image;
        ASSERT_TRUE(image.Load(path, kFormatBmp));
        ASSERT_TRUE(encodePage(image, true, q, *out, reason)) << reason;
    }
    EXPECT_EQ(zero, one);
    EXPECT_EQ(test::readJpegFacts(one).lumaTable, test::ijgLumaTable(1));
}

TEST(EncodePage, ColourPaletteImageIsWrittenInTrueColour) {
    test::TempDir dir;
    const std::string path = dir.file("p.bmp");
    const std::vector<Color> palette{{255, 0, 0}, {0, 128, 0}, {0, 0, 255}, {250, 250, 0}};
    test::writeFile(path, test::bmp8(100, 80, palette, [](std::uint32_t x, std::uint32_t y) {
                        return static_cast<std::uint8_t>((x / 25 + y / 20) % 4);
                    }));
    for (bool gray : {false, true}) {
        Image image;
        ASSERT_TRUE(image.Load(path, kFormatBmp));
        ASSERT_EQ(image.GetBpp(), 8);
        std::vector<std::uint8_t> jpeg;
        std::string reason;
        ASSERT_TRUE(encodePage(image, gray, 80, jpeg, reason)) << reason;
        EXPECT_EQ(test::readJpegFacts(jpeg).components, gray ? 1 : 3);
    }
}

TEST_F(Builder, EmptyListMakesAHeaderOnlyBook) {
    request.title = "abc";
    const auto report = make();
    EXPECT_TRUE(report.written);
    const auto bytes = bookBytes();
    ASSERT_EQ(bytes.size(), 4216u);
    BookHeader expected;
    expected.setTitle("abc");
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), expected.serialize().begin()));
    EXPECT_EQ(platform.calls,
              (std::vector<std::string>{"exists", "start", "hide",
                                        std::string("success:") + kSuccessMessage, "destroy"}));
}

TEST_F(Builder, RowsInOrderWithUnusableRowsSkippedAndReported) {
    addRow(page24("a.bmp", 1800, 1200));
    addRow(dir.file("readme"));
    addRow(dir.file("notes.txt"));
    const std::string text = dir.file("fake.jpg");
    test::writeFile(text, "this is not an image");
    addRow(text);
    addRow(dir.file("gone.bmp"));
    addRow(page24("b.bmp", 1200, 1600), "No");
    request.options.grayQuality = 30;
    request.options.colorQuality = 90;
    const auto report = make();
    ASSERT_TRUE(report.written);
    EXPECT_EQ(report.pagesWritten, 2);
    ASSERT_EQ(report.skipped.size(), 4u);
    EXPECT_EQ(report.skipped[0].row, 1);
    EXPECT_EQ(report.skipped[1].row, 2);
    EXPECT_EQ(report.skipped[2].row, 3);
    EXPECT_EQ(report.skipped[3].row, 4);
    // Rows without an image type are never shown; rows that fail to load are.
    EXPECT_EQ(platform.calls,
              (std::vector<std::string>{"exists", "start", "show:a.bmp", "show:fake.jpg",
                                        "show:gone.bmp", "show:b.bmp", "hide",
                                        std::string("success:") + kSuccessMessage, "destroy"}));

    const auto bytes = bookBytes();
    const BookInfo info = checkBook(bytes);
    ASSERT_TRUE(info.sound()) << info.violation;
    ASSERT_EQ(info.pageCount, 2u);
    EXPECT_EQ(info.pages[0].offset, 4216u);
    EXPECT_EQ(info.pages[0].width, 960u);
    EXPECT_EQ(info.pages[0].components, 1);
    EXPECT_EQ(info.pages[1].offset, 4216u + info.pages[0].size);
    EXPECT_EQ(info.pages[1].width, 853u);
    EXPECT_EQ(info.pages[1].components, 3);
    EXPECT_EQ(bytes.size(), 4216u + info.pages[0].size + info.pages[1].size);
    const std::vector<std::uint8_t> first(bytes.begin() + 4216,
                                          bytes.begin() + 4216 + info.pages[0].size);
    const std::vector<std::uint8_t> second(bytes.begin() + 4216 + info.pages[0].size, bytes.end());
    EXPECT_EQ(test::readJpegFacts(first).lumaTable, test::ijgLumaTable(30));
    EXPECT_EQ(test::readJpegFacts(second).lumaTable, test::ijgLumaTable(90));
}

TEST_F(Builder, SameBookForAnyNumberOfJobs) {
    for (int i = 0; i < 7; ++i)
        addRow(page24("p" + std::to_string(i) + ".bmp", 300 + 37 * i, 500 - 20 * i),
               i % 2 ? "No" : "Yes");
    addRow(dir.file("missing.bmp"));
    ASSERT_TRUE(make(1).written);
    const auto one = bookBytes();
    request.fileName = dir.file("book");
    for (int jobs : {2, 3, 8}) {
        platform.calls.clear();
        ASSERT_TRUE(make(jobs).written);
        EXPECT_EQ(bookBytes(), one) << jobs << " jobs";
    }
}

TEST_F(Builder, DecliningToOverwriteLeavesTheFileAlone) {
    test::writeFile(dir.file("book.QFB"), "precious");
    addRow(page24("a.bmp", 50, 40));
    platform.answerYes = false;
    const auto report = make();
    EXPECT_TRUE(report.declined);
    EXPECT_FALSE(report.written);
    EXPECT_EQ(test::readFile(dir.file("book.QFB")),
              std::vector<std::uint8_t>({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    EXPECT_EQ(platform.calls,
              (std::vector<std::string>{"exists", std::string("ask:") + kOverwriteQuestion}));
    platform.answerYes = true;
    platform.calls.clear();
    EXPECT_TRUE(make().written);
    EXPECT_EQ(checkBook(bookBytes()).pageCount, 1u);
}

TEST_F(Builder, FailedWriteKeepsTheEarlierBookAndSaysWhy) {
    // The target is a directory: the rename fails after every page is ready.
    std::filesystem::create_directory(dir.file("book.QFB"));
    test::writeFile(dir.file("book.QFB/inside"), "keep");
    addRow(page24("a.bmp", 50, 40));
    const auto report = make();
    EXPECT_FALSE(report.written);
    EXPECT_NE(report.error.find("book.QFB"), std::string::npos) << report.error;
    EXPECT_EQ(platform.calls.back(), "failure");
    EXPECT_EQ(std::count(platform.calls.begin(), platform.calls.end(), "destroy"), 1);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("book.QFB")));
    // No temporary file is left behind.
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        entries += e.path().filename().string().find(".part") != std::string::npos;
    EXPECT_EQ(entries, 0);
}

TEST_F(Builder, MissingDirectoryFailsBeforeAnyProgress) {
    request.fileName = dir.file("no/such/dir/book");
    FakeProgress progress(platform.calls);
    const auto report = makeBook(bookEntries(pages), request, platform, progress);
    EXPECT_FALSE(report.written);
    EXPECT_EQ(platform.calls, (std::vector<std::string>{"exists", "failure"}));
    EXPECT_NE(report.error.find("No such file"), std::string::npos) << report.error;
}

// Volume sizes from the breaks, for the table below.
std::vector<std::size_t> volumeSizes(std::size_t pages, std::size_t limit,
                                     const std::vector<std::size_t>& starts = {}) {
    std::vector<bool> flags(pages);
    for (std::size_t i : starts)
        flags[i] = true;
    std::vector<std::size_t> sizes;
    std::size_t first = 0;
    for (std::size_t b : volumeBreaks(pages, limit, flags))
        sizes.push_back(b - first), first = b;
    sizes.push_back(pages - first);
    return sizes;
}

TEST(Volumes, BalancedAndMovedToSourcesWithinATenth) {
    using V = std::vector<std::size_t>;
    EXPECT_EQ(volumeSizes(1000, 1000), V{1000});
    EXPECT_EQ(volumeSizes(1001, 1000), (V{501, 500}));
    EXPECT_EQ(volumeSizes(2350, 1000), (V{783, 784, 783}));
    EXPECT_EQ(volumeSizes(2350, 400), (V{392, 391, 392, 392, 391, 392}));
    EXPECT_EQ(volumeSizes(10, 4), (V{3, 4, 3}));
    EXPECT_EQ(volumeSizes(7, 1), (V{1, 1, 1, 1, 1, 1, 1}));
    // A chapter starting within a tenth of a volume (78 pages) takes the break; one further
    // away does not; the nearest of two wins.
    EXPECT_EQ(volumeSizes(2350, 1000, {760, 1400}), (V{760, 807, 783}));
    EXPECT_EQ(volumeSizes(2350, 1000, {700}), (V{783, 784, 783}));
    EXPECT_EQ(volumeSizes(2350, 1000, {770, 790}), (V{790, 777, 783}));
    // Never past the limit, even for a source start that would ask for it.
    EXPECT_EQ(volumeSizes(2000, 1000, {1010}), (V{1000, 1000}));
    for (std::size_t pages : {1001u, 1999u, 2001u, 5000u})
        for (std::size_t size : volumeSizes(pages, 1000, {pages / 3, pages / 2}))
            EXPECT_LE(size, 1000u);
}

TEST(Volumes, NamesAndTitles) {
    EXPECT_EQ(volumeFileName("dir/x.QFB", 2, 3), "dir/x-2.QFB");
    EXPECT_EQ(volumeFileName("x.qfb", 3, 12), "x-03.qfb");
    EXPECT_EQ(volumeTitleCp936("T", 1, 3), "T (1/3)");
    EXPECT_EQ(volumeTitleCp936("", 2, 2), "(2/2)");
    // The suffix stays whole; the title is cut before it, never inside a character.
    const std::string title = std::string(91, 'a') + "\xD6\xD0";
    EXPECT_EQ(volumeTitleCp936(title, 10, 12), std::string(91, 'a') + " (10/12)");
}

TEST_F(Builder, MorePagesThanABookHoldsBecomeVolumesOfTheSamePages) {
    for (int i = 0; i < 10; ++i)
        addRow(page24("p" + std::to_string(i) + ".bmp", 8 + i, 8));
    request.title = "T";
    ASSERT_TRUE(make(2).written);
    const BookInfo whole = checkBook(bookBytes());
    std::filesystem::rename(dir.file("book.QFB"), dir.file("whole.QFB"));

    request.maxPages = 4;
    const MakeReport report = make(2);
    ASSERT_TRUE(report.written);
    EXPECT_EQ(report.pagesWritten, 10);
    ASSERT_EQ(report.volumes.size(), 3u);
    EXPECT_FALSE(std::filesystem::exists(dir.file("book.QFB")));
    const auto wholeBytes = test::readFile(dir.file("whole.QFB"));
    std::size_t page = 0;
    for (int v = 1; v <= 3; ++v) {
        const std::string name = dir.file("book-" + std::to_string(v) + ".QFB");
        EXPECT_EQ(report.volumes[v - 1].name, name);
        const auto bytes = test::readFile(name);
        const BookInfo info = checkBook(bytes);
        ASSERT_TRUE(info.sound()) << info.violation;
        EXPECT_EQ(info.title, "T (" + std::to_string(v) + "/3)");
        EXPECT_EQ(static_cast<int>(info.pageCount), report.volumes[v - 1].pages);
        for (const BookPageInfo& p : info.pages) {
            const BookPageInfo& w = whole.pages[page++];
            ASSERT_EQ(p.size, w.size);
            EXPECT_TRUE(std::equal(bytes.begin() + p.offset, bytes.begin() + p.offset + p.size,
                                   wholeBytes.begin() + w.offset));
        }
    }
    EXPECT_EQ(page, 10u);
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().find(".part"), std::string::npos);
}

TEST_F(Builder, AnExistingVolumeIsAskedAboutOnceAndDeclinedWritesNothing) {
    for (int i = 0; i < 3; ++i)
        addRow(page24("p" + std::to_string(i) + ".bmp", 8, 8));
    test::writeFile(dir.file("book-2.QFB"), std::string("old"));
    request.maxPages = 2;
    platform.answerYes = false;
    const MakeReport report = make();
    EXPECT_TRUE(report.declined);
    EXPECT_EQ(report.existing, std::vector<std::string>{dir.file("book-2.QFB")});
    EXPECT_EQ(std::count(platform.calls.begin(), platform.calls.end(),
                         "ask:" + std::string(kOverwriteQuestion)),
              1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("book-1.QFB")));
    EXPECT_EQ(test::readFile(dir.file("book-2.QFB")), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
}

// A disk that fills while the third volume is written: every file that was there stays as it
// was and no temporary file is left. Needs a small file system of its own (root: tmpfs).
TEST_F(Builder, AVolumeThatCannotBeWrittenLeavesEveryFileAsItWas) {
    const auto noise = [](std::uint32_t x, std::uint32_t y) {
        const std::uint32_t v = (x * 2654435761u) ^ (y * 2246822519u) ^ (x * y * 3266489917u);
        return Color{static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                     static_cast<std::uint8_t>(v >> 8)};
    };
    for (int i = 0; i < 5; ++i) {
        const std::string path = dir.file("n" + std::to_string(i) + ".bmp");
        test::writeFile(path, test::bmp24(400 + 8 * i, 300, noise));
        addRow(path);
    }
    ASSERT_TRUE(make().written);
    const BookInfo whole = checkBook(bookBytes());
    ASSERT_EQ(whole.pages.size(), 5u);
    // Volumes of 2, 1 and 2 pages: room for the spool and the first two, not the third.
    const auto blocks = [](std::uint64_t bytes) { return (bytes + 4095) / 4096 * 4096; };
    const std::uint64_t header = BookHeader::kSize, p0 = whole.pages[0].size,
                        p1 = whole.pages[1].size, p2 = whole.pages[2].size;
    const std::uint64_t room = blocks(bookBytes().size()) + blocks(header + p0 + p1) +
                               blocks(header + p2) + 2 * 4096 + 4096;
    ASSERT_GT(whole.pages[3].size + whole.pages[4].size, 3u * 4096);

    const std::string mount = dir.file("small");
    std::filesystem::create_directory(mount);
    if (::geteuid() != 0 || std::system(("mount -t tmpfs -o size=" + std::to_string(room) +
                                         " tmpfs " + mount + " 2>/dev/null")
                                            .c_str()) != 0)
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    struct Unmount {
        std::string at;
        ~Unmount() { [[maybe_unused]] int r = std::system(("umount " + at).c_str()); }
    } unmount{mount};
    test::writeFile(mount + "/book-1.QFB", std::string("old"));
    request.fileName = mount + "/book";
    request.maxPages = 2;
    FakeProgress progress(platform.calls);
    const MakeReport report = makeBook(bookEntries(pages), request, platform, progress);
    EXPECT_FALSE(report.written);
    EXPECT_NE(report.error.find("book-3.QFB"), std::string::npos) << report.error;
    EXPECT_EQ(test::readFile(mount + "/book-1.QFB"), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(mount))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"book-1.QFB"});
}

TEST_F(Builder, TitleAndAuthorStoredAsCodePage936) {
    request.title = "中文书名";
    request.author = std::string(120, 'w');
    ASSERT_TRUE(make().written);
    const BookInfo info = checkBook(bookBytes());
    EXPECT_EQ(info.title, "\xD6\xD0\xCE\xC4\xCA\xE9\xC3\xFB");
    EXPECT_EQ(info.author, std::string(100, 'w'));
}

} // namespace
} // namespace folio
