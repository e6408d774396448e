// One fuzz entry point, built once per target with FOLIO_FUZZ_TARGET naming what it feeds.
// After every successful decode the invariants of an Image are checked: a decoder that says
// yes must hand over an image that every later step can trust.
#include "book/book_builder.h"
#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"
#include "book/page_cache.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void checkImage(const folio::Image& image) {
    using namespace folio;
    const auto bpp = image.GetBpp();
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24) broken("depth not in {1,4,8,24}");
    const std::uint64_t w = image.GetWidth(), h = image.GetHeight();
    if (w == 0 || h == 0 || w > kMaxImageSide || h > kMaxImageSide || w * h > kMaxImagePixels)
        broken("size outside the limits");
    if (image.Pixels().size() != w * h * image.BytesPerPixel()) broken("pixel buffer size");
    if (bpp == 24) {
        if (!image.GetPalette().empty()) broken("true colour image with a palette");
        return;
    }
    const std::size_t colors = image.GetPalette().size();
    if (colors != (std::size_t{1} << bpp)) broken("palette size");
    for (std::uint8_t index : image.Pixels())
        if (index >= colors) broken("pixel index outside the palette");
}

using Decoder = bool (*)(folio::codecs::Bytes, folio::Image&, std::string&);

int feedDecoder(Decoder decode, const std::uint8_t* data, std::size_t size) {
    folio::Image image;
    std::string err;
    if (decode({data, size}, image, err))
        checkImage(image);
    else if (err.empty())
        broken("failure without a reason");
    return 0;
}

int feedLoader(const std::uint8_t* data, std::size_t size) {
    // The first byte picks the type the name would give; the rest is the file.
    if (size < 1) return 0;
    folio::Image image(0);
    if (image.LoadMemory({data + 1, size - 1}, data[0] % 16))
        checkImage(image);
    else if (image.IsValid())
        broken("failed load left an image behind in an empty object");
    return 0;
}

int feedPage(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The second byte chooses gray or colour, the exact or the --fast load, and the quality.
    const bool gray = data[1] & 1, fast = data[1] & 2;
    folio::Image image(0);
    if (!image.LoadMemoryForPage({data + 2, size - 2}, data[0] % 16, folio::kPageHeight, gray,
                                 fast))
        return 0;
    if (!image.IsValid()) broken("page load succeeded without a picture");
    // Keep pages small so that each run stays quick.
    if (std::uint64_t{image.GetWidth()} * image.GetHeight() > 4'000'000) return 0;
    std::vector<std::uint8_t> jpeg;
    std::string reason;
    if (folio::encodePage(image, gray, data[1] >> 2, jpeg, reason)) {
        if (image.GetHeight() != folio::kPageHeight) broken("page not 640 high");
        if (image.GetWidth() < image.GetHeight()) broken("page narrower than high");
        if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8 ||
            jpeg[jpeg.size() - 2] != 0xFF || jpeg.back() != 0xD9)
            broken("page is not one JPEG stream");
    }
    return 0;
}

int feedKept(const std::uint8_t* data, std::size_t size) {
    // The first byte chooses the settings asked for; the rest is a file found in a cache
    // directory, looked up for a source whose SHA-256 is all zeros.
    if (size < 1) return 0;
    const folio::PageSettings settings{(data[0] & 1) != 0, data[0] >> 2, (data[0] & 2) != 0};
    const folio::PageBytes page =
        folio::readKeptPage({data + 1, size - 1}, std::string(32, '\0'), settings);
    if (!page) return 0;
    if (page->size() < 4 || page->size() > size || (*page)[0] != 0xFF || (*page)[1] != 0xD8 ||
        (*page)[page->size() - 2] != 0xFF || page->back() != 0xD9)
        broken("kept page is not one JPEG stream");
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace folio::codecs;
#define FOLIO_DECODER(name, fn)                                                                    \
    if (std::string_view(FOLIO_FUZZ_TARGET) == name) return feedDecoder(fn, data, size);
    FOLIO_DECODER("bmp", decodeBmp)
    FOLIO_DECODER("ico", decodeIco)
    FOLIO_DECODER("tga", decodeTga)
    FOLIO_DECODER("pcx", decodePcx)
    FOLIO_DECODER("wbmp", decodeWbmp)
    FOLIO_DECODER("pnm", decodePnm)
    FOLIO_DECODER("pgx", decodePgx)
    FOLIO_DECODER("ras", decodeRas)
    FOLIO_DECODER("jpeg", decodeJpeg)
    FOLIO_DECODER("png", decodePng)
    FOLIO_DECODER("gif", decodeGif)
    FOLIO_DECODER("tiff", decodeTiff)
    FOLIO_DECODER("jpeg2000", decodeJpeg2000)
#undef FOLIO_DECODER
    if (std::string_view(FOLIO_FUZZ_TARGET) == "loader") return feedLoader(data, size);
    if (std::string_view(FOLIO_FUZZ_TARGET) == "page") return feedPage(data, size);
    if (std::string_view(FOLIO_FUZZ_TARGET) == "kept") return feedKept(data, size);
    broken("unknown fuzz target");
}
