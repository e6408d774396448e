#include "book/pages/add_pages.h"
#include "book/base/natural_order.h"
#include "book/pages/file_order.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

namespace folio {
namespace {

using test::Color;

struct FakeChooser : FileChooser {
    std::optional<std::vector<std::string>> answer;
    std::string title, filter;
    std::optional<std::vector<std::string>> chooseFiles(const std::string& t,
                                                        const std::string& f) override {
        title = t;
        filter = f;
        return answer;
    }
};

// Counts lookups, so a test can see that files that do not load are never looked up.
struct CountingLookup : FileLookup {
    DiskFileLookup disk;
    std::vector<std::string> asked;
    std::optional<FileFacts> lookup(const std::string& path) override {
        asked.push_back(path);
        return disk.lookup(path);
    }
};

Color plain(std::uint32_t, std::uint32_t) {
    return {10, 20, 30};
}

class AddPages : public ::testing::Test {
  protected:
    std::string image(const std::string& name, std::uint32_t w, std::uint32_t h) {
        const std::string path = dir.file(name);
        test::writeFile(path, test::bmp24(w, h, plain));
        return path;
    }
    test::TempDir dir;
    PageList list;
    FakeChooser chooser;
    CountingLookup lookup;
};

TEST_F(AddPages, CancelChangesNothing) {
    list.insertRow(0, "old");
    list.setSelected(0, true);
    chooser.answer = std::nullopt;
    addPages(list, chooser, lookup);
    EXPECT_EQ(list.rowCount(), 1);
    EXPECT_TRUE(list.isSelected(0));
    EXPECT_EQ(chooser.title, "Add image file");
    EXPECT_EQ(chooser.filter, "*.JPG;*.GIF;*.TIFF;*.BMP");
}

TEST_F(AddPages, RowsAppendedUnselectedWithTheirCells) {
    for (int i = 0; i < 5; ++i) {
        list.insertRow(i, "r" + std::to_string(i));
        list.setSelected(i, i % 2 == 0);
    }
    const std::string a = image("a.bmp", 120, 160);
    const std::string b = dir.file("b.jpg");
    test::writeFile(b, "not a jpeg at all");
    const std::string c = image("c.bmp", 33, 7);
    chooser.answer = std::vector<std::string>{a, b, c};
    const auto skipped = addPages(list, chooser, lookup);
    ASSERT_EQ(list.rowCount(), 7);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(list.isSelected(i), i % 2 == 0) << i;
    EXPECT_FALSE(list.isSelected(5));
    EXPECT_FALSE(list.isSelected(6));
    const auto size = test::readFile(a).size();
    EXPECT_EQ(list.cellText(5, kCellFileName), "a.bmp");
    EXPECT_EQ(list.cellText(5, kCellResolution), "120x160x24");
    EXPECT_EQ(list.cellText(5, kCellFileSize), std::to_string(size / 1024) + "KB");
    EXPECT_EQ(list.cellText(5, kCellGrayFlag), "Yes");
    EXPECT_EQ(list.cellText(5, kCellPath), a);
    EXPECT_EQ(list.cellText(6, kCellResolution), "33x7x24");
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].path, b);
    EXPECT_EQ(lookup.asked, (std::vector<std::string>{a, c}));
}

TEST_F(AddPages, UnusableNamesAreNeverOpenedAndMissingFilesSkipped) {
    const std::string txt = dir.file("notes.txt");
    test::writeFile(txt, "hello");
    chooser.answer = std::vector<std::string>{txt, dir.file("noext"), dir.file("gone.bmp"),
                                              dir.file("trailing.")};
    const auto skipped = addPages(list, chooser, lookup);
    EXPECT_EQ(list.rowCount(), 0);
    EXPECT_EQ(skipped.size(), 4u);
    EXPECT_TRUE(lookup.asked.empty());
}

TEST_F(AddPages, ChosenFilesComeInNaturalOrderAndDuplicatesStay) {
    const std::string p10 = image("page10.bmp", 10, 10), p2 = image("page2.bmp", 2, 2),
                      p1 = image("Page1.bmp", 1, 1);
    chooser.answer = std::vector<std::string>{p10, p2, p1};
    addPages(list, chooser, lookup);
    chooser.answer = std::vector<std::string>{p2};
    addPages(list, chooser, lookup);
    ASSERT_EQ(list.rowCount(), 4);
    EXPECT_EQ(list.cellText(0, kCellFileName), "Page1.bmp");
    EXPECT_EQ(list.cellText(1, kCellFileName), "page2.bmp");
    EXPECT_EQ(list.cellText(2, kCellFileName), "page10.bmp");
    EXPECT_EQ(list.cellText(3, kCellFileName), "page2.bmp");
}

