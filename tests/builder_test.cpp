#include "book/making/book_builder.h"
#include "book/format/book_check.h"
#include "book/format/book_header.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

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
        return makeBook(pages, request, platform, progress);
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
    request.grayQuality = 30;
    request.colorQuality = 90;
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
    const auto report = makeBook(pages, request, platform, progress);
    EXPECT_FALSE(report.written);
    EXPECT_EQ(platform.calls, (std::vector<std::string>{"exists", "failure"}));
    EXPECT_NE(report.error.find("No such file"), std::string::npos) << report.error;
}

TEST_F(Builder, StopsAtTheThousandthPageAndCountsTheRest) {
    const std::string path = page24("tiny.bmp", 8, 8);
    for (int i = 0; i < 1003; ++i)
        addRow(path);
    const auto report = make(2);
    ASSERT_TRUE(report.written);
    EXPECT_EQ(report.pagesWritten, 1000);
    EXPECT_EQ(report.leftOut, 3);
    const BookInfo info = checkBook(bookBytes());
    EXPECT_TRUE(info.sound()) << info.violation;
    EXPECT_EQ(info.pageCount, 1000u);
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
