#include "book/image/image_type.h"

#include <gtest/gtest.h>

namespace folio {
namespace {

struct PathCase {
    const char* path;
    const char* extension;
    ImageType type;
};

class PathTypes : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathTypes, ExtensionAndType) {
    const auto& c = GetParam();
    EXPECT_EQ(extensionOf(c.path), c.extension);
    EXPECT_EQ(imageTypeOfPath(c.path), c.type);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PathTypes,
    ::testing::Values(PathCase{"Page01.JPG", "JPG", 3}, PathCase{"a.jpeg", "jpeg", 3},
                      PathCase{"scan.TIF", "TIF", 6}, PathCase{"x.Ppm", "Ppm", 14},
                      PathCase{"ends.with.dot.", "", 0}, PathCase{"nodot", "", 0},
                      PathCase{"C:\\my.scans\\page", "scans\\page", 0},
                      PathCase{"C:\\my.scans\\page.gif", "gif", 2},
                      PathCase{"/home/u/my.scans/page", "scans/page", 0},
                      PathCase{".bmp", "bmp", 1}, PathCase{"dir/.bmp", "bmp", 1},
                      PathCase{"archive.tar.gz", "gz", 0}, PathCase{"notes.txt", "txt", 0},
                      PathCase{"", "", 0}));

TEST(ImageTypeForExtension, EveryTableEntryAndCaseSensitivity) {
    const std::pair<const char*, ImageType> table[] = {
        {"bmp", 1},   {"gif", 2},   {"jpg", 3},  {"jpeg", 3}, {"png", 4},   {"ico", 5},
        {"tiff", 6},  {"tif", 6},   {"tga", 7},  {"pcx", 8},  {"wbmp", 9},  {"wmf", 10},
        {"emf", 10},  {"jp2", 11},  {"j2k", 11}, {"jpc", 12}, {"j2c", 12},  {"pgx", 13},
        {"pnm", 14},  {"pgm", 14},  {"ppm", 14}, {"ras", 15}, {"webp", 16}, {"heic", 17},
        {"heif", 17}, {"avif", 17}, {"jxl", 18}};
    for (const auto& [ext, type] : table) {
        EXPECT_EQ(imageTypeForExtension(ext), type) << ext;
        std::string upper(ext);
        upper[0] = static_cast<char>(upper[0] - 'a' + 'A');
        EXPECT_EQ(imageTypeForExtension(upper), 0u) << upper;
        EXPECT_EQ(imageTypeOfPath(std::string("f.") + upper), type) << upper;
    }
    for (const char* other :
         {"", "jpe", "pbm", "tga ", " bmp", "webpp", "hei", "svg", "jxll", "jx"})
        EXPECT_EQ(imageTypeForExtension(other), 0u) << other;
}

} // namespace
} // namespace folio
