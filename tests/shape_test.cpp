// Page shaping: the default book is what it always was; `page` writes the book's page bytes;
// cutting paper margins.
#include "book/book_check.h"
#include "book/image/Image.h"
#include "cli/cli.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace folio {
namespace {

using test::Color;

struct CliRun {
    int code;
    std::string out, err;
};

CliRun run(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int code = cli::run(args, out, err);
    return {code, out.str(), err.str()};
}

Color scene(std::uint32_t x, std::uint32_t y) {
    return {static_cast<std::uint8_t>(x * 3 + y), static_cast<std::uint8_t>((x ^ y) * 5),
            static_cast<std::uint8_t>(y * 2)};
}

std::string jpegOf(const test::TempDir& dir, const char* name, std::uint32_t w, std::uint32_t h,
                   Color (*pixel)(std::uint32_t, std::uint32_t)) {
    Image picture;
    EXPECT_TRUE(picture.LoadMemory(test::bmp24(w, h, pixel), kFormatBmp));
    picture.SetJpegQuality(90);
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(picture.Encode(bytes, kFormatJpeg));
    const std::string path = dir.file(name);
    test::writeFile(path, bytes);
    return path;
}

// A fixed set of pages: a portrait BMP marked gray and colour, a small picture to enlarge, a
// landscape JPEG reduced while it decodes, a palette picture.
std::vector<std::string> fixedPageSet(const test::TempDir& dir) {
    const std::string bmp = dir.file("portrait.bmp");
    test::writeFile(bmp, test::bmp24(1200, 1600, scene));
    const std::string small = dir.file("small.bmp");
    test::writeFile(small, test::bmp24(500, 400, scene));
    const std::string jpg = jpegOf(dir, "wide.jpg", 1800, 1200, scene);
    const std::string pal = dir.file("palette.bmp");
    test::writeFile(pal, test::bmp8(700, 900, {{250, 250, 240}, {10, 20, 200}, {200, 30, 30}},
                                    [](std::uint32_t x, std::uint32_t y) {
                                        return static_cast<std::uint8_t>((x / 50 + y / 70) % 3);
                                    }));
    return {bmp, "--color", bmp, small, "--color", jpg, jpg, "--color", pal, pal};
}

// Recorded before margins and colour finding came in: without their options a book's bytes
// must not change.
TEST(DefaultBook, BytesAreThoseRecordedBefore) {
    test::TempDir dir;
    std::vector<std::string> args = {"make", "-o", dir.file("book"), "--title", "T"};
    for (const std::string& a : fixedPageSet(dir))
        args.push_back(a);
    const CliRun made = run(args);
    ASSERT_EQ(made.code, 0) << made.err;
    const std::vector<std::uint8_t> book = test::readFile(dir.file("book.QFB"));
    const BookInfo info = checkBook(book);
    ASSERT_TRUE(info.sound()) << info.violation;
    ASSERT_EQ(info.pages.size(), 7u) << made.err;
    EXPECT_EQ(book.size(), 901191u);
    EXPECT_EQ(test::crc32(book), 3019878189u);
}

} // namespace
} // namespace folio
