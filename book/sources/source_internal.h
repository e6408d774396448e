// The readers behind the source layer: libarchive archives, .QFB books and PDFs (poppler).
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

// One opened PDF. poppler documents must not be rendered from two threads at once: each
// thread uses documents it opened itself.
class PdfDocument {
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

    std::size_t pages() const { return pages_; }
    // The pixel size page `index` renders at so that, upright, it is `height` high; refused
    // past the pixel limits, before anything is rendered.
    bool renderSize(std::size_t index, std::uint32_t height, ImageFacts& facts,
                    std::string& why) const;
    bool render(std::size_t index, std::uint32_t height, Image& out, std::string& why) const;
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

} // namespace folio::sources
