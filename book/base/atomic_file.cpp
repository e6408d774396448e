#include "book/base/atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <unistd.h>
#include <utility>

namespace folio {

AtomicFile::AtomicFile(std::string target, std::string tempMark)
    : target_(std::move(target)), mark_(std::move(tempMark)) {}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

bool AtomicFile::create() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temp = target_ + mark_ + std::to_string(rd() % 1000000);
        fd_ = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            temp_ = std::move(temp);
            return true;
        }
        if (errno != EEXIST) return fail();
    }
    return fail();
}

namespace {
// Runs step(data, size, done) until size bytes moved, past interruptions; errno is set on
// false (EIO when the file ends early).
template <class Byte, class Step> bool wholly(Byte* data, std::size_t size, Step step) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = step(data + done, size - done, done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}
} // namespace

bool AtomicFile::write(const std::uint8_t* data, std::size_t size) {
    return wholly(data, size,
                  [&](const std::uint8_t* at, std::size_t left, std::size_t) {
                      return ::write(fd_, at, left);
                  }) ||
           fail();
}

bool AtomicFile::readAt(std::uint64_t offset, std::uint8_t* data, std::size_t size) {
    return wholly(data, size,
                  [&](std::uint8_t* at, std::size_t left, std::size_t done) {
                      return ::pread(fd_, at, left, static_cast<off_t>(offset + done));
                  }) ||
           fail();
}

bool AtomicFile::rewind() {
    return ::lseek(fd_, 0, SEEK_SET) == 0 || fail();
}

bool AtomicFile::commit(bool replace) {
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) return fail();
    if (replace) {
        if (::rename(temp_.c_str(), target_.c_str()) != 0) return fail();
    } else if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) !=
               0) {
        // File systems without the flag: a hard link refuses an existing name just as well.
        if (errno != EINVAL || ::link(temp_.c_str(), target_.c_str()) != 0) return fail();
        ::unlink(temp_.c_str());
    }
    temp_.clear();
    return true;
}

bool AtomicFile::fail() {
    error_ = std::strerror(errno);
    return false;
}

} // namespace folio
