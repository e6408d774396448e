// Where a page's bytes come from: an ordinary file, or a member of a container (a comic
// archive, a .QFB book, a PDF, a DjVu document or an EPUB) named CONTAINER_PATH/MEMBER_PATH.
// Nothing is ever written from a container: a member's name is only a name.
#pragma once

#include "book/base/report.h"
#include "book/image/image_type.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace folio {

// More entries than this and an archive is refused rather than listed.
inline constexpr std::size_t kMaxArchiveMembers = 100'000;

struct SourceLimits {
    std::size_t maxMembers = kMaxArchiveMembers;
    std::uint64_t maxMemberBytes = 0; // 0: the loader's file limit (kMaxFileBytes)
};

// A PDF or DjVu page has no bytes of its own to decode: it is rendered. Its rows carry one of
// these types, which name no file format and no extension.
inline constexpr ImageType kPdfPageType = 100;
inline constexpr ImageType kDjvuPageType = 101;
// A rendered page is this many pixels high once upright (a portrait page turned a quarter),
// twice the book's page height, so scaling down keeps text sharp.
inline constexpr std::uint32_t kPdfRenderHeight = 1280;

enum class ContainerKind { None, Archive, Book, Pdf, Djvu, Epub };

// By name alone (.cbz .zip .cbr .rar .cb7 .7z .cbt .tar .tar.gz .tgz ... .qfb .pdf .djvu .djv
// .epub, any case).
ContainerKind containerKindOfName(std::string_view path);

// The name of a container or folder without its folders and its container extension:
// "a/vol1.cbz" -> "vol1", "x.tar.gz" -> "x", "Vol 1/" -> "Vol 1".
std::string containerStem(std::string_view path);

// A path split into the container it lies in and the member inside it. A path that names an
// existing file is that file (member empty); otherwise the longest leading part that is an
// existing regular file with a container's name is the container.
struct SourcePath {
    std::string container; // empty: an ordinary file (or nothing that exists)
    ContainerKind kind = ContainerKind::None;
    std::string member;
    bool isMember() const { return !container.empty(); }
    bool operator==(const SourcePath&) const = default;
};
SourcePath resolveSourcePath(const std::string& path);

// What a page's path names, worked out once (a few stat calls) when the page is added or
// listed, and carried with it from then on: nothing after that asks the file system again.
enum class PageKind {
    None,     // the name gives no image type: never opened
    File,     // an ordinary file (or a path that does not exist)
    Member,   // a member of an archive or book, read through its container
    Rendered, // a document's page, rendered rather than decoded
};
struct PageRef {
    std::string path; // as the rows, the messages and the progress name it
    PageKind kind = PageKind::None;
    ImageType type = 0;
    SourcePath source; // the container and member, for a member or a rendered page
    bool operator==(const PageRef&) const = default;
};
PageRef resolvePage(const std::string& path);

// True when path names an existing regular file whose name is a container's.
bool isContainerFile(const std::string& path);

// The pages of a container as paths CONTAINER/MEMBER, in natural order of the member paths,
// with what was left out and why (the container itself when it cannot be read).
struct ContainerListing {
    std::vector<std::string> pages;
    std::vector<SkippedRow> skipped;
};
ContainerListing listContainer(const std::string& path, const SourceLimits& limits = {});

// Every container among paths replaced in place by its pages; what the listings left out
// is appended to skipped. Other paths stay as they are.
void expandContainers(std::vector<std::string>& paths, std::vector<SkippedRow>& skipped);

// Page i (from 0) of a book as a member: "0001.jpg", "0002.jpg", ...
std::string bookPageName(std::size_t index);
// Page i (from 0) of a rendered document (PDF, DjVu) as a member: "0001", "0002", ...
std::string pdfPageName(std::size_t index);

// The image type of a page's path: from its extension, as for any file; a rendered document's
// page (DOCUMENT_PATH/NNNN, with no extension of its own) is its kind's page type.
ImageType pageTypeOfPath(const std::string& path);

// The name a member's row shows: the last part of its member path.
std::string memberFileName(std::string_view member);

