// The readers behind the source layer: libarchive archives and .QFB books.
#pragma once

#include "book/sources/source.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

struct archive;

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

// Books: pages NNNN.jpg from the header's page table.
ArchiveMembers listBook(const std::string& path);
bool readBookPage(const std::string& path, const std::string& member, std::uint64_t maxBytes,
                  std::vector<std::uint8_t>& out, std::string& why);

} // namespace folio::sources
