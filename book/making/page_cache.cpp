#include "book/making/page_cache.h"

#include "book/base/atomic_file.h"
#include "book/base/file_read.h"
#include "book/format/book_check.h"
#include "book/format/book_format.h"
#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <span>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace folio {

std::string PageSettings::key() const {
    // Every field bound by name: a new field stops this compiling until it joins the key.
    // Options off add nothing, so pages kept before they existed are still found.
    const auto& [isGray, jpegQuality, isFast, isCropped, byContent, colorJpegQuality, shownPart] =
        *this;
    std::string key = "gray=" + std::to_string(isGray ? 1 : 0) +
                      " quality=" + std::to_string(jpegQuality) +
                      " fast=" + std::to_string(isFast ? 1 : 0);
    if (isCropped) key += " crop=1";
    if (byContent) key += " auto-color=1 color-quality=" + std::to_string(colorJpegQuality);
    if (!shownPart.empty()) key += " part=" + shownPart;
    return key;
}

namespace {

SourceIdentity identityOf(const std::string& path, const struct stat& st) {
    SourceIdentity id;
    id.path = path;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::uint64_t>(st.st_size);
    id.modifiedSec = st.st_mtim.tv_sec;
    id.modifiedNsec = st.st_mtim.tv_nsec;
    id.changedSec = st.st_ctim.tv_sec;
    id.changedNsec = st.st_ctim.tv_nsec;
    return id;
}

} // namespace

PageSettings pageSettings(const PageOptions& options, bool gray, const std::string& part) {
    PageSettings settings;
    settings.part = part;
    settings.fast = options.fast;
    settings.crop = options.crop;
    if (options.autoColor) {
        settings.autoColor = true;
        settings.quality = std::clamp(options.grayQuality, 0, 100);
        settings.colorQuality = std::clamp(options.colorQuality, 0, 100);
    } else {
        settings.gray = gray;
        settings.quality = std::clamp(gray ? options.grayQuality : options.colorQuality, 0, 100);
    }
    return settings;
}

bool statSource(const std::string& path, SourceIdentity& identity) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    identity = identityOf(path, st);
    return true;
}

bool readSource(const std::string& path, Source& source) {
    source.path = path;
    source.read = true;
    source.stable = false;
    source.bytes.clear();
    auto fail = [&](const char* why) {
        source.error = why;
        source.bytes.clear();
        return false;
    };
    source.readAt = std::chrono::system_clock::now();
    const FileDescriptor fd = FileDescriptor::openRead(path);
    if (!fd.valid()) return fail("cannot open file");
    struct stat before {};
    if (::fstat(fd.get(), &before) != 0 || !S_ISREG(before.st_mode))
        return fail("cannot read file");
    if (static_cast<std::uint64_t>(before.st_size) > kMaxFileBytes) return fail("file too large");
    try {
        source.bytes.resize(static_cast<std::size_t>(before.st_size));
    } catch (const std::bad_alloc&) {
        return fail("out of memory");
    }
    std::size_t got = 0;
    if (!readUpTo(fd.get(), source.bytes.data(), source.bytes.size(), got))
        return fail("cannot read file");
    source.bytes.resize(got);
    struct stat after {};
    source.identity = identityOf(path, before);
    source.stable = ::fstat(fd.get(), &after) == 0 && identityOf(path, after) == source.identity &&
                    static_cast<std::uint64_t>(got) == source.identity.size;
    return true;
}

// ---- in memory

namespace {

std::string memoryKey(const SourceIdentity& id, const PageSettings& settings) {
    std::string key = id.path;
    key += '\0';
    for (std::uint64_t v : {id.device, id.inode, id.size}) {
        key += std::to_string(v);
        key += ' ';
    }
    for (std::int64_t v : {id.modifiedSec, id.modifiedNsec, id.changedSec, id.changedNsec}) {
        key += std::to_string(v);
        key += ' ';
    }
    return key + settings.key();
}

} // namespace