// Reads the bytes of files and members for one command. An archive opened for one member
// stays open for the next, so members read in their archive's order cost one pass over it
// (a solid or compressed archive is never decompressed once per member). Safe to share
// between threads; members are read one at a time, ordinary files in parallel.
class SourceReader {
  public:
    explicit SourceReader(SourceLimits limits = {});
    ~SourceReader();
    SourceReader(const SourceReader&) = delete;
    SourceReader& operator=(const SourceReader&) = delete;

    // The paths about to be read, in the order they will mostly be asked for: a member of
    // these passed on the way to another one is kept for its reader (within a memory
    // budget) instead of being decompressed again.
    void expect(const std::vector<std::string>& paths);
    // The whole file or member, refused past the size limit while it is being read.
    bool read(const PageRef& page, std::vector<std::uint8_t>& out, std::string& reason);
    bool read(const std::string& path, std::vector<std::uint8_t>& out, std::string& reason) {
        return read(resolvePage(path), out, reason);
    }

    // A rendered page: the size it renders at, without rendering, and its share of its
    // document's bytes (the file's size over its pages), for its row.
    bool probeRendered(const PageRef& page, ImageFacts& facts, std::uint64_t& shareBytes,
                       std::string& reason);
    // Renders the page, 24-bit, at the size probeRendered gives. Each thread renders from
    // documents of its own, so pages of one document render in parallel.
    bool render(const PageRef& page, Image& out, std::string& reason);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// One path's bytes with a reader of its own.
bool readSourceBytes(const std::string& path, std::vector<std::uint8_t>& out, std::string& reason);

// What a page's row shows: the picture's width, height and depth from its headers alone (a
// rendered page: the size it renders at), and for a member or rendered page its file name and
// bytes (a member's size, a rendered page's share of its document). decode: from the whole
// picture instead, so a damaged one is found.
struct PageFacts {
    ImageFacts picture;
    std::string memberName; // empty for an ordinary file
    std::uint64_t bytes = 0;
};
bool probePage(const PageRef& page, SourceReader& sources, PageFacts& facts, std::string& reason,
               bool decode = false);

// The whole picture of a page: a file or member decoded, a rendered page rendered.
bool loadPage(const PageRef& page, SourceReader& sources, Image& out, std::string& reason);

namespace sources {
// Archive reading over bytes in memory, for the fuzz target: the listing as member names
// (not paths), and each listed member read in turn.
struct MemoryArchiveRun {
    std::vector<std::string> members;
    std::vector<std::size_t> sizes; // per member; SIZE_MAX when its read was refused
    std::string error;
};
MemoryArchiveRun runArchiveInMemory(std::span<const std::uint8_t> data, const SourceLimits& limits);

// The ZIP reader over bytes in memory: the archive listed as for any archive, then every
// listed member read through the ZIP reader where it takes it.
struct MemoryZipRun {
    std::vector<std::string> members;
    std::vector<std::size_t> sizes;   // per member; SIZE_MAX when not read
    std::vector<std::string> reasons; // per member; empty when read, or not the ZIP reader's
    bool opened = false;              // the ZIP reader took the archive at all
};
MemoryZipRun runZipInMemory(std::span<const std::uint8_t> data, const SourceLimits& limits);

// The same for a PDF in memory: its pages listed, each sized and rendered renderHeight high
// once upright (small for the fuzz target; the code path is the one of the real height).
struct MemoryPdfRun {
    std::size_t pages = 0;
    std::vector<ImageFacts> rendered; // per page; all zero when refused
    std::vector<std::string> reasons; // per page; empty when rendered
    std::string error;                // the PDF cannot be read
};
MemoryPdfRun runPdfInMemory(std::span<const std::uint8_t> data, const SourceLimits& limits,
                            std::uint32_t renderHeight);
// The same for a DjVu document in memory (an indirect one's components are refused).
using MemoryDjvuRun = MemoryPdfRun;
MemoryDjvuRun runDjvuInMemory(std::span<const std::uint8_t> data, const SourceLimits& limits,
                              std::uint32_t renderHeight);
// The EPUB listing over bytes in memory: its pages as member paths, in reading order, and the
// reasons of what was left out.
struct MemoryEpubRun {
    std::vector<std::string> pages;
    std::vector<std::string> leftOut;
    std::string error;
};
MemoryEpubRun runEpubInMemory(std::span<const std::uint8_t> data, const SourceLimits& limits);
} // namespace sources

} // namespace folio
