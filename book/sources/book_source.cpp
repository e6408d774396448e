#include "book/base/file_read.h"
#include "book/base/page_names.h"
#include "book/format/book_check.h"
#include "book/format/book_header.h"
#include "book/sources/source_internal.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace folio::sources {

namespace {

bool readAt(int fd, std::uint8_t* data, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

struct Table {
    std::vector<BookPageInfo> pages;
    std::uint64_t fileSize = 0;
};

bool readTable(const FileDescriptor& fd, Table& table, std::string& why) {
    struct stat st {};
    std::array<std::uint8_t, BookHeader::kSize> header{};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return why = "cannot open file", false;
    table.fileSize = static_cast<std::uint64_t>(st.st_size);
    if (table.fileSize < header.size() || !readAt(fd.get(), header.data(), header.size(), 0))
        return why = "not a book: shorter than a book's header", false;
    if (!readPageTable(header, table.pages, why)) return why = "not a book: " + why, false;
    return true;
}

// "0001.jpg" to index 0; only the names bookPageName gives.
bool pageIndex(std::string_view member, std::size_t& index) {
    return member.ends_with(".jpg") && parsePageNumber(member.substr(0, member.size() - 4), index);
}

bool fits(const BookPageInfo& page, std::uint64_t fileSize) {
    return page.size > 0 && page.offset + page.size <= fileSize;
}

} // namespace

ArchiveMembers listBook(const std::string& path) {
    ArchiveMembers result;
    const FileDescriptor fd = FileDescriptor::openRead(path);
    Table table;
    if (!readTable(fd, table, result.error)) return result;
    for (std::size_t i = 0; i < table.pages.size(); ++i) {
        if (fits(table.pages[i], table.fileSize))
            result.pages.push_back(bookPageName(i));
        else
            result.leftOut.emplace_back(bookPageName(i), table.pages[i].size == 0
                                                             ? "the book gives this page size 0"
                                                             : "runs past the end of the book");
    }
    return result;
}

bool readBookPage(const std::string& path, const std::string& member, std::uint64_t maxBytes,
                  std::vector<std::uint8_t>& out, std::string& why) {
    std::size_t index = 0;
    if (!pageIndex(member, index)) return why = "no such page in the book", false;
    const FileDescriptor fd = FileDescriptor::openRead(path);
    Table table;
    if (!readTable(fd, table, why)) return false;
    if (index >= table.pages.size()) return why = "no such page in the book", false;
    const BookPageInfo& page = table.pages[index];
    if (!fits(page, table.fileSize)) return why = "page runs past the end of the book", false;
    if (page.size > maxBytes) return why = "member too large", false;
    try {
        out.resize(page.size);
    } catch (const std::bad_alloc&) {
        return why = "out of memory", false;
    }
    if (!readAt(fd.get(), out.data(), out.size(), page.offset)) {
        out.clear();
        return why = "cannot read file", false;
    }
    return true;
}

} // namespace folio::sources
