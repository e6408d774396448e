// A file written under a temporary name beside its target and renamed over the target only
// when complete: another reader sees the whole file or none, and a failed write never
// destroys what was there before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace folio {

class AtomicFile {
  public:
    // tempMark goes between the target's name and a random number in the temporary name.
    AtomicFile(std::string target, std::string tempMark);
    ~AtomicFile(); // an uncommitted file is removed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool create();
    bool write(const std::uint8_t* data, std::size_t size);
    bool rewind();
    // Reads back what was written, wherever the file stands.
    bool readAt(std::uint64_t offset, std::uint8_t* data, std::size_t size);
    // Without replace, an existing target is left alone and the commit fails (EEXIST).
    bool commit(bool replace = true);
    // What failed last, in the system's words.
    const std::string& error() const { return error_; }

  private:
    bool fail();

    std::string target_, mark_, temp_;
    int fd_ = -1;
    std::string error_;
};

} // namespace folio
