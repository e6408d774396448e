// What every kind of container owes the book: its pages, whether given as the container, one
// by one as CONTAINER/MEMBER paths, or (for stored pictures) as files of their own, make the
// same book, byte for byte.
#include "book/sources/source.h"
#include "tests/archive_support.h"
#include "tests/djvu_support.h"
#include "tests/epub_support.h"
#include "tests/pdf_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace folio {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ArchiveKind;

test::Color shade(std::uint32_t x, std::uint32_t y) {
    return {static_cast<std::uint8_t>(x * 5), static_cast<std::uint8_t>(y * 3), 120};
}

// Pictures of different sizes and formats, stored out of their natural order.
std::vector<test::ArchiveMember> pictures() {
    return {{"p10.bmp", test::bmp24(36, 50, shade)},
            {"p2.png", test::png24(60, 40, shade)},
            {"p1.bmp", test::bmp24(20, 28, shade)}};
}

struct Kind {
    const char* name;
    // Writes the container into dir; its path, "" to skip the case.
    std::function<std::string(const test::TempDir& dir)> write;
    // Its members are the pictures themselves (not pages rendered from them).
    bool storesPictures = true;
};

std::function<std::string(const test::TempDir&)> archive(ArchiveKind kind, std::string name,
                                                         std::string options = {}) {
    return [=](const test::TempDir& dir) {
        test::writeArchive(dir.file(name), kind, pictures(), options);
        return dir.file(name);
    };
}

std::string made(const test::TempDir& dir, const std::string& out,
                 const std::vector<std::string>& inputs) {
    std::vector<std::string> args = {"make", "-q", "-j", "2", "-o", dir.file(out)};
    args.insert(args.end(), inputs.begin(), inputs.end());
    const test::CliRun run = test::runCli(args);
    EXPECT_EQ(run.code, 0) << out << ": " << run.err;
    return dir.file(out + ".QFB");
}

const Kind kKinds[] = {
    {"zip_stored", archive(ArchiveKind::Zip, "a.cbz", "zip:compression=store")},
    {"zip_deflated", archive(ArchiveKind::Zip, "a.zip")},
    {"sevenzip", archive(ArchiveKind::SevenZip, "a.cb7")},
    {"tar", archive(ArchiveKind::Tar, "a.cbt")},
    {"tar_gz", archive(ArchiveKind::TarGz, "a.tar.gz")},
    {"tar_bz2", archive(ArchiveKind::TarBz2, "a.tar.bz2")},
    {"tar_xz", archive(ArchiveKind::TarXz, "a.tar.xz")},
    {"rar",
     [](const test::TempDir&) {
         const auto rar = test::corpusDir() / "containers" / "ss_testfile.rar5.cbr";
         return !test::corpusDir().empty() && std::filesystem::exists(rar) ? rar.string() : "";
     }},
    {"book",
     [](const test::TempDir& dir) {
         std::vector<std::string> files;
         for (const auto& m : pictures()) {
             files.push_back(dir.file(m.name));
             test::writeFile(files.back(), m.bytes);
         }
         return made(dir, "inner", files);
     }},
    {"pdf",
     [](const test::TempDir& dir) {
         test::writeFile(dir.file("a.pdf"), test::pdfBytes({{40, 60, 20, 30, shade, {}},
                                                            {90, 60, 0, 0, nullptr, {"Ab"}}}));
         return dir.file("a.pdf");
     },
     false},
    {"djvu",
     [](const test::TempDir& dir) {
         return test::haveDjvuTools() ? test::writeDjvu(dir, "a.djvu", 40, 60, 90, 60) : "";
     },
     false},
    {"epub",
     [](const test::TempDir& dir) {
         // Each picture shown by a page of its own, read in the order the pictures are given.
         std::vector<test::EpubItem> items;
         std::vector<std::string> spine;
         for (const auto& m : pictures()) {
             const std::string id = "i" + std::to_string(items.size());
             items.push_back({id, id + ".xhtml", "application/xhtml+xml",
                              test::xhtmlShowing("<img src=\"img/" + m.name + "\"/>")});
             spine.push_back(id);
         }
         auto members = test::epubMembers(items, spine);
         for (const auto& m : pictures())
             members.push_back({"OEBPS/img/" + m.name, m.bytes});
         test::writeArchive(dir.file("a.epub"), ArchiveKind::Zip, members);
         return dir.file("a.epub");
     }},
};

class SourceContract : public testing::TestWithParam<Kind> {};

