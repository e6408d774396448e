#include "book/base/atomic_file.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace folio {
namespace {

std::string text(const std::string& path) {
    const auto bytes = test::readFile(path);
    return {bytes.begin(), bytes.end()};
}

std::size_t entries(const std::string& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir))
        ++n;
    return n;
}

// The commit decides what an existing name keeps: without replace the old file (or a link
// someone put there) stays exactly as it was, with replace the new file takes the name
// itself, never the file a link points to. No temporary file survives either way.
TEST(AtomicFile, CommitKeepsOrReplacesTheNameNeverWhatALinkPointsTo) {
    const std::string fresh = "new page";
    for (const bool replace : {false, true}) {
        test::TempDir dir;
        const std::string target = dir.file("0001.jpg"), elsewhere = dir.file("elsewhere");
        test::writeFile(elsewhere, std::string("old"));
        std::filesystem::create_symlink(elsewhere, target);
        {
            AtomicFile file(target, ".part");
            ASSERT_TRUE(file.create()) << file.error();
            ASSERT_TRUE(
                file.write(reinterpret_cast<const std::uint8_t*>(fresh.data()), fresh.size()));
            EXPECT_EQ(file.commit(replace), replace) << file.error();
        }
        EXPECT_EQ(text(elsewhere), "old");
        EXPECT_EQ(std::filesystem::is_symlink(target), !replace);
        if (replace) {
            EXPECT_EQ(text(target), fresh);
        }
        EXPECT_EQ(entries(dir.path()), 2u);
    }
}

} // namespace
} // namespace folio
