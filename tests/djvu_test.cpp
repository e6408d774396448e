// DjVu documents as sources of pages: every page rendered by the shared rule, exactly as
// djvulibre's own ddjvu renders it at that size; indirect documents read only from their
// folder; damaged ones refused with a reason and nothing on the terminal.
#include "book/image/Image.h"
#include "book/sources/source.h"
#include "tests/djvu_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace folio {
namespace {

class DjvuSource : public testing::Test {
  protected:
    void SetUp() override {
        if (!test::haveDjvuTools()) GTEST_SKIP() << "djvulibre's tools (djvulibre-bin) absent";
        doc = test::writeDjvu(dir, "book.djvu", 120, 180, 200, 100);
        ASSERT_FALSE(doc.empty());
    }
    test::TempDir dir;
    std::string doc;
};

// ddjvu's own picture of a page at w x h, as RGB bytes.
std::vector<std::uint8_t> ddjvuPicture(const test::TempDir& dir, const std::string& doc, int page,
                                       std::uint32_t w, std::uint32_t h) {
    const std::string out = dir.file("ddjvu.ppm");
    EXPECT_TRUE(test::shell("ddjvu -format=ppm -aspect=no -page=" + std::to_string(page) +
                            " -size=" + std::to_string(w) + "x" + std::to_string(h) + " " +
                            test::quoted(doc) + " " + test::quoted(out)));
    std::ifstream in(out, std::ios::binary);
    std::string magic;
    std::uint32_t pw = 0, ph = 0, max = 0;
    in >> magic >> pw >> ph >> max;
    in.get();
    EXPECT_EQ(magic, "P6");
    EXPECT_EQ(pw, w);
    EXPECT_EQ(ph, h);
    std::vector<std::uint8_t> rgb(std::size_t{w} * h * 3);
    in.read(reinterpret_cast<char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
    return rgb;
}

std::vector<std::uint8_t> pixels(const Image& image) {
    std::vector<std::uint8_t> rgb;
    for (std::uint32_t y = 0; y < image.GetHeight(); ++y)
        rgb.insert(rgb.end(), image.Row(y), image.Row(y) + image.Stride());
    return rgb;
}

struct Expected {
    std::uint32_t width, height;
};

void expectPages(const test::TempDir& dir, const std::string& doc,
                 const std::vector<Expected>& expected) {
    const ContainerListing listing = listContainer(doc);
    EXPECT_TRUE(listing.skipped.empty());
    ASSERT_EQ(listing.pages.size(), expected.size());
    SourceReader reader;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::string& path = listing.pages[i];
        EXPECT_EQ(path, doc + "/" + pdfPageName(i));
        const PageRef page = resolvePage(path);
        EXPECT_EQ(page.kind, PageKind::Rendered);
        EXPECT_EQ(page.type, kDjvuPageType);
        PageFacts facts;
        std::string why;
        ASSERT_TRUE(probePage(page, reader, facts, why)) << path << ": " << why;
        EXPECT_EQ(facts.picture.width, expected[i].width) << path;
        EXPECT_EQ(facts.picture.height, expected[i].height) << path;
        EXPECT_EQ(facts.picture.bpp, 24u);
        Image image(0);
        ASSERT_TRUE(loadPage(page, reader, image, why)) << path << ": " << why;
        ASSERT_EQ(image.GetWidth(), expected[i].width);
        ASSERT_EQ(image.GetHeight(), expected[i].height);
        EXPECT_TRUE(pixels(image) == ddjvuPicture(dir, doc, static_cast<int>(i + 1),
                                                  expected[i].width, expected[i].height))
            << path << " differs from ddjvu's render";
    }
}

TEST_F(DjvuSource, PagesRenderAsDdjvuRendersThemUpright) {
    testing::internal::CaptureStderr();
    // Short side 1280: the photo is portrait, the bitonal page landscape.
    expectPages(dir, doc, {{1280, 1920}, {2560, 1280}});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(DjvuSource, RotatedPageRendersWithItsSidesSwapped) {
    ASSERT_TRUE(test::shell("djvused -e 'select 1; set-rotation 1' -s " + test::quoted(doc)));
    expectPages(dir, doc, {{1920, 1280}, {2560, 1280}});
}

TEST_F(DjvuSource, IndirectDocumentReadsOnlyComponentsBesideIt) {
    const std::string folder = dir.file("indirect");
    std::filesystem::create_directory(folder);
    ASSERT_TRUE(test::shell("djvmcvt -i " + test::quoted(doc) + " " + test::quoted(folder) +
                            " index.djvu"));
    const std::string index = folder + "/index.djvu";
    expectPages(dir, index, {{1280, 1920}, {2560, 1280}});

    // In memory, nothing lies beside it: the document is refused with a reason.
    const auto run = sources::runDjvuInMemory(test::readFile(index), {}, 64);
    EXPECT_EQ(run.pages, 0u);
    EXPECT_EQ(run.error, "an indirect DjVu document's components are not read here");

    // A component gone: its page says which, the other still renders.
    std::filesystem::remove(folder + "/text.djvu");
    testing::internal::CaptureStderr();
    SourceReader reader;
    Image image(0);
    std::string why;
    EXPECT_TRUE(loadPage(resolvePage(index + "/0001"), reader, image, why)) << why;
    EXPECT_FALSE(loadPage(resolvePage(index + "/0002"), reader, image, why));
    EXPECT_EQ(why, "a component of the DjVu document cannot be read: text.djvu");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// The index file with its first component renamed (same length) by rewriting its directory
// through djvulibre's own bzz coder; empty when that failed.
std::vector<std::uint8_t> renamedComponent(const test::TempDir& dir,
                                           const std::vector<std::uint8_t>& index,
                                           const std::string& from, const std::string& to) {
    const std::string tag = "DIRM";
    const auto at = std::search(index.begin(), index.end(), tag.begin(), tag.end());
    if (at == index.end() || index.end() - at < 11) return {};
    const auto pos = static_cast<std::size_t>(at - index.begin());
    const std::size_t size = std::size_t{index[pos + 4]} << 24 | std::size_t{index[pos + 5]} << 16 |
                             std::size_t{index[pos + 6]} << 8 | index[pos + 7];
    if (pos + 8 + size > index.size() || size < 3) return {};
    const auto body = index.begin() + static_cast<std::ptrdiff_t>(pos + 8);
    test::writeFile(dir.file("dirm.bzz"),
                    std::vector<std::uint8_t>(body + 3, body + static_cast<std::ptrdiff_t>(size)));
    if (!test::shell("bzz -d " + test::quoted(dir.file("dirm.bzz")) + " " +
                     test::quoted(dir.file("dirm"))))
        return {};
    std::vector<std::uint8_t> raw = test::readFile(dir.file("dirm"));
    const auto name = std::search(raw.begin(), raw.end(), from.begin(), from.end());
    if (name == raw.end() || from.size() != to.size()) return {};
    std::copy(to.begin(), to.end(), name);
    test::writeFile(dir.file("dirm"), raw);
    if (!test::shell("bzz -e " + test::quoted(dir.file("dirm")) + " " +
                     test::quoted(dir.file("dirm.bzz"))))
        return {};
    const std::vector<std::uint8_t> packed = test::readFile(dir.file("dirm.bzz"));
    auto be32 = [](std::vector<std::uint8_t>& out, std::size_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::uint8_t>(v >> shift));
    };
    const std::size_t dirm = 3 + packed.size();
    std::vector<std::uint8_t> out = {'A', 'T', '&', 'T', 'F', 'O', 'R', 'M'};
    be32(out, 4 + 8 + dirm + dirm % 2);
    for (char c : std::string("DJVMDIRM"))
        out.push_back(static_cast<std::uint8_t>(c));
    be32(out, dirm);
    out.insert(out.end(), body, body + 3);
    out.insert(out.end(), packed.begin(), packed.end());
    if (dirm % 2) out.push_back(0);
    return out;
}

TEST_F(DjvuSource, ComponentNamedOutsideItsFolderIsNeverRead) {
    const std::string folder = dir.file("inner");
    std::filesystem::create_directory(folder);
    ASSERT_TRUE(test::shell("djvmcvt -i " + test::quoted(doc) + " " + test::quoted(folder) +
                            " index.djvu"));
    // The file the renamed component names exists, one folder up: it must not be read.
    std::filesystem::copy_file(folder + "/photo.djvu", dir.file("ph.djvu"));
    const std::vector<std::uint8_t> renamed =
        renamedComponent(dir, test::readFile(folder + "/index.djvu"), "photo.djvu", "../ph.djvu");
    if (renamed.empty()) GTEST_SKIP() << "bzz could not rewrite the directory";
    test::writeFile(folder + "/index.djvu", renamed);
    testing::internal::CaptureStderr();
    SourceReader reader;
    Image image(0);
    std::string why;
    // The whole document is refused, before djvulibre is asked for any component.
    for (const char* page : {"/index.djvu/0001", "/index.djvu/0002"}) {
        EXPECT_FALSE(loadPage(resolvePage(folder + page), reader, image, why));
        EXPECT_EQ(why, "a component of the DjVu document lies outside its folder");
    }
    const ContainerListing listing = listContainer(folder + "/index.djvu");
    EXPECT_TRUE(listing.pages.empty());
    ASSERT_EQ(listing.skipped.size(), 1u);
    EXPECT_EQ(listing.skipped[0].reason,
              "a component of the DjVu document lies outside its folder");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Empty, text, header-only and too-long documents: rows of the refused sources' table. Cut
// anywhere, a document is listed or refused, each page rendered or refused with a reason.
TEST_F(DjvuSource, CutDocumentsListOrRefuseEachPageQuietly) {
    const std::vector<std::uint8_t> whole = test::readFile(doc);
    testing::internal::CaptureStderr();
    for (std::size_t cut = 16; cut < whole.size(); cut += 37) {
        const auto run =
            sources::runDjvuInMemory(std::span<const std::uint8_t>(whole.data(), cut), {}, 64);
        EXPECT_EQ(run.pages == 0, !run.error.empty()) << cut;
        for (std::size_t i = 0; i < run.pages; ++i)
            EXPECT_EQ(run.rendered[i].width == 0, !run.reasons[i].empty()) << cut;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(DjvuNames, RecognisedByExtensionAndNestedOnesLeftOut) {
    EXPECT_EQ(containerKindOfName("a/Book.DJVU"), ContainerKind::Djvu);
    EXPECT_EQ(containerKindOfName("b.djv"), ContainerKind::Djvu);
    EXPECT_EQ(containerKindOfName(".djvu"), ContainerKind::None);
    EXPECT_EQ(containerStem("x/Vol 2.djv"), "Vol 2");
}

TEST(DjvuNames, APageNoDocumentRendersSaysWhoseItWouldBe) {
    SourceReader reader;
    Image image(0);
    std::string why;
    const std::pair<ImageType, const char*> cases[] = {
        {kDjvuPageType, "no such page in the DjVu document"},
        {kPdfPageType, "no such page in the PDF"},
        {0, "no such page in the PDF"},
    };
    for (const auto& [type, said] : cases) {
        PageRef page;
        page.path = "nowhere/0001";
        page.kind = PageKind::Rendered;
        page.type = type;
        EXPECT_FALSE(reader.render(page, image, why));
        EXPECT_EQ(why, said) << type;
    }
}

} // namespace
} // namespace folio
