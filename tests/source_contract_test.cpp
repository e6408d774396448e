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

} // namespace
} // namespace folio
