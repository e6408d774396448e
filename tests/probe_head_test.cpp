// Probing a file reads a JPEG's head (and its last two bytes) instead of the whole file; the
// answer must be the whole file's, wherever the headers end.
#include "book/image/codecs/Codecs.h"
#include "book/image/image_type.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace folio {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes noiseJpeg(std::uint32_t w, std::uint32_t h) {
    static std::mt19937 rng(7);
    Image image;
    const Bytes bmp = test::bmp24(w, h, [](std::uint32_t, std::uint32_t) {
        return test::Color{static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                           static_cast<std::uint8_t>(rng())};
    });
    EXPECT_TRUE(image.LoadMemory(bmp, kFormatBmp));
    Bytes jpeg;
    std::string err;
    EXPECT_TRUE(codecs::encodeJpeg(image, 90, jpeg, err)) << err;
    return jpeg;
}

// `padding` bytes (0, or 4 and more) of comment segments right behind the start marker.
Bytes withComments(const Bytes& jpeg, std::size_t padding) {
    Bytes out(jpeg.begin(), jpeg.begin() + 2);
    while (padding > 0) {
        std::size_t total = std::min<std::size_t>(padding, 65537);
        if (padding - total != 0 && padding - total < 4) total -= 4;
        test::ByteWriter(out).u8(0xFF).u8(0xFE).u16be(static_cast<std::uint32_t>(total - 2));
        out.insert(out.end(), total - 4, 'c');
        padding -= total;
    }
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

// The end of the first scan header, found by walking the marker segments.
std::size_t scanHeaderEnd(const Bytes& f) {
    for (std::size_t p = 2; p + 4 <= f.size();) {
        const std::size_t len = std::size_t{f[p + 2]} << 8 | f[p + 3];
        if (f[p + 1] == 0xDA) return p + 2 + len;
        p += 2 + len;
    }
    return 0;
}

void expectSameAsWholeFile(const Bytes& file, const std::string& what) {
    test::TempDir dir;
    test::writeFile(dir.file("page.jpg"), file);
    ImageFacts fromFile, fromMemory;
    std::string fileReason, memoryReason;
    const bool fileOk = probeImageFile(dir.file("page.jpg"), kFormatJpeg, fromFile, fileReason);
    const bool memoryOk = probeImageMemory(file, kFormatJpeg, fromMemory, memoryReason);
    ASSERT_EQ(fileOk, memoryOk) << what << ": " << fileReason << " / " << memoryReason;
    EXPECT_EQ(fileReason, memoryReason) << what;
    EXPECT_EQ(fromFile.width, fromMemory.width) << what;
    EXPECT_EQ(fromFile.height, fromMemory.height) << what;
    EXPECT_EQ(fromFile.bpp, fromMemory.bpp) << what;
}

TEST(ProbeHead, HeadersAnywhereProbeAsTheWholeFile) {
    const Bytes plain = noiseJpeg(700, 500); // well over the first head
    ASSERT_GT(plain.size(), std::size_t{200} << 10);
    const std::size_t scanEnd = scanHeaderEnd(plain);
    ASSERT_GT(scanEnd, 0u);
    std::vector<std::pair<std::string, Bytes>> files = {{"plain", plain}};
    // The first scan header ending on either side of both cuts of the first head, and headers
    // past the first head, past the second and (with a big picture behind) inside it.
    for (const long head : {65536L - 64, 65536L})
        for (long end = head - 20; end <= head + 20; ++end)
            files.emplace_back("scan header ends at " + std::to_string(end),
                               withComments(plain, static_cast<std::size_t>(end) - scanEnd));
    for (const std::size_t padding :
         {std::size_t{100} << 10, std::size_t{900} << 10, std::size_t{1100} << 10})
        files.emplace_back("headers of " + std::to_string(padding), withComments(plain, padding));
    // No end marker at the very end, cut short, and a lying frame size past the first head.
    Bytes trailing = plain;
    trailing.insert(trailing.end(), {0, 0, 0});
    files.emplace_back("bytes after the end marker", trailing);
    files.emplace_back("cut short", Bytes(plain.begin(), plain.end() - 1000));
    Bytes lying = withComments(plain, std::size_t{70} << 10);
    for (std::size_t p = 2; p + 9 < lying.size();) {
        if (lying[p + 1] == 0xC0) {
            test::ByteWriter(lying).setU32be(p + 5, 0xFDE8FDE8u); // 65000 x 65000
            break;
        }
        p += 2 + (std::size_t{lying[p + 2]} << 8 | lying[p + 3]);
    }
    files.emplace_back("lying frame size", lying);
    for (const auto& [what, file] : files)
        expectSameAsWholeFile(file, what);
}

TEST(ProbeHead, CorpusJpegsProbeAsTheWholeFile) {
    FOLIO_REQUIRE_CORPUS();
    for (const auto& path : test::corpusFiles({"jpg", "jpeg"}))
        expectSameAsWholeFile(test::readFile(path.string()), path.string());
}

} // namespace
} // namespace folio
