// EPUB books as sources of pages: the first picture of each spine item, in reading order,
// read as a member of the EPUB; parts without a picture left out with a reason.
#include "book/sources/metadata.h"
#include "book/sources/source.h"
#include "tests/epub_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

namespace folio {
namespace {

test::Color tint(std::uint32_t x, std::uint32_t y) {
    return {static_cast<std::uint8_t>(x * 7), static_cast<std::uint8_t>(y * 5), 60};
}

const std::string kSvgPage =
    "<?xml version=\"1.0\"?><html xmlns=\"http://www.w3.org/1999/xhtml\"><body>"
    "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\">"
    "<image width=\"10\" height=\"10\" xlink:href=\"../img/b.png\"/></svg></body></html>";

// Pictures stored before the documents and in another order than the spine reads them.
std::vector<test::ArchiveMember> bookMembers() {
    std::vector<test::ArchiveMember> members = test::epubMembers(
        {{"c1", "text/ch1.xhtml", "application/xhtml+xml",
          test::xhtmlShowing("<p>One</p><div><img src=\"../img/p%20one.bmp#x\" alt=\"\"/></div>"
                             "<img src=\"../img/b.png\"/>")},
         {"c2", "text/ch2.xhtml", "application/xhtml+xml", kSvgPage},
         {"pic", "img/c.bmp", "image/bmp", ""},
         {"notes", "text/notes.xhtml", "application/xhtml+xml", test::xhtmlShowing("<p>x</p>")},
         {"b", "img/b.png", "image/png", ""},
         {"p1", "img/p one.bmp", "image/bmp", ""}},
        {"c2", "pic", "notes", "c1"},
        "<dc:title>The  Tale</dc:title><dc:creator>A. Writer</dc:creator>");
    members.insert(members.begin() + 1, {{"OEBPS/img/c.bmp", test::bmp24(30, 40, tint)},
                                         {"OEBPS/img/p one.bmp", test::bmp24(20, 30, tint)},
                                         {"OEBPS/img/b.png", test::png24(40, 30, tint)}});
    return members;
}

TEST(EpubSource, PagesFollowTheSpineWithTheirFirstPictures) {
    test::TempDir dir;
    const std::string epub = dir.file("book.epub");
    test::writeArchive(epub, test::ArchiveKind::Zip, bookMembers());
    const ContainerListing listing = listContainer(epub);
    EXPECT_EQ(listing.pages,
              (std::vector<std::string>{epub + "/OEBPS/img/b.png", epub + "/OEBPS/img/c.bmp",
                                        epub + "/OEBPS/img/p one.bmp"}));
    ASSERT_EQ(listing.skipped.size(), 1u);
    EXPECT_EQ(listing.skipped[0].path, epub + "/OEBPS/text/notes.xhtml");
    EXPECT_EQ(listing.skipped[0].reason, "no picture on this page");
    // Each page is read as a member of the EPUB, its bytes the picture's own.
    const std::vector<test::ArchiveMember> members = bookMembers();
    for (const std::string& page : listing.pages) {
        const PageRef ref = resolvePage(page);
        EXPECT_EQ(ref.kind, PageKind::Member) << page;
        EXPECT_EQ(ref.source.container, epub);
        std::vector<std::uint8_t> bytes;
        std::string why;
        ASSERT_TRUE(readSourceBytes(page, bytes, why)) << page << ": " << why;
        for (const auto& m : members) {
            if (m.name == ref.source.member) {
                EXPECT_EQ(bytes, m.bytes) << page;
            }
        }
    }
    BookMetadata meta;
    std::string warning;
    EXPECT_TRUE(readContainerMetadata(epub, meta, warning)) << warning;
    EXPECT_EQ(meta.title, "The Tale");
    EXPECT_EQ(meta.author, "A. Writer");
}

TEST(EpubSource, PartsWithoutAPictureOfTheirOwnAreLeftOutWithAReason) {
    struct Case {
        const char* name;
        std::string body;
        const char* reason;
    };
    const Case cases[] = {
        {"climbs out", test::xhtmlShowing("<img src=\"../../../../etc/x.png\"/>"),
         "its picture is not a file in the EPUB"},
        {"absolute", test::xhtmlShowing("<img src=\"/OEBPS/img/b.png\"/>"),
         "its picture is not a file in the EPUB"},
        {"data URL", test::xhtmlShowing("<img src=\"data:image/png;base64,AAAA\"/>"),
         "its picture is not a file in the EPUB"},
        {"missing", test::xhtmlShowing("<img src=\"../img/none.png\"/>"),
         "its picture is missing from the EPUB"},
        {"no type", test::xhtmlShowing("<img src=\"../img/b.txt\"/>"),
         "its picture's name gives no image type"},
        {"entity",
         "<?xml version=\"1.0\"?><!DOCTYPE html [<!ENTITY a \"b\">]><html><img "
         "src=\"../img/b.png\"/></html>",
         "it has a document type declaration (<!DOCTYPE), which is not read"},
        {"public doctype with subset",
         "<!DOCTYPE html PUBLIC \"x\" \"y\" [ ]><html><img src=\"../img/b.png\"/></html>",
         "it has a document type declaration (<!DOCTYPE), which is not read"},
        {"two doctypes", "<!DOCTYPE html><!DOCTYPE html><html><img src=\"../img/b.png\"/></html>",
         "it has a document type declaration (<!DOCTYPE), which is not read"},
        {"not XML", "<html><img src=\"a.png\"></html>", "not well-formed XML"},
        {"too large", test::xhtmlShowing(std::string(kMaxMetadataBytes, ' ')), "larger than 1 MiB"},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        const std::string epub = dir.file("b.epub");
        auto members = test::epubMembers({{"x", "text/x.xhtml", "application/xhtml+xml", c.body},
                                          {"ok", "text/ok.xhtml", "application/xhtml+xml",
                                           test::xhtmlShowing("<img src=\"../img/b.png\"/>")}},
                                         {"x", "ok"});
        members.push_back({"OEBPS/img/b.png", test::png24(4, 4, tint)});
        members.push_back({"OEBPS/img/b.txt", test::textBytes("no")});
        test::writeArchive(epub, test::ArchiveKind::Zip, members);
        const ContainerListing listing = listContainer(epub);
        EXPECT_EQ(listing.pages, std::vector<std::string>{epub + "/OEBPS/img/b.png"}) << c.name;
        ASSERT_EQ(listing.skipped.size(), 1u) << c.name;
        EXPECT_EQ(listing.skipped[0].path, epub + "/OEBPS/text/x.xhtml") << c.name;
        EXPECT_EQ(listing.skipped[0].reason, c.reason) << c.name;
    }
}

TEST(EpubParsers, SpineAndFirstPicture) {
    std::vector<sources::SpineItem> spine;
    std::string why;
    const std::string opf =
        "<package><manifest><item id=\"a\" href=\"x.xhtml\" media-type=\"application/xhtml+xml\"/>"
        "<item id=\"b\" href=\"y.png\" media-type=\"image/png\"/></manifest>"
        "<spine><itemref idref=\"b\"/><itemref idref=\"gone\"/><itemref idref=\"a\"/></spine>"
        "</package>";
    ASSERT_TRUE(sources::parseOpfSpine(test::textBytes(opf), spine, why)) << why;
    EXPECT_EQ(spine, (std::vector<sources::SpineItem>{
                         {"y.png", "image/png"}, {}, {"x.xhtml", "application/xhtml+xml"}}));
    EXPECT_FALSE(sources::parseOpfSpine(test::textBytes("<package/>"), spine, why));
    EXPECT_EQ(why, "it has no spine");

    std::string href;
    ASSERT_TRUE(sources::firstPicture(
        test::textBytes("<svg><image href=\"a.jpg\"/><image href=\"b.jpg\"/></svg>"), href, why));
    EXPECT_EQ(href, "a.jpg");
    ASSERT_TRUE(sources::firstPicture(test::textBytes("<html><p/></html>"), href, why));
    EXPECT_EQ(href, "");
}

TEST(EpubNames, RecognisedAndLeftOutInsideArchives) {
    EXPECT_EQ(containerKindOfName("x/A.EPUB"), ContainerKind::Epub);
    EXPECT_EQ(containerStem("Tale.epub"), "Tale");
    test::TempDir dir;
    test::writeArchive(dir.file("a.cbz"), test::ArchiveKind::Zip,
                       {{"a.bmp", test::bmp24(4, 4, tint)},
                        {"b.epub", test::textBytes("x")},
                        {"c.djvu", test::textBytes("x")}});
    const ContainerListing listing = listContainer(dir.file("a.cbz"));
    ASSERT_EQ(listing.skipped.size(), 2u);
    EXPECT_EQ(listing.skipped[0].reason, "an EPUB inside an archive is not read");
    EXPECT_EQ(listing.skipped[1].reason, "a DjVu document inside an archive is not read");
}

} // namespace
} // namespace folio