PageBytes MemoryPageCache::find(const PageSettings& settings, Source& source) {
    SourceIdentity id;
    const bool known = statSource(source.path, id);
    std::lock_guard lock(mutex_);
    if (known) {
        const auto it = index_.find(memoryKey(id, settings));
        if (it != index_.end()) {
            recent_.splice(recent_.begin(), recent_, it->second);
            ++hits_;
            return it->second->page;
        }
    }
    ++misses_;
    return nullptr;
}

void MemoryPageCache::store(const PageSettings& settings, const Source& source, PageBytes page) {
    // Bytes read while the file changed belong to no identity it ever had at rest.
    if (!page || !source.read || !source.stable || page->size() > budget_) return;
    const auto modified = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(source.identity.modifiedSec) +
            std::chrono::nanoseconds(source.identity.modifiedNsec)));
    if (source.readAt - modified < kSettleTime) return;
    std::string key = memoryKey(source.identity, settings);
    std::lock_guard lock(mutex_);
    if (const auto it = index_.find(key); it != index_.end()) {
        bytes_ -= it->second->page->size();
        recent_.erase(it->second);
        index_.erase(it);
    }
    bytes_ += page->size();
    recent_.push_front({key, std::move(page)});
    index_.emplace(std::move(key), recent_.begin());
    while (bytes_ > budget_) {
        const Entry& last = recent_.back();
        bytes_ -= last.page->size();
        index_.erase(last.key);
        recent_.pop_back();
    }
}

std::size_t MemoryPageCache::bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}
std::size_t MemoryPageCache::pages() const {
    std::lock_guard lock(mutex_);
    return recent_.size();
}
std::size_t MemoryPageCache::hits() const {
    std::lock_guard lock(mutex_);
    return hits_;
}
std::size_t MemoryPageCache::misses() const {
    std::lock_guard lock(mutex_);
    return misses_;
}

// ---- on disk

namespace {

// File layout, little-endian: magic, layout version, SHA-256 of the source, length and
// text of the page key, JPEG length, SHA-256 of the JPEG, the JPEG.
constexpr char kMagic[8] = {'F', 'o', 'l', 'i', 'o', 'P', 'g', '\n'};
constexpr std::uint32_t kLayoutVersion = 1;
constexpr std::size_t kHashSize = 32;
// Raise when a change to the page steps or the encoder changes the bytes of any page, so
// pages kept by an older build are never taken for new ones.
constexpr int kPageRulesVersion = 2; // 2: photos turned upright by their orientation tag

std::string sha256(std::span<const std::uint8_t> data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1 ||
        len != kHashSize)
        return {};
    return std::string(reinterpret_cast<const char*>(md), len);
}

