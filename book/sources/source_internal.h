// The readers behind the source layer: libarchive archives, .QFB books, PDFs (poppler), DjVu
// documents (djvulibre) and EPUB books, and the table that names them.
#pragma once

#include "book/sources/source.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

struct archive;
struct zip;
namespace poppler {
class document;
}

namespace folio {
struct BookMetadata;
}

namespace folio::sources {

std::uint64_t memberByteLimit(const SourceLimits& limits);

// What a member's name makes of it.
enum class MemberRole { Page, Ignored, Nested };
MemberRole memberRole(std::string_view member);

// One pass over an archive, entry by entry, never holding more than libarchive's buffers.
class ArchiveHandle {
  public:
    static std::unique_ptr<ArchiveHandle> openFile(const std::string& path, std::string& why);
    static std::unique_ptr<ArchiveHandle> openMemory(std::span<const std::uint8_t> data,
                                                     std::string& why);
    ~ArchiveHandle();
    ArchiveHandle(const ArchiveHandle&) = delete;
    ArchiveHandle& operator=(const ArchiveHandle&) = delete;

    struct Entry {
        std::string name;
        bool regular = false; // a plain file (not a folder, link or device)
        bool encrypted = false;
        bool sizeKnown = false;
        std::uint64_t size = 0;
    };
    enum class Step { Entry, End, Error };
    // The next entry's header; the data of the one before is skipped.
    Step next(Entry& entry, std::string& why);
    // The current entry's data, refused once it passes maxBytes or the size its header gave.
    bool readData(const Entry& entry, std::uint64_t maxBytes, std::vector<std::uint8_t>& out,
                  std::string& why);

  private:
    ArchiveHandle();
    static std::unique_ptr<ArchiveHandle> make(std::string& why);
    bool opened(int status, std::string& why);
    struct archive* a_ = nullptr;
};

// The pages of an archive in its own order (first of each name), and what was left out.
struct ArchiveMembers {
    std::vector<std::string> pages;
    std::vector<std::pair<std::string, std::string>> leftOut; // member, reason
    std::string error;                                        // the archive cannot be read
};
ArchiveMembers listArchive(ArchiveHandle& handle, const SourceLimits& limits);

// A ZIP's members by random access (libzip), for the kinds nearly every comic archive holds:
// stored or deflated, not encrypted. Only the compressed bytes are read here, one member at
// a time; they are unpacked on the caller's thread (libdeflate, much cheaper than zlib), so
// the members of one archive inflate in parallel. Whatever this does not take (other methods,
// names in an old code page, a name given twice) is libarchive's. The listing is always
// libarchive's: this only reads what it lists.
class ZipDirectory {
  public:
    // Null when the file is no ZIP libzip can read; libarchive then says why.
    static std::unique_ptr<ZipDirectory> openFile(const std::string& path);
    // The bytes must outlive the directory.
    static std::unique_ptr<ZipDirectory> openMemory(std::span<const std::uint8_t> data);

    struct Packed {
        std::vector<std::uint8_t> bytes;
        std::uint64_t size = 0; // once unpacked, as the central directory says
        std::uint32_t crc = 0;
        bool deflated = false;
    };
    enum class Fetch { Done, NotMine, Failed };
    // The member's compressed bytes, refused before anything is allocated when its sizes
    // are past maxBytes or cannot be true.
    Fetch fetch(std::string_view member, std::uint64_t maxBytes, Packed& packed, std::string& why);