// Adding reads headers only: a file whose pixel data is broken still gets its row, from its
// header (making the book then skips it with the decoder's reason).
TEST_F(AddPages, BrokenPixelDataStillGetsARow) {
    const std::string broken = dir.file("broken.png");
    test::writeFile(broken, test::png24BrokenData(6, 4));
    const std::string cut = dir.file("cut.png");
    auto shortened = test::png24BrokenData(6, 4);
    shortened.resize(20); // inside IHDR: the header itself is gone
    test::writeFile(cut, shortened);
    const auto skipped = appendImageFiles(list, {broken, cut}, lookup);
    ASSERT_EQ(list.rowCount(), 1);
    EXPECT_EQ(list.cellText(0, kCellResolution), "6x4x24");
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].path, cut);
    EXPECT_EQ(skipped[0].reason.rfind("does not load: ", 0), 0u) << skipped[0].reason;
}

TEST_F(AddPages, ConcurrentLoadingKeepsTheOrder) {
    std::vector<std::string> paths;
    for (int i = 0; i < 40; ++i)
        paths.push_back(image("p" + std::to_string(i) + ".bmp", 5 + i, 3));
    appendImageFiles(list, paths, lookup, 4);
    ASSERT_EQ(list.rowCount(), 40);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(list.cellText(i, kCellResolution), std::to_string(5 + i) + "x3x24");
}

TEST(AddPagesTexts, SizeAndResolutionFormats) {
    EXPECT_EQ(fileSizeText(0), "0KB");
    EXPECT_EQ(fileSizeText(1023), "0KB");
    EXPECT_EQ(fileSizeText(1024), "1KB");
    EXPECT_EQ(fileSizeText(1536000), "1500KB");
    EXPECT_EQ(resolutionText(1200, 1600, 24), "1200x1600x24");
}

TEST(NaturalOrder, Table) {
    const std::pair<const char*, const char*> less[] = {{"page2", "page10"},
                                                        {"a", "B"},
                                                        {"p01", "p2"},
                                                        {"x9y", "x10a"},
                                                        {"img", "img1"},
                                                        {"p007", "p7"},
                                                        {"Page1.jpg", "page2.jpg"},
                                                        {"a.jpg", "a1.jpg"}};
    for (const auto& [a, b] : less) {
        EXPECT_TRUE(naturalLess(a, b)) << a << " < " << b;
        EXPECT_FALSE(naturalLess(b, a)) << b << " !< " << a;
    }
    EXPECT_FALSE(naturalLess("same", "same"));
}

TEST(ImageFilesIn, FolderGivesItsImagesInNaturalOrder) {
    test::TempDir dir;
    for (const char* n : {"p10.png", "p9.jpg", "p1.BMP", "readme.txt", ".hidden.jpg", "noext"})
        test::writeFile(dir.file(n), "x");
    std::filesystem::create_directory(dir.file("sub.jpg"));
    const auto files = imageFilesIn(dir.path().string());
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0], dir.file("p1.BMP"));
    EXPECT_EQ(files[1], dir.file("p9.jpg"));
    EXPECT_EQ(files[2], dir.file("p10.png"));
}

// Files, two folders and a file: each keeps its place, each folder in natural order.
TEST(ExpandPaths, KeepsTheOrderGivenAndTellsWhatStandsForNoPage) {
    test::TempDir dir;
    for (const char* d : {"ch1", "ch2", "empty", "notes"})
        std::filesystem::create_directory(dir.file(d));
    for (const char* n : {"ch1/page10.png", "ch1/page2.png", "ch2/a.jpg", "notes/readme.txt",
                          "zcover.jpg", "aback.jpg"})
        test::writeFile(dir.file(n), "x");
    const Expansion e =
        expandPaths({dir.file("zcover.jpg"), dir.file("ch1"), dir.file("empty"), dir.file("ch2"),
                     dir.file("notes"), dir.file("gone.jpg"), dir.file("aback.jpg")});
    const std::vector<std::string> pages = {dir.file("zcover.jpg"),     dir.file("ch1/page2.png"),
                                            dir.file("ch1/page10.png"), dir.file("ch2/a.jpg"),
                                            dir.file("gone.jpg"),       dir.file("aback.jpg")};
    EXPECT_EQ(e.pages, pages);
    ASSERT_EQ(e.leftOut.size(), 2u);
    EXPECT_EQ(e.leftOut[0].path, dir.file("empty"));
    EXPECT_EQ(e.leftOut[1].path, dir.file("notes"));
    EXPECT_EQ(e.leftOut[1].reason, "folder holds no image files");
}

} // namespace
} // namespace folio
