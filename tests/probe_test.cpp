// Header probes held to the full decode: over the shared corpus, on files cut short, for the
// depth rule, and the format table they and the loader read.
#include "book/image/codecs/Formats.h"
#include "book/image/image_type.h"
#include "book/making/book_builder.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace folio {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Every image file of the corpus (README, sources and the archives left out).
std::vector<std::filesystem::path> corpusImages() {
    std::vector<std::filesystem::path> files;
    const std::filesystem::path root = test::corpusDir();
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        if (!e.is_regular_file()) continue;
        const std::filesystem::path rel = e.path().lexically_relative(root);
        if (rel.begin()->string() == "containers" || rel.extension() == ".md") continue;
        files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

struct Outcome {
    bool decoded = false, probed = false;
    Image image;
    ImageFacts facts;
    std::string reason;
};

Outcome both(const Bytes& file, ImageType type) {
    Outcome o;
    o.decoded = o.image.LoadMemory(file, type);
    o.probed = probeImageMemory(file, type, o.facts, o.reason);
    return o;
}

// The invariant of every probe: a file that decodes is probed with the decode's facts, and a
// file the probe refuses does not decode.
void expectAgreement(const Outcome& o, const std::string& what) {
    if (!o.probed) {
        EXPECT_FALSE(o.reason.empty()) << what;
        EXPECT_FALSE(o.decoded) << what << ": probe refused (" << o.reason << ") but it decodes";
        return;
    }
    if (!o.decoded) return;
    EXPECT_EQ(o.facts.width, o.image.GetWidth()) << what;
    EXPECT_EQ(o.facts.height, o.image.GetHeight()) << what;
    EXPECT_EQ(o.facts.bpp, o.image.GetBpp()) << what;
}

TEST(ProbeCorpus, AgreesWithTheFullDecodeOnEveryFile) {
    FOLIO_REQUIRE_CORPUS();
    int decoded = 0, probedOnly = 0;
    for (const auto& path : corpusImages()) {
        const Bytes file = test::readFile(path.string());
        const Outcome o = both(file, imageTypeOfPath(path.string()));
        expectAgreement(o, path.string());
        decoded += o.decoded;
        probedOnly += o.probed && !o.decoded;
    }
    EXPECT_GT(decoded, 200);
    // Headers that are sound over broken data pass the probe; the corpus has a few such files,
    // not a large share.
    EXPECT_LT(probedOnly, 15);
}

// Where the structure is complete without pixel data (PNG chunks to IEND, the JPEG end
// marker, TIFF strips, JP2 boxes), a file cut in half that no longer decodes is refused by
// the probe itself.
bool structureShowsCuts(const Image& decoded, const Bytes& file) {
    const std::uint32_t t = decoded.GetType();
    const bool jp2Box = file.size() > 4 && file[4] == 0x6A && file[5] == 0x50;
    return t == kFormatPng || t == kFormatJpeg || t == kFormatTiff || (t == kFormatJp2 && jp2Box);
}

TEST(ProbeCorpus, FilesCutShortAreRefusedWhereTheStructureShowsIt) {
    FOLIO_REQUIRE_CORPUS();
    int refused = 0;
    for (const auto& path : corpusImages()) {
        const Bytes file = test::readFile(path.string());
        const ImageType type = imageTypeOfPath(path.string());
        Image whole;
        if (file.size() > (4u << 20) || !whole.LoadMemory(file, type)) continue;
        for (std::size_t cut :
             {std::size_t{0}, std::size_t{1}, file.size() / 8, file.size() / 2, file.size() - 1}) {
            const Bytes prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut));
            const Outcome o = both(prefix, type);
            const std::string what = path.string() + " cut to " + std::to_string(cut);
            expectAgreement(o, what);
            if (cut == file.size() / 2 && !o.decoded && structureShowsCuts(whole, file)) {
                EXPECT_FALSE(o.probed) << what;
                refused += !o.probed;
            }
        }
    }
    EXPECT_GT(refused, 50);
}

