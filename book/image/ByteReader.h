// Bounds-checked reading from an untrusted byte span. A read past the end sets a sticky
// failure flag and yields zero, so decoders check ok() once after a group of reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace folio {

class ByteReader {
  public:
    explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

    bool ok() const { return ok_; }
    std::size_t pos() const { return pos_; }
    std::size_t size() const { return data_.size(); }
    std::size_t remaining() const { return ok_ ? data_.size() - pos_ : 0; }
    std::span<const std::uint8_t> all() const { return data_; }

    bool seek(std::size_t p) {
        if (p > data_.size()) return fail();
        pos_ = p;
        return ok_;
    }
    bool skip(std::size_t n) {
        if (n > remaining()) return fail();
        pos_ += n;
        return ok_;
    }
    // The next n bytes, or an empty span (and failure) when fewer remain.
    std::span<const std::uint8_t> take(std::size_t n) {
        if (n > remaining()) {
            fail();
            return {};
        }
        auto s = data_.subspan(pos_, n);
        pos_ += n;
        return s;
    }

    std::uint8_t u8() {
        if (remaining() < 1) return fail(), 0;
        return data_[pos_++];
    }
    std::uint16_t u16le() { return static_cast<std::uint16_t>(le(2)); }
    std::uint32_t u32le() { return static_cast<std::uint32_t>(le(4)); }
    std::uint16_t u16be() { return static_cast<std::uint16_t>(be(2)); }
    std::uint32_t u32be() { return static_cast<std::uint32_t>(be(4)); }
    std::int32_t i32le() { return static_cast<std::int32_t>(u32le()); }

  private:
    bool fail() {
        ok_ = false;
        return false;
    }
    std::uint64_t le(int n) {
        if (remaining() < static_cast<std::size_t>(n)) return fail(), 0;
        std::uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i)
            v = (v << 8) | data_[pos_ + i];
        pos_ += n;
        return v;
    }
    std::uint64_t be(int n) {
        if (remaining() < static_cast<std::size_t>(n)) return fail(), 0;
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | data_[pos_ + i];
        pos_ += n;
        return v;
    }

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

} // namespace folio
