// One fuzz entry point, built once per target with FOLIO_FUZZ_TARGET naming what it feeds:
// a codec of the format table by its name, the whole loader, its header probe, or the page
// pipeline. After every successful decode the invariants of an Image are checked: a decoder
// that says yes must hand over an image that every later step can trust. Every codec's
// header probe is held to its decoder: when the decode succeeds the probe gives the same
// width, height and depth, and when the probe refuses the decode refuses too.
#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"
#include "book/image/codecs/Formats.h"
#include "book/image/image_type.h"
#include "book/making/book_builder.h"
#include "book/making/page_cache.h"
#include "book/making/page_planner.h"
#include "book/making/page_shape.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Type bytes 0 to 18 pick every image type (and none); the seeds all use 0.
constexpr unsigned kTypes = 19;

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
    // A few bytes can describe a picture of hundreds of millions of pixels within the limits;
    // walking every one of them under the sanitizers would pass the time limit, so a big
    // picture is checked on a spread of its pixels.
    const auto& pixels = image.Pixels();
    const std::size_t step = pixels.size() > (std::size_t{1} << 24) ? 61 : 1;
    for (std::size_t i = 0; i < pixels.size(); i += step)
        if (pixels[i] >= colors) broken("pixel index outside the palette");
}

void checkProbe(bool decoded, const folio::Image& image, bool probed, std::uint32_t width,
                std::uint32_t height, std::uint16_t bpp, const std::string& reason) {
    if (!probed && reason.empty()) broken("probe refused without a reason");
    if (decoded && !probed) broken("probe refused a file that decodes");
    if (decoded &&
        (width != image.GetWidth() || height != image.GetHeight() || bpp != image.GetBpp()))
        broken("probe and decode disagree on width, height or depth");
}

int feedCodec(const folio::codecs::Format& format, const std::uint8_t* data, std::size_t size) {
    using namespace folio::codecs;
    const Bytes bytes{data, size};
    folio::Image image;
    DecodeError err;
    const bool decoded = format.decode(bytes, image, err);
    if (decoded)
        checkImage(image);
    else if (err.detail.empty())
        broken("failure without a reason");
    if (decoded && !format.sniff(bytes)) broken("sniff turned away a file that decodes");
    PictureFacts facts;
    DecodeError why;
    const bool probed = format.probe(bytes, facts, why);
    checkProbe(decoded, image, probed, facts.width, facts.height, facts.bpp, why.detail);
    return 0;
}

int feedProbe(const std::uint8_t* data, std::size_t size) {
    // As for the loader: the first byte picks the type the name would give.
    if (size < 1) return 0;
    const std::span<const std::uint8_t> file{data + 1, size - 1};
    folio::Image image(0);
    const bool decoded = image.LoadMemory(file, data[0] % kTypes);
    folio::ImageFacts facts;
    std::string reason;
    const bool probed = folio::probeImageMemory(file, data[0] % kTypes, facts, reason);
    checkProbe(decoded, image, probed, facts.width, facts.height, facts.bpp, reason);
    return 0;
}

int feedLoader(const std::uint8_t* data, std::size_t size) {
    // The first byte picks the type the name would give; the rest is the file.
    if (size < 1) return 0;
    folio::Image image(0);
    if (image.LoadMemory({data + 1, size - 1}, data[0] % kTypes))
        checkImage(image);
    else if (image.IsValid())
        broken("failed load left an image behind in an empty object");
    return 0;
}

// The picture's last half in reading order, when it is a spread.
bool halveSpread(folio::Image& image, bool rightToLeft, std::string& reason) {
    const auto halves = folio::spreadPages(image.GetWidth(), image.GetHeight(), rightToLeft);
    if (halves.empty() || halves.size() > 2) broken("a picture gives no page or too many");
    std::uint64_t columns = 0;
    for (const auto& h : halves) {
        if (h.width == 0 || h.height != image.GetHeight() ||
            std::uint64_t{h.x} + h.width > image.GetWidth())
            broken("spread half outside the picture");
        columns += h.width;
    }
    if (columns != image.GetWidth()) broken("spread halves do not cover the picture");
    return folio::cutToRect(image, halves.back(), reason);
}