TEST(ProbeFile, ReadsThroughTheLoadersFileRules) {
    ImageFacts facts;
    std::string reason;
    EXPECT_FALSE(probeImageFile("/nonexistent/page.png", kFormatPng, facts, reason));
    EXPECT_EQ(reason, "cannot open file");

    test::TempDir dir;
    test::writeFile(
        dir.file("named.jpg"),
        test::bmp8(5, 3, {{0, 0, 0}, {255, 255, 255}},
                   [](std::uint32_t x, std::uint32_t) -> std::uint8_t { return x & 1; }));
    // Named as JPEG, recognised as BMP by content, as loading does.
    ASSERT_TRUE(probeImageFile(dir.file("named.jpg"), kFormatJpeg, facts, reason)) << reason;
    EXPECT_EQ(facts.width, 5u);
    EXPECT_EQ(facts.height, 3u);
    EXPECT_EQ(facts.bpp, 8);

    test::writeFile(dir.file("text.bmp"), std::string("not a picture at all\n"));
    EXPECT_FALSE(probeImageFile(dir.file("text.bmp"), kFormatBmp, facts, reason));
    EXPECT_EQ(reason, "not a BMP file"); // the named format's reason, as loading gives
}

// Every decoder depth above 8 is stored as 24: gray levels go to all three channels and a
// colour page from such a file has three components. 8-bit gray stays 8.
TEST(DepthRule, GrayDeeperThanEightBitsIsTrueColour) {
    FOLIO_REQUIRE_CORPUS();
    const struct {
        const char* file;
        std::uint16_t bpp;
    } table[] = {
        {"png/pngsuite_basn0g16.png", 24},      {"png/pngsuite_basi0g16.png", 24},
        {"png/pngsuite_g10n0g16.png", 24},      {"png/pngsuite_basn4a16.png", 24},
        {"pgm/pil_16_bit_binary.pgm", 24},      {"pgm/pil_hopper_16bit.pgm", 24},
        {"pgm/pil_hopper_16bit_plain.pgm", 24}, {"j2k/ox_gray-32x32-u16-53.j2k", 24},
        {"png/pngsuite_basn0g08.png", 8},       {"png/pngsuite_basn4a08.png", 8},
        {"pgm/pil_hopper_8bit.pgm", 8},         {"pgx/ox_gray-32x32-97full-r1-ref.pgx", 8},
    };
    for (const auto& row : table) {
        const std::string path = (test::corpusDir() / row.file).string();
        Image image;
        ASSERT_TRUE(loadImageFile(image, path, imageTypeOfPath(path))) << row.file;
        EXPECT_EQ(image.GetBpp(), row.bpp) << row.file;
        ImageFacts facts;
        std::string reason;
        ASSERT_TRUE(probeImageFile(path, imageTypeOfPath(path), facts, reason)) << row.file;
        EXPECT_EQ(facts.bpp, row.bpp) << row.file;
        if (row.bpp != 24) continue;
        for (std::uint32_t y = 0; y < image.GetHeight(); ++y)
            for (std::uint32_t x = 0; x < image.GetWidth(); ++x) {
                const Rgb c = image.PixelColor(x, y);
                ASSERT_TRUE(c.r == c.g && c.g == c.b) << row.file << " at " << x << "," << y;
            }
        std::vector<std::uint8_t> jpeg;
        ASSERT_TRUE(encodePage(image, false, 80, jpeg, reason)) << reason;
        EXPECT_EQ(test::readJpegFacts(jpeg).components, 3) << row.file;
    }
}