TEST_P(SourceContract, PagesMakeTheSameBookAsTheContainer) {
    test::TempDir dir;
    const std::string container = GetParam().write(dir);
    if (container.empty()) GTEST_SKIP() << "no " << GetParam().name << " container here";
    const ContainerListing listing = listContainer(container);
    ASSERT_GE(listing.pages.size(), 2u);
    EXPECT_TRUE(listing.skipped.empty());
    const Bytes whole = test::readFile(made(dir, "whole", {container}));
    EXPECT_EQ(test::readFile(made(dir, "paths", listing.pages)), whole);
    if (!GetParam().storesPictures) return;
    std::vector<std::string> files;
    for (const std::string& page : listing.pages) {
        Bytes bytes;
        std::string why;
        ASSERT_TRUE(readSourceBytes(page, bytes, why)) << page << ": " << why;
        std::filesystem::create_directory(dir.file("files"));
        files.push_back(dir.file("files/" + std::to_string(files.size()) + "-" +
                                 memberFileName(page.substr(container.size() + 1))));
        test::writeFile(files.back(), bytes);
    }
    EXPECT_EQ(test::readFile(made(dir, "files", files)), whole);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SourceContract, testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

// A container nothing can be read from is left out whole, with its reason naming it, and
// nothing is printed on the terminal; one refused only for the limits lists without them.
struct Refused {
    const char* name;
    std::function<std::string(const test::TempDir& dir)> write; // as Kind's
    const char* reason;
    SourceLimits limits = {};
};

// The bytes are made when the test runs, not when the table is built: PDFs come from cairo,
// whose fonts would be loaded (and kept, a leak to the sanitizer) by merely listing the tests.
std::function<std::string(const test::TempDir&)> file(std::string name,
                                                      std::function<Bytes()> bytes) {
    return [=](const test::TempDir& dir) {
        test::writeFile(dir.file(name), bytes());
        return dir.file(name);
    };
}

std::function<std::string(const test::TempDir&)> epub(std::vector<test::ArchiveMember> members) {
    return [=](const test::TempDir& dir) {
        test::writeArchive(dir.file("a.epub"), ArchiveKind::Zip, members);
        return dir.file("a.epub");
    };
}

Bytes firstHalf(const Bytes& b) {
    return {b.begin(), b.begin() + static_cast<long>(b.size() / 2)};
}

// The two-page DjVu document, cut to `cut` bytes (0: whole).
std::function<std::string(const test::TempDir&)> djvu(std::size_t cut = 0) {
    return [=](const test::TempDir& dir) -> std::string {
        const std::string doc =
            test::haveDjvuTools() ? test::writeDjvu(dir, "a.djvu", 40, 60, 90, 60) : "";
        if (cut == 0 || doc.empty()) return doc;
        const Bytes whole = test::readFile(doc);
        test::writeFile(doc, Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
        return doc;
    };
}

SourceLimits atMost(std::size_t members, std::uint64_t memberBytes = 0) {
    SourceLimits limits;
    limits.maxMembers = members;
    limits.maxMemberBytes = memberBytes;
    return limits;
}

Bytes threePages() {
    return test::pdfBytes(
        {{50, 50, 0, 0, nullptr, {}}, {50, 50, 0, 0, nullptr, {}}, {50, 50, 0, 0, nullptr, {}}});
}

const Refused kRefused[] = {
    {"pdf_locked", file("a.pdf", test::lockedPdf), "encrypted: PDFs with a password are not read"},
    {"pdf_cut",
     file("a.pdf",
          [] {
              return firstHalf(test::pdfBytes({{200, 300, 0, 0, nullptr, {"a line"}}}));
          }),
     "truncated PDF: its end is missing"},
    {"pdf_story",
     file("a.pdf",
          [] { return test::textBytes("Chapter one.\nIt was a dark and stormy night.\n"); }),
     "not a PDF file"},
    {"pdf_damaged",
     file("a.pdf",
          [] {
              return test::textBytes(
                  "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 9 0 R >>\nendobj\n" +
                  std::string(300, '(') + "\nstartxref\n12345\n%%EOF\n");
          }),
     "damaged PDF: it cannot be read"},
    {"pdf_empty", file("a.pdf", [] { return Bytes{}; }), "not a PDF file"},
    {"pdf_over_page_limit", file("a.pdf", threePages), "more than 2 pages", atMost(2)},
    {"pdf_over_file_limit", file("a.pdf", threePages), "file too large",
     atMost(kMaxArchiveMembers, 100)},
    {"djvu_empty", file("a.djvu", [] { return Bytes{}; }), "not a DjVu file"},
    {"djvu_text", file("a.djvu", [] { return test::textBytes("hello world!!!!!"); }),
     "not a DjVu file"},
    {"djvu_header_only", djvu(16), "damaged DjVu document: it cannot be read"},
    {"djvu_over_page_limit", djvu(), "more than 1 pages", atMost(1)},
    {"epub_text_only",
     epub(test::epubMembers({{"a", "a.xhtml", "application/xhtml+xml", test::xhtmlShowing("<p/>")}},
                            {"a"})),
     "the EPUB has no pictures: a book of text only gives no pages"},
    {"epub_without_container", epub({{"OEBPS/a.png", test::png24(4, 4, shade)}}),
     "not an EPUB: it has no META-INF/container.xml"},
    {"epub_without_package",
     epub({{"META-INF/container.xml",
            test::textBytes("<container><rootfiles><rootfile "
                            "full-path=\"x.opf\"/></rootfiles></container>")}}),
     "its package document is missing"},
};

class RefusedSource : public testing::TestWithParam<Refused> {};

TEST_P(RefusedSource, IsLeftOutWholeWithItsReasonAndNothingPrinted) {
    test::TempDir dir;
    const std::string container = GetParam().write(dir);
    if (container.empty()) GTEST_SKIP() << "no " << GetParam().name << " container here";
    testing::internal::CaptureStderr();
    const ContainerListing listing = listContainer(container, GetParam().limits);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(listing.pages.empty());
    ASSERT_EQ(listing.skipped.size(), 1u);
    EXPECT_EQ(listing.skipped[0].path, container);
    EXPECT_EQ(listing.skipped[0].reason, GetParam().reason);
    const SourceLimits& limits = GetParam().limits;
    if (limits.maxMembers != kMaxArchiveMembers || limits.maxMemberBytes != 0) {
        EXPECT_FALSE(listContainer(container).pages.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, RefusedSource, testing::ValuesIn(kRefused),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace folio
