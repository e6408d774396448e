#include "book/sources/metadata.h"
#include "tests/archive_support.h"
#include "tests/pdf_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <chrono>

namespace folio {
namespace {

using test::ArchiveKind;

std::span<const std::uint8_t> bytesOf(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string comicInfo(const std::string& body) {
    return "<ComicInfo>" + body + "</ComicInfo>";
}

// ComicInfo whose elements nest `levels` deep, the root counted, with a title at the top.
std::string nested(std::size_t levels) {
    std::string open, close;
    for (std::size_t i = 1; i < levels; ++i)
        open += "<a>", close += "</a>";
    return comicInfo("<Title>Deep</Title>" + open + "x" + close);
}

const std::string kBillionLaughs = [] {
    std::string dtd = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol \"lol\">\n";
    for (int i = 1; i <= 9; ++i) {
        dtd += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k)
            dtd += i == 1 ? "&lol;" : "&lol" + std::to_string(i - 1) + ";";
        dtd += "\">\n";
    }
    return dtd + "]>\n<ComicInfo><Title>&lol9;</Title></ComicInfo>";
}();

// The three documents the metadata reader parses; a package container's result is the path
// of its package document, checked as the title.
enum class Xml { ComicInfo, Opf, Container };

struct XmlCase {
    const char* name;
    std::string xml;
    std::string title, author;
    bool rtl = false;
    const char* warning = ""; // part of the warning expected; "" for none
};

std::string opf(const std::string& metadata, const std::string& spine = "<spine/>") {
    return "<?xml version=\"1.0\"?><package xmlns=\"http://www.idpf.org/2007/opf\" "
           "version=\"3.0\"><metadata xmlns:dc=\"http://purl.org/dc/elements/1.1/\">" +
           metadata + "</metadata><manifest/>" + spine + "</package>";
}

std::string container(const std::string& rootfiles) {
    return "<container xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\" "
           "version=\"1.0\"><rootfiles>" +
           rootfiles + "</rootfiles></container>";
}

const std::string kOpfType = "media-type=\"application/oebps-package+xml\"";

// Stale values going in: whatever a parse finds or refuses, none is left over.
bool parse(Xml kind, const std::string& xml, BookMetadata& meta, std::string& warning) {
    meta = {"stale", "stale", true};
    warning = "stale";
    switch (kind) {
    case Xml::ComicInfo:
        return sources::parseComicInfo(bytesOf(xml), meta, warning);
    case Xml::Opf:
        return sources::parseOpf(bytesOf(xml), meta, warning);
    case Xml::Container:
        meta = {"stale", "", false};
        return sources::parseEpubContainer(bytesOf(xml), meta.title, warning);
    }
    return false;
}

TEST(Metadata, XmlDocuments) {
    using enum Xml;
    const std::vector<std::pair<Xml, std::vector<XmlCase>>> tables = {
        {ComicInfo,
         {{"series and number",
           comicInfo("<Title>Not this</Title><Series>Harbour Lights</Series>"
                     "<Number>12</Number><Writer>Ann Writer</Writer>"),
           "Harbour Lights 12", "Ann Writer"},
          {"series alone", comicInfo("<Title>Not this</Title><Series>Harbour Lights</Series>"),
           "Harbour Lights", ""},
          {"number without series", comicInfo("<Title>The Title</Title><Number>3</Number>"),
           "The Title", ""},
          {"title only", comicInfo("<Title>The Title</Title>"), "The Title", ""},
          {"BOM, declaration, spaces and line breaks",
           "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" +
               comicInfo("\n  <Title>\n\t Spaced \n  Out\t</Title>\n  <Writer> W </Writer>\n"),
           "Spaced Out", "W"},
          {"default namespace and schema attributes",
           "<ComicInfo xmlns=\"urn:x\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
           "<Title>T</Title></ComicInfo>",
           "T", ""},
          {"prefixed namespace",
           "<c:ComicInfo xmlns:c=\"urn:x\"><c:Title>T</c:Title></c:ComicInfo>", "T", ""},
          {"manga right to left", comicInfo("<Manga> YesAndRightToLeft </Manga>"), "", "", true},
          {"manga left to right", comicInfo("<Title>T</Title><Manga>Yes</Manga>"), "T", ""},
          {"escapes, CDATA and character references",
           comicInfo("<Title>Caf&#xE9; &amp; <![CDATA[<Co>]]></Title><Writer>渡辺</Writer>"),
           "Café & <Co>", "渡辺"},
          {"empty", comicInfo("<Title>  </Title>"), "", ""},
          {"an entity no DTD declares stays text", comicInfo("<Title>&lol9;</Title>"), "&lol9;",
           ""},
          {"bad bytes in an unused field", comicInfo("<Summary>\xFF</Summary><Title>T</Title>"),
           "T", ""},
          {"not ComicInfo", "<Book><Title>T</Title></Book>", "", "", false, "not a ComicInfo"},
          {"not well-formed", comicInfo("<Title>T</Titel>"), "", "", false, "not well-formed"},
          {"not XML", "PK\x03\x04", "", "", false, "not well-formed"},
          // A billion laughs is refused by its DTD before any parsing; deep nesting is parsed (a
          // megabyte at most) and walked without recursion: neither can blow the stack or the
          // heap. How little they cost is measured by hand, not timed here.
          {"billion laughs", kBillionLaughs, "", "", false, "DOCTYPE"},
          {"2 MiB", comicInfo("<Title>T</Title><!--" + std::string(2 << 20, 'x') + "-->"), "", "",
           false, "1 MiB"},
          {"64 levels", nested(64), "Deep", ""},
          {"65 levels", nested(65), "", "", false, "nested more than 64"},
          {"100000 levels", nested(100'000), "", "", false, "nested more than 64"},
          {"invalid UTF-8", comicInfo("<Title>bad \xC3\x28</Title>"), "", "", false, "UTF-8"},
          {"overlong UTF-8", comicInfo("<Writer>\xC0\xAF</Writer>"), "", "", false, "UTF-8"},
          {"surrogate reference", comicInfo("<Title>&#xD800;</Title>"), "", "", false, "UTF-8"},
          {"UTF-16", "\xFF\xFE<", "", "", false, "not UTF-8"},
          {"title too long", comicInfo("<Title>" + std::string(5000, 'a') + "</Title>"), "", "",
           false, "longer than 4096"}}},
        {Opf,
         {{"first title and creator",
           opf("<dc:identifier>x</dc:identifier><dc:title> A Tale </dc:title><dc:title>B</dc:title>"
               "<dc:creator opf:role=\"aut\">Ann</dc:creator><dc:creator>Bob</dc:creator>"),
           "A Tale", "Ann"},
          {"right to left",
           opf("<dc:title>T</dc:title>", "<spine page-progression-direction=\"rtl\"/>"), "T", "",
           true},
          {"another prefix for Dublin Core",
           "<package><metadata xmlns:d=\"http://purl.org/dc/elements/1.1/\"><d:title>T</d:title>"
           "</metadata></package>",
           "T", ""},
          {"a title outside Dublin Core",
           opf("<title>Not this</title><x:title xmlns:x=\"urn:x\"/>"), "", ""},
          {"not a package", "<ComicInfo><Title>T</Title></ComicInfo>", "", "", false,
           "not an OPF package"},
          {"invalid UTF-8", opf("<dc:creator>\xE2\x82</dc:creator>"), "", "", false, "UTF-8"},
          {"DOCTYPE", "<!DOCTYPE package>" + opf("<dc:title>T</dc:title>"), "", "", false,
           "DOCTYPE"}}},
        {Container,
         {{"one package", container("<rootfile full-path=\"OEBPS/content.opf\" " + kOpfType + "/>"),
           "OEBPS/content.opf", ""},
          {"the package among other renditions",
           container("<rootfile full-path=\"a.pdf\" media-type=\"application/pdf\"/>"
                     "<rootfile full-path=\"b.opf\" " +
                     kOpfType + "/>"),
           "b.opf", ""},
          {"no media type", container("<rootfile full-path=\"only.opf\"/>"), "only.opf", ""},
          {"no rootfile", container(""), "", "", false, "no package document"},
          {"line break in the name", container("<rootfile full-path=\"a&#10;b.opf\"/>"), "", "",
           false, "not a valid name"}}}};
    for (const auto& [kind, cases] : tables)
        for (const XmlCase& c : cases) {
            SCOPED_TRACE(c.name);
            BookMetadata meta;
            std::string warning;
            const bool found = parse(kind, c.xml, meta, warning);
            EXPECT_EQ(meta.title, c.title);
            EXPECT_EQ(meta.author, c.author);
            EXPECT_EQ(meta.rightToLeft, c.rtl);
            EXPECT_EQ(found, !c.title.empty() || !c.author.empty() || c.rtl);
            if (*c.warning)
                EXPECT_NE(warning.find(c.warning), std::string::npos) << warning;
            else
                EXPECT_EQ(warning, "");
        }
}

TEST(Metadata, ComicInfoInArchives) {
    test::TempDir dir;
    const auto page = test::textBytes("not read");
    const std::string good = comicInfo("<Series>S</Series><Number>2</Number><Writer>W</Writer>");
    const struct {
        const char* name;
        ArchiveKind kind;
        std::vector<test::ArchiveMember> members;
        const char* title;
        const char* warning;
    } cases[] = {
        {"a.cbz",
         ArchiveKind::Zip,
         {{"p1.jpg", page}, {"ComicInfo.xml", test::textBytes(good)}},
         "S 2",
         ""},
        {"b.cbz",
         ArchiveKind::Zip,
         {{"COMICINFO.XML", test::textBytes(good)}, {"p1.jpg", page}},
         "S 2",
         ""},
        {"c.cb7",
         ArchiveKind::SevenZip,
         {{"p1.jpg", page}, {"comicinfo.xml", test::textBytes(good)}},
         "S 2",
         ""},
        {"d.tar.gz", ArchiveKind::TarGz, {{"./ComicInfo.xml", test::textBytes(good)}}, "S 2", ""},
        {"e.cbz",
         ArchiveKind::Zip,
         {{"sub/ComicInfo.xml", test::textBytes(good)}, {"p1.jpg", page}},
         "",
         ""},
        {"f.cbz", ArchiveKind::Zip, {{"ComicInfo.xml/", {}}, {"p1.jpg", page}}, "", ""},
        {"g.cbz",
         ArchiveKind::Zip,
         {{"ComicInfo.xml",
           test::textBytes(comicInfo("<Title>" + std::string(2 << 20, 'x') + "</Title>"))}},
         "",
         "ComicInfo.xml ignored: larger than 1 MiB"},
        {"h.cbz",
         ArchiveKind::Zip,
         {{"comicInfo.xml", test::textBytes("<ComicInfo>")}},
         "",
         "comicInfo.xml ignored: not well-formed XML"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.file(c.name);
        test::writeArchive(path, c.kind, c.members);
        BookMetadata meta;
        std::string warning;
        EXPECT_EQ(readContainerMetadata(path, meta, warning), *c.title != '\0') << c.name;
        EXPECT_EQ(meta.title, c.title) << c.name;
        EXPECT_EQ(meta.author, *c.title ? "W" : "") << c.name;
        EXPECT_EQ(warning, c.warning) << c.name;
    }
}

TEST(Metadata, PdfTitleAndAuthor) {
    test::TempDir dir;
    const test::PdfPage page{100, 150, 0, 0, nullptr, {"x"}};
    const struct {
        std::string title, author, wantTitle;
    } cases[] = {
        {"A Plain Title", "Ann Author", "A Plain Title"},
        {"日本語のタイトル — Ω", "渡辺 一", "日本語のタイトル — Ω"},
        {"  Spaced\nTitle ", "", "Spaced Title"},
        {"", "", ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string path = dir.file("doc" + std::to_string(++n) + ".pdf");
        test::writeFile(path, test::pdfBytes({page}, c.title, c.author));
        BookMetadata meta;
        std::string warning;
        EXPECT_EQ(readContainerMetadata(path, meta, warning), !c.wantTitle.empty()) << c.title;
        EXPECT_EQ(meta.title, c.wantTitle);
        EXPECT_EQ(meta.author, c.author);
        EXPECT_FALSE(meta.rightToLeft);
        EXPECT_EQ(warning, "");
    }
}

TEST(Metadata, NothingToReadIsNoWarning) {
    test::TempDir dir;
    test::writeFile(dir.file("broken.cbz"), std::string("PK not really"));
    test::writeFile(dir.file("broken.pdf"), std::string("%PDF-1.4 nothing\n%%EOF"));
    test::writeFile(dir.file("page.jpg"), std::string("jpeg"));
    for (const char* name : {"broken.cbz", "broken.pdf", "page.jpg", "missing.cbz", "book.qfb"}) {
        BookMetadata meta;
        std::string warning;
        EXPECT_FALSE(readContainerMetadata(dir.file(name), meta, warning)) << name;
        EXPECT_EQ(warning, "") << name;
    }
}

} // namespace
} // namespace folio