TEST(FormatTable, CoversEveryTypeAndKeepsTheRecognitionOrder) {
    using codecs::Format;
    ASSERT_EQ(codecs::formats().size(), 18u);
    std::vector<std::pair<int, std::uint32_t>> recognised;
    for (std::uint32_t t = 1; t <= 18; ++t) {
        const Format* f = codecs::formatOf(t);
        ASSERT_NE(f, nullptr) << t;
        EXPECT_EQ(f->type, t);
        EXPECT_EQ(f->family, t >= kFormatJp2 && t <= kFormatRas) << t;
        if (f->recognition > 0) recognised.emplace_back(f->recognition, t);
    }
    EXPECT_EQ(codecs::formatOf(0), nullptr);
    EXPECT_EQ(codecs::formatOf(19), nullptr);
    std::sort(recognised.begin(), recognised.end());
    std::vector<std::uint32_t> order;
    for (const auto& r : recognised)
        order.push_back(r.second);
    EXPECT_EQ(order, (std::vector<std::uint32_t>{kFormatBmp, kFormatJpeg, kFormatIco, kFormatGif,
                                                 kFormatPng, kFormatTiff, kFormatTga, kFormatPcx,
                                                 kFormatWbmp, kFormatWmf, kFormatJp2, kFormatWebp,
                                                 kFormatHeif, kFormatJxl}));
    std::vector<std::string_view> names;
    for (const Format* f : codecs::codecs())
        names.push_back(f->codec);
    EXPECT_EQ(names, (std::vector<std::string_view>{"bmp", "gif", "jpeg", "png", "ico", "tiff",
                                                    "tga", "pcx", "wbmp", "wmf", "jpeg2000", "pgx",
                                                    "pnm", "ras", "webp", "heif", "jxl"}));
}

// A sniff may only save work: it must accept every corpus file its codec decodes.
TEST(FormatTable, SniffsAcceptWhatTheirCodecsDecode) {
    FOLIO_REQUIRE_CORPUS();
    int checked = 0;
    for (const auto& path : corpusImages()) {
        const Bytes file = test::readFile(path.string());
        for (const codecs::Format* f : codecs::codecs()) {
            Image image;
            codecs::DecodeError err;
            if (!f->decode(file, image, err)) continue;
            ++checked;
            EXPECT_TRUE(f->sniff(file)) << f->codec << " " << path;
        }
    }
    EXPECT_GT(checked, 200);
}

TEST(DecodeErrors, ReasonsAreTyped) {
    using codecs::DecodeReason;
    auto reasonFor = [](const Bytes& file, std::uint32_t type) {
        Image image;
        std::uint32_t as = 0;
        codecs::DecodeError err;
        EXPECT_FALSE(codecs::decodeAny(file, type, image, as, err));
        codecs::DecodeError probed;
        codecs::PictureFacts facts;
        EXPECT_FALSE(codecs::probeAny(file, type, facts, as, probed));
        EXPECT_EQ(probed.reason, err.reason);
        EXPECT_FALSE(err.detail.empty());
        return err.reason;
    };
    const Bytes text = {'h', 'e', 'l', 'l', 'o', '\n'};
    EXPECT_EQ(reasonFor(text, kFormatPng), DecodeReason::NotThisFormat);
    EXPECT_EQ(reasonFor(text, kFormatNone), DecodeReason::NotThisFormat);
    EXPECT_EQ(reasonFor(text, kFormatWmf), DecodeReason::NotThisFormat);
    Bytes bmp = test::bmp24(4, 4, [](std::uint32_t, std::uint32_t) {
        return test::Color{1, 2, 3};
    });
    bmp.resize(bmp.size() - 20);
    EXPECT_EQ(reasonFor(bmp, kFormatBmp), DecodeReason::Truncated);
    const Bytes huge = {'P', '5', '\n', '4', '0', '0', '0', '0',
                        ' ', '1', '\n', '2', '5', '5', '\n'};
    // The JPEG 2000 family answers with the reason of the member the content belongs to.
    EXPECT_EQ(reasonFor(huge, kFormatPnm), DecodeReason::OverLimits);
    Image image;
    EXPECT_FALSE(image.LoadMemory(huge, kFormatJp2));
    EXPECT_EQ(image.GetLastError(), "bad PNM size");
}

} // namespace
} // namespace folio
