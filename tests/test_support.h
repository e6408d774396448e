// Helpers shared by the tests: temporary directories, file I/O and the shared image corpus.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace folio::test {

// A fresh directory under the system temp dir, removed with everything in it at scope end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
void writeFile(const std::string& path, const std::string& text);
std::vector<std::uint8_t> readFile(const std::string& path);

// The shared corpus of real images (one folder per extension); empty when absent.
std::filesystem::path corpusDir();

} // namespace folio::test

// Skips the current test when the shared corpus is not beside the repository.
#define FOLIO_REQUIRE_CORPUS()                                                                     \
    do {                                                                                           \
        if (::folio::test::corpusDir().empty())                                                    \
            GTEST_SKIP() << "shared image corpus not found (set FOLIO_CORPUS)";                    \
    } while (0)

namespace folio::test {

struct Color {
    std::uint8_t r, g, b;
};

// Uncompressed bottom-up BMP files, written by hand so that tests depend on no encoder.
std::vector<std::uint8_t> bmp24(std::uint32_t w, std::uint32_t h,
                                Color (*pixel)(std::uint32_t x, std::uint32_t y));
std::vector<std::uint8_t> bmp8(std::uint32_t w, std::uint32_t h, const std::vector<Color>& palette,
                               std::uint8_t (*index)(std::uint32_t x, std::uint32_t y));

// What a JPEG stream says about itself, read with libjpeg.
struct JpegFacts {
    bool ok = false;
    std::uint32_t width = 0, height = 0;
    int components = 0;
    std::vector<int> lumaTable; // the first quantisation table, natural order
    int densityUnit = -1, xDensity = 0, yDensity = 0;
};
JpegFacts readJpegFacts(const std::vector<std::uint8_t>& jpeg);
// The IJG luminance table scaled for quality q (1..100), without baseline clamping.
std::vector<int> ijgLumaTable(int quality);

} // namespace folio::test
