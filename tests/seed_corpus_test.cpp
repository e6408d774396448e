#include "book/image/codecs/Formats.h"
#include "book/image/image_type.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace folio {
namespace {

namespace fs = std::filesystem;

// The fuzzers start from these seeds: a codec without seeds, or a seed that no longer loads
// by its name, would leave a decoder's deeper paths unexplored without anyone noticing.
TEST(SeedCorpus, EveryCodecOfTheTableHasSeedsThatLoadByTheirNames) {
    for (const codecs::Format* f : codecs::codecs()) {
        const fs::path dir = fs::path(FOLIO_SEED_DIR) / std::string(f->codec);
        ASSERT_TRUE(fs::is_directory(dir)) << dir;
        int seeds = 0;
        for (const auto& e : fs::directory_iterator(dir)) {
            const std::string path = e.path().string();
            const ImageType type = imageTypeOfPath(path);
            ASSERT_NE(type, 0u) << path;
            Image image(0);
            EXPECT_TRUE(loadImageFile(image, path, type)) << path << ": " << image.GetLastError();
            ++seeds;
        }
        EXPECT_GE(seeds, 1) << f->codec;
    }
}

// Every extension of the table names a type of the format table, and every extension of a
// type with a decoder loads that codec's seeds under its name.
TEST(SeedCorpus, EveryExtensionLoadsItsCodecsSeeds) {
    for (const auto& [ext, type] : imageExtensions()) {
        const codecs::Format* f = codecs::formatOf(type);
        ASSERT_NE(f, nullptr) << ext;
        if (f->codec.empty()) continue;
        int seeds = 0;
        for (const auto& e :
             fs::directory_iterator(fs::path(FOLIO_SEED_DIR) / std::string(f->codec))) {
            Image image(0);
            EXPECT_TRUE(image.LoadMemory(test::readFile(e.path().string()), type))
                << ext << ": " << e.path() << ": " << image.GetLastError();
            ++seeds;
        }
        EXPECT_GE(seeds, 1) << ext;
    }
}

// Whatever the name promises, an empty file or a text file is not an image: every decoder
// and the recognition by content must say no, leaving an empty image empty.
TEST(BadFiles, EmptyAndTextFilesFailUnderEveryExtension) {
    test::TempDir dir;
    for (const auto& [ext, type] : imageExtensions()) {
        for (const auto& [stem, content] :
             {std::pair<std::string, std::string>{"empty", ""},
              {"text",
               "Chapter one.\nIt was a dark and stormy night; the rain fell in torrents.\n"},
              {"zeros", std::string(4096, '\0')}}) {
            const std::string path = dir.file(stem + "." + std::string(ext));
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
