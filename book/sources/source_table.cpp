#include "book/sources/source_internal.h"

#include <array>

namespace folio::sources {

namespace {

ArchiveMembers listArchiveFile(const std::string& path, const SourceLimits& limits) {
    ArchiveMembers members;
    if (auto handle = ArchiveHandle::openFile(path, members.error))
        members = listArchive(*handle, limits);
    return members;
}

ArchiveMembers listBookFile(const std::string& path, const SourceLimits&) {
    return listBook(path);
}

constexpr std::array<std::string_view, 15> kArchiveNames{
    ".cbz", ".zip", ".cbr",  ".rar",    ".cb7", ".7z",      ".cbt",   ".tar",
    ".tgz", ".tbz", ".tbz2", ".tar.gz", ".txz", ".tar.bz2", ".tar.xz"};
constexpr std::array<std::string_view, 1> kBookNames{".qfb"};
constexpr std::array<std::string_view, 1> kPdfNames{".pdf"};
constexpr std::array<std::string_view, 2> kDjvuNames{".djvu", ".djv"};
constexpr std::array<std::string_view, 1> kEpubNames{".epub"};

constexpr RenderedRow kPdfPages{kPdfPageType, "no such page in the PDF", openPdf};
constexpr RenderedRow kDjvuPages{kDjvuPageType, "no such page in the DjVu document", openDjvu};

constexpr bool kKeepsOrder = true;

// clang-format off
const std::array<ContainerRow, 5> kRows{{
    // kind                   names        list             order        read member   rendered     metadata         inside an archive
    {ContainerKind::Archive, kArchiveNames, listArchiveFile, false,       nullptr,      nullptr,     archiveMetadata, "an archive inside an archive is not read"},
    {ContainerKind::Book,    kBookNames,    listBookFile,    false,       readBookPage, nullptr,     nullptr,         "an archive inside an archive is not read"},
    {ContainerKind::Pdf,     kPdfNames,     listPdf,         kKeepsOrder, nullptr,      &kPdfPages,  pdfMetadata,     "a PDF inside an archive is not read"},
    {ContainerKind::Djvu,    kDjvuNames,    listDjvu,        kKeepsOrder, nullptr,      &kDjvuPages, nullptr,         "a DjVu document inside an archive is not read"},
    {ContainerKind::Epub,    kEpubNames,    listEpub,        kKeepsOrder, nullptr,      nullptr,     epubMetadata,    "an EPUB inside an archive is not read"},
}};
// clang-format on

} // namespace

std::span<const ContainerRow> containerRows() {
    return kRows;
}

const ContainerRow* containerRow(ContainerKind kind) {
    for (const ContainerRow& row : kRows)
        if (row.kind == kind) return &row;
    return nullptr;
}

} // namespace folio::sources
