// Reading files: one way to read a file whole, and a descriptor that closes itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace folio {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    // Opened read-only, never waiting (a FIFO without a writer does not block); not valid()
    // when it cannot be opened.
    static FileDescriptor openRead(const std::string& path);
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    bool valid() const { return fd_ >= 0; }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

// Up to size bytes from the descriptor's position into data, past interrupted reads; false
// on a read error. got says how many arrived (fewer at the file's end).
bool readUpTo(int fd, std::uint8_t* data, std::size_t size, std::size_t& got);

// The whole of a regular file (anything else, a folder or a FIFO, cannot be read), refused past
// maxBytes before anything is allocated. False with the reason: "cannot open file", "cannot read
// file", "file too large", "out of memory".
bool readWholeFile(const std::string& path, std::uint64_t maxBytes, std::vector<std::uint8_t>& out,
                   std::string& why);

} // namespace folio