  private:
    ZipDirectory() = default;
    struct Discard {
        void operator()(struct zip* za) const;
    };
    static std::unique_ptr<ZipDirectory> indexed(struct zip* opened, std::uint64_t archiveBytes);
    static constexpr std::uint64_t kTwice = std::numeric_limits<std::uint64_t>::max();
    std::unique_ptr<struct zip, Discard> za_;
    std::unordered_map<std::string, std::uint64_t> index_; // name -> entry, or kTwice
    std::uint64_t archiveBytes_ = 0;
};
// Inflates (if deflated) into out, exactly the size the directory gave, and checks the CRC.
bool unpackZipMember(ZipDirectory::Packed& packed, std::vector<std::uint8_t>& out,
                     std::string& why);

// Books: pages NNNN.jpg from the header's page table.
ArchiveMembers listBook(const std::string& path);
bool readBookPage(const std::string& path, const std::string& member, std::uint64_t maxBytes,
                  std::vector<std::uint8_t>& out, std::string& why);

// A document whose pages are rendered rather than decoded. Its libraries must not render one
// document from two threads at once: each thread uses documents it opened itself.
class RenderedDocument {
  public:
    virtual ~RenderedDocument() = default;
    virtual std::size_t pages() const = 0;
    // The pixel size page `index` renders at so that, upright, it is `height` high; refused
    // past the pixel limits, before anything is rendered.
    virtual bool renderSize(std::size_t index, std::uint32_t height, ImageFacts& facts,
                            std::string& why) const = 0;
    virtual bool render(std::size_t index, std::uint32_t height, Image& out,
                        std::string& why) const = 0;
};

// Every page of a document rendered renderHeight high, into a run for the fuzz targets.
void renderEveryPage(const RenderedDocument& doc, std::uint32_t renderHeight, MemoryPdfRun& run);

// The rule every rendered page follows: a page of w x h units (upright, its rotation
// applied) rendered so that its short side is `height` pixels; refused past the pixel limits.
bool uprightRenderSize(double w, double h, std::uint32_t height, ImageFacts& facts,
                       std::string& why);

// One opened PDF.
class PdfDocument final : public RenderedDocument {
  public:
    // Refused with a reason past the file size limit or the page limit, when encrypted,
    // truncated, damaged or not a PDF at all.
    static std::unique_ptr<PdfDocument> openFile(const std::string& path,
                                                 const SourceLimits& limits, std::string& why);
    // The bytes must outlive the document.
    static std::unique_ptr<PdfDocument> openMemory(std::span<const std::uint8_t> data,
                                                   const SourceLimits& limits, std::string& why);
    ~PdfDocument();
    PdfDocument(const PdfDocument&) = delete;
    PdfDocument& operator=(const PdfDocument&) = delete;

    std::size_t pages() const override { return pages_; }
    bool renderSize(std::size_t index, std::uint32_t height, ImageFacts& facts,
                    std::string& why) const override;
    bool render(std::size_t index, std::uint32_t height, Image& out,
                std::string& why) const override;
    // The document information's Title and Author as UTF-8 bytes, unchecked; empty when unset.
    std::string title() const;
    std::string author() const;

  private:
    PdfDocument();
    static std::unique_ptr<PdfDocument> checked(std::unique_ptr<poppler::document> doc,
                                                const SourceLimits& limits, std::string& why);
    std::unique_ptr<poppler::document> doc_;
    std::size_t pages_ = 0;
};

// "0001" to index 0; only the names pdfPageName gives.
bool pdfPageIndex(std::string_view member, std::size_t& index);

ArchiveMembers listPdf(const std::string& path, const SourceLimits& limits);
std::unique_ptr<RenderedDocument> openPdf(const std::string& path, const SourceLimits& limits,
                                          std::string& why);

// DjVu documents (bundled, or indirect with every component beside its index file).
ArchiveMembers listDjvu(const std::string& path, const SourceLimits& limits);
std::unique_ptr<RenderedDocument> openDjvu(const std::string& path, const SourceLimits& limits,
                                           std::string& why);

// EPUB books: the first picture of each spine item, as the member path of that picture.
ArchiveMembers listEpub(const std::string& path, const SourceLimits& limits);

// The metadata readers of the table's rows.
bool archiveMetadata(const std::string& path, BookMetadata& out, std::string& warning);
bool pdfMetadata(const std::string& path, BookMetadata& out, std::string& warning);
bool epubMetadata(const std::string& path, BookMetadata& out, std::string& warning);

// A kind of document whose pages are rendered: its pages' type, what a page it does not have
// is called, and how one thread opens it.
struct RenderedRow {
    ImageType pageType;
    const char* noSuchPage;
    std::unique_ptr<RenderedDocument> (*open)(const std::string& path, const SourceLimits& limits,
                                              std::string& why);
};

// One row per kind of container: how its name is recognised, how its pages are listed, how a
// page's bytes are read or its picture rendered, and its metadata.
struct ContainerRow {
    ContainerKind kind;
    std::span<const std::string_view> extensions; // lower case, with the dot
    ArchiveMembers (*list)(const std::string& path, const SourceLimits& limits);
    // The listing's order is the reading order (else pages sort by their member paths).
    bool keepsOrder;
    // A member's bytes read by the row itself; null: through the archive readers.
    bool (*readMember)(const std::string& container, const std::string& member,
                       std::uint64_t maxBytes, std::vector<std::uint8_t>& out, std::string& why);
    const RenderedRow* rendered; // null: the pages are pictures with bytes of their own
    bool (*metadata)(const std::string& path, BookMetadata& out, std::string& warning);
    const char* nestedReason; // when found inside an archive
};
std::span<const ContainerRow> containerRows();
const ContainerRow* containerRow(ContainerKind kind);

} // namespace folio::sources
