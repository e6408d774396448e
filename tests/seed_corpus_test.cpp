#include "book/image_type.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace folio {
namespace {

// The fuzzers start from these seeds: a seed that no longer loads would leave a decoder's
// deeper paths unexplored without anyone noticing.
TEST(SeedCorpus, EveryDecoderSeedLoadsByItsName) {
    const std::filesystem::path root = FOLIO_SEED_DIR;
    int seeds = 0;
    for (const char* target : {"bmp", "ico", "tga", "pcx", "wbmp", "pnm", "pgx", "ras", "jpeg",
                               "png", "gif", "tiff", "jpeg2000", "wmf", "emf"}) {
        int perTarget = 0;
        for (const auto& e : std::filesystem::directory_iterator(root / target)) {
            const std::string path = e.path().string();
            const ImageType type = imageTypeOfPath(path);
            ASSERT_NE(type, 0u) << path;
            Image image(0);
            EXPECT_TRUE(loadImageFile(image, path, type)) << path << ": " << image.GetLastError();
            ++perTarget;
        }
        EXPECT_GE(perTarget, 1) << target;
        seeds += perTarget;
    }
    EXPECT_GT(seeds, 40);
}

} // namespace
} // namespace folio

#include "tests/test_support.h"

namespace folio {
namespace {

// Whatever the name promises, an empty file or a text file is not an image: every decoder
// and the recognition by content must say no, leaving an empty image empty.
TEST(BadFiles, EmptyAndTextFilesFailUnderEveryExtension) {
    test::TempDir dir;
    const char* extensions[] = {"bmp", "jpg", "jpeg", "gif", "png", "ico", "tiff", "tif",
                                "tga", "pcx", "wbmp", "wmf", "emf", "jp2", "j2k",  "jpc",
                                "j2c", "pgx", "ras",  "pnm", "pgm", "ppm"};
    for (const char* ext : extensions) {
        for (const auto& [stem, content] :
             {std::pair<std::string, std::string>{"empty", ""},
              {"text",
               "Chapter one.\nIt was a dark and stormy night; the rain fell in torrents.\n"},
              {"zeros", std::string(4096, '\0')}}) {
            const std::string path = dir.file(stem + "." + ext);
            test::writeFile(path, content);
            Image image(0);
            EXPECT_FALSE(loadImageFile(image, path, imageTypeOfPath(path))) << path;
            EXPECT_FALSE(image.IsValid()) << path;
            EXPECT_FALSE(image.GetLastError().empty()) << path;
        }
    }
}

} // namespace
} // namespace folio