// The picture cut into slices as a strip; the middle piece joined from its slice rows.
bool stripPiece(folio::Image& image, std::uint8_t sliceByte, std::string& reason) {
    const std::uint32_t sliceRows = 1 + sliceByte % 64, height = image.GetHeight();
    std::vector<std::uint32_t> slices;
    for (std::uint32_t y = 0; y < height; y += sliceRows)
        slices.push_back(std::min(sliceRows, height - y));
    const std::vector<bool> flags = folio::uniformRows(image);
    if (flags.size() != height) broken("not one flag a row");
    const auto pieces = folio::cutStrip(height, image.GetWidth(), flags);
    const std::uint64_t limit = folio::stripPieceLimit(image.GetWidth());
    std::uint64_t covered = 0;
    for (const auto& p : pieces) {
        if (p.rows == 0 || p.rows > limit || p.first > covered) broken("strip rows lost");
        covered = std::max(covered, p.first + p.rows);
    }
    if (covered != height) broken("strip not covered");
    const auto rows = folio::pieceSlices(slices, pieces);
    if (rows.size() != pieces.size()) broken("not one slice list a piece");
    const auto& middle = rows[rows.size() / 2];
    const auto& piece = pieces[rows.size() / 2];
    folio::Image joined(0);
    if (!joined.Create(image.GetWidth(), static_cast<std::uint32_t>(piece.rows), image.GetBpp(),
                       &reason))
        return false;
    joined.SetPalette(image.GetPalette());
    std::uint32_t y = 0;
    for (const auto& r : middle) {
        if (r.slice >= slices.size() || r.firstRow + r.rows > slices[r.slice] ||
            y + r.rows > piece.rows)
            broken("slice rows outside their slice");
        const std::uint64_t top = std::uint64_t{r.slice} * sliceRows + r.firstRow;
        if (y == 0 && top != piece.first) broken("piece starts elsewhere");
        for (std::uint32_t k = 0; k < r.rows; ++k)
            std::copy_n(image.Row(static_cast<std::uint32_t>(top + k)), image.Stride(),
                        joined.Row(y + k));
        y += r.rows;
    }
    if (y != piece.rows) broken("slice rows do not add up to the piece");
    image = std::move(joined);
    return true;
}

int feedPage(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The second byte chooses gray or colour, the exact or the --fast load, margins cut or
    // not, the quality, the picture halved as a spread (its right half first or last) and cut
    // as a strip in slices as high as the input's size says; every page also has its colour judged.
    const bool gray = data[1] & 1, fast = data[1] & 2, crop = data[1] & 4;
    const bool split = data[1] & 0x40, strip = data[1] & 0x80;
    const bool rightToLeft = data[1] & 0x20;
    const int quality = ((data[1] >> 3) & 3) * 30;
    folio::Image image(0);
    if (!image.LoadMemoryForPage({data + 2, size - 2}, data[0] % kTypes, folio::kPageHeight, gray,
                                 fast))
        return 0;
    if (!image.IsValid()) broken("page load succeeded without a picture");
    // Keep pages small so that each run stays quick.
    if (std::uint64_t{image.GetWidth()} * image.GetHeight() > 4'000'000) return 0;
    folio::isColorPicture(image);
    std::string reason;
    if (crop) {
        const folio::ContentBox box = folio::contentBox(image);
        if (box.width == 0 || box.height == 0 || box.x + box.width > image.GetWidth() ||
            box.y + box.height > image.GetHeight())
            broken("content box outside the picture");
        if (!folio::cropToContent(image, reason)) return 0;
        if (image.GetWidth() != box.width || image.GetHeight() != box.height)
            broken("cut picture is not its content box");
    }
    if (split && !halveSpread(image, rightToLeft, reason)) return 0;
    if (strip && !stripPiece(image, static_cast<std::uint8_t>(size), reason)) return 0;
    std::vector<std::uint8_t> jpeg;
    if (folio::encodePage(image, gray, quality, jpeg, reason)) {
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
    const std::string_view target = FOLIO_FUZZ_TARGET;
    for (const folio::codecs::Format* f : folio::codecs::codecs())
        if (f->codec == target) return feedCodec(*f, data, size);
    // EMF seeds for the metafile decoder, which also reads WMF (target wmf).
    if (target == "emf") return feedCodec(*folio::codecs::formatOf(folio::kFormatWmf), data, size);
    if (target == "loader") return feedLoader(data, size);
    if (target == "probe") return feedProbe(data, size);
    if (target == "page") return feedPage(data, size);
    if (target == "kept") return feedKept(data, size);
    broken("unknown fuzz target");
}