std::span<const std::uint8_t> bytesOf(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string hex(const std::string& raw) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

// The settings and what else decides a page's bytes in this build.
std::string diskKeyText(const PageSettings& settings) {
    return "rules=" + std::to_string(kPageRulesVersion) + " " + codecs::jpegLibraryIdentity() +
           " height=" + std::to_string(kPageHeight) + " " + settings.key();
}

void put(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void put(std::vector<std::uint8_t>& out, const std::string& s) {
    out.insert(out.end(), s.begin(), s.end());
}

// Bounds-checked reads of a kept file.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
    bool take(std::size_t n, std::span<const std::uint8_t>& out) {
        if (n > data_.size() - pos_) return false;
        out = data_.subspan(pos_, n);
        pos_ += n;
        return true;
    }
    bool number(int bytes, std::uint64_t& v) {
        std::span<const std::uint8_t> b;
        if (!take(static_cast<std::size_t>(bytes), b)) return false;
        v = 0;
        for (int i = bytes - 1; i >= 0; --i)
            v = (v << 8) | b[static_cast<std::size_t>(i)];
        return true;
    }
    bool equals(const std::string& s) {
        std::span<const std::uint8_t> b;
        return take(s.size(), b) && std::memcmp(b.data(), s.data(), s.size()) == 0;
    }
    std::size_t left() const { return data_.size() - pos_; }

  private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

PageBytes parseKept(std::span<const std::uint8_t> file, const std::string& contentHash,
                    const std::string& keyText) {
    Reader r(file);
    std::uint64_t version = 0, keyLength = 0, jpegLength = 0;
    std::span<const std::uint8_t> checksum, jpeg;
    if (!r.equals(std::string(kMagic, sizeof kMagic)) || !r.number(4, version) ||
        version != kLayoutVersion || !r.equals(contentHash) || !r.number(4, keyLength) ||
        keyLength != keyText.size() || !r.equals(keyText) || !r.number(8, jpegLength) ||
        !r.take(kHashSize, checksum) || jpegLength != r.left() || !r.take(r.left(), jpeg))
        return nullptr;
    const std::string sum = sha256(jpeg);
    if (sum.size() != kHashSize || std::memcmp(sum.data(), checksum.data(), kHashSize) != 0)
        return nullptr;
    BookPageInfo info;
    std::string why;
    if (!checkJpegStream(jpeg, info, why) || info.height != kPageHeight) return nullptr;
    return std::make_shared<const std::vector<std::uint8_t>>(jpeg.begin(), jpeg.end());
}

} // namespace

PageBytes readKeptPage(std::span<const std::uint8_t> file, const std::string& contentHash,
                       const PageSettings& settings) {
    return parseKept(file, contentHash, diskKeyText(settings));
}

bool DiskPageCache::open(std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    if (!std::filesystem::is_directory(dir_)) {
        error = "cannot use cache directory " + dir_ + ": " +
                (ec ? ec.message() : std::string("not a directory"));
        return false;
    }
    if (::access(dir_.c_str(), R_OK | W_OK | X_OK) != 0) {
        error = "cannot use cache directory " + dir_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string DiskPageCache::fileFor(const std::string& contentHash,
                                   const PageSettings& settings) const {
    const std::string name = sha256(bytesOf(contentHash + '\n' + diskKeyText(settings)));
    return (std::filesystem::path(dir_) / (hex(name) + ".page")).string();
}

PageBytes DiskPageCache::find(const PageSettings& settings, Source& source) {
    if (!source.read) readSource(source.path, source);
    PageBytes page;
    if (source.error.empty()) {
        // The page is decoded from these very bytes on a miss, so a file changed since is
        // never stored under the old content.
        if (source.contentHash.empty()) source.contentHash = sha256(source.bytes);
        Source kept;
        if (source.contentHash.size() == kHashSize &&
            readSource(fileFor(source.contentHash, settings), kept))
            page = readKeptPage(kept.bytes, source.contentHash, settings);
    }
    std::lock_guard lock(mutex_);
    ++(page ? hits_ : misses_);
    return page;
}

void DiskPageCache::store(const PageSettings& settings, const Source& source, PageBytes page) {
    if (!page || !source.read || source.contentHash.size() != kHashSize) return;
    const std::string keyText = diskKeyText(settings);
    std::vector<std::uint8_t> head;
    put(head, std::string(kMagic, sizeof kMagic));
    put(head, kLayoutVersion, 4);
    put(head, source.contentHash);
    put(head, keyText.size(), 4);
    put(head, keyText);
    put(head, page->size(), 8);
    put(head, sha256(*page));

    AtomicFile file(fileFor(source.contentHash, settings), ".tmp");
    if (file.create() && file.write(head.data(), head.size()) &&
        file.write(page->data(), page->size()) && file.commit())
        return;
    std::lock_guard lock(mutex_);
    if (storeError_.empty()) storeError_ = "cannot store pages in " + dir_ + ": " + file.error();
}

std::size_t DiskPageCache::hits() const {
    std::lock_guard lock(mutex_);
    return hits_;
}
std::size_t DiskPageCache::misses() const {
    std::lock_guard lock(mutex_);
    return misses_;
}
std::string DiskPageCache::storeError() const {
    std::lock_guard lock(mutex_);
    return storeError_;
}

} // namespace folio
