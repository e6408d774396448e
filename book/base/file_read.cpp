#include "book/base/file_read.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace folio {

FileDescriptor FileDescriptor::openRead(const std::string& path) {
    // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come; reads of a
    // regular file do not heed it.
    return FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

bool readUpTo(int fd, std::uint8_t* data, std::size_t size, std::size_t& got) {
    got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, data + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool readWholeFile(const std::string& path, std::uint64_t maxBytes, std::vector<std::uint8_t>& out,
                   std::string& why) {
    const FileDescriptor fd = FileDescriptor::openRead(path);
    if (!fd.valid()) return why = "cannot open file", false;
    struct stat st {};
    // Only a regular file has a size to trust: a folder, pipe or device is not read.
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return why = "cannot read file", false;
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes) return why = "file too large", false;
    try {
        out.resize(static_cast<std::size_t>(st.st_size));
    } catch (const std::bad_alloc&) {
        return why = "out of memory", false;
    }
    std::size_t got = 0;
    if (!readUpTo(fd.get(), out.data(), out.size(), got) || got != out.size())
        return why = "cannot read file", false;
    return true;
}

} // namespace folio
