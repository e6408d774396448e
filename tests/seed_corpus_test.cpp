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
                               "png", "gif", "tiff", "jpeg2000"}) {
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
