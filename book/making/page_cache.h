// Encoded pages kept for a later make: in memory for a window session, or in a directory
// between command-line runs. A page is only ever taken from a cache when everything that
// decides its bytes is the same, so a book made with a cache equals one made without.
#pragma once

#include "book/making/page_options.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace folio {

using PageBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

// Everything about a page besides its source that decides its bytes: the options that matter
// for it, and no others (a gray page's key leaves the colour quality out). A new page option
// becomes a field here, a term in key() and in pageSettings().
struct PageSettings {
    bool gray = false;
    int quality = 0; // as the encoder gets it, 0 to 100
    bool fast = false;
    bool crop = false; // paper margins cut
    // The page's content decides gray or colour: gray is then unused, quality is the gray
    // quality and colorQuality the colour one.
    bool autoColor = false;
    int colorQuality = 0;
    // Which part of the picture the page shows (PagePart::key()); empty for the whole one.
    std::string part{};

    // A text naming every field, the same for equal settings.
    std::string key() const;
    bool operator==(const PageSettings&) const = default;
};

// The one mapping from the user's options and a page's mark to the settings its cache key holds.
PageSettings pageSettings(const PageOptions& options, bool gray, const std::string& part = {});

// What tells one state of a source file from another without reading it. The change time
// catches a rewrite that puts back the old size and modification time (cp -p, rsync -t).
struct SourceIdentity {
    std::string path;
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modifiedSec = 0, modifiedNsec = 0;
    std::int64_t changedSec = 0, changedNsec = 0;
    bool operator==(const SourceIdentity&) const = default;
};

// A page source as the builder reads it.
struct Source {
    std::string path;
    bool read = false; // bytes below hold the file, or error says why not
    std::vector<std::uint8_t> bytes;
    std::string error;
    SourceIdentity identity; // of the file the bytes came from
    bool stable = false;     // the file did not change while it was read
    std::chrono::system_clock::time_point readAt{};
    std::string contentHash; // SHA-256 of bytes, filled by a cache that needs it
};

// The source's identity without reading it; false when the file cannot be looked at.
bool statSource(const std::string& path, SourceIdentity& identity);
// Reads the whole file (up to the loader's size limit) with its identity; false with the
// loader's reasons ("cannot open file", "cannot read file", "file too large").
bool readSource(const std::string& path, Source& source);

// What the builder asks of a cache. Both calls come from the worker threads that prepare
// pages, at the same time.
class PageCache {
  public:
    virtual ~PageCache() = default;
    // The page made before from this source with these settings, or null. May read the
    // source into `source`, which a miss then decodes instead of reading it again.
    virtual PageBytes find(const PageSettings& settings, Source& source) = 0;
    // Keeps the page just made from `source` (read in full) with these settings.
    virtual void store(const PageSettings& settings, const Source& source, PageBytes page) = 0;
};

// Pages of one session in memory, keyed by the source's identity: an edited file, even one
// of the same size, is a new key. The least recently used pages go first past the budget.
class MemoryPageCache final : public PageCache {
  public:
    static constexpr std::size_t kDefaultBudget = std::size_t{256} << 20;
    // File times tick coarsely (a few milliseconds here, two seconds on FAT), so a file
    // changed again within one tick keeps its identity: pages of files modified this
    // shortly before they were read are not kept.
    static constexpr std::chrono::seconds kSettleTime{2};
    explicit MemoryPageCache(std::size_t budgetBytes = kDefaultBudget) : budget_(budgetBytes) {}

    PageBytes find(const PageSettings& settings, Source& source) override;
    void store(const PageSettings& settings, const Source& source, PageBytes page) override;

    std::size_t bytes() const;
    std::size_t pages() const;
    std::size_t hits() const;
    std::size_t misses() const;

  private:
    struct Entry {
        std::string key;
        PageBytes page;
    };
    mutable std::mutex mutex_;
    std::size_t budget_;
    std::size_t bytes_ = 0, hits_ = 0, misses_ = 0;
    std::list<Entry> recent_; // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

// Pages kept in a directory between runs, keyed by a SHA-256 of the source's bytes and the
// settings. Every file is checked before use (magic, version, key, length, checksum, a
// whole JPEG stream); one that fails is ignored and replaced. Files are written under a
// temporary name in the directory and renamed into place, so runs sharing the directory
// never see half a file.
// The JPEG a kept file holds, or null unless the file is a sound one written for exactly this
// content hash and these settings.
PageBytes readKeptPage(std::span<const std::uint8_t> file, const std::string& contentHash,
                       const PageSettings& settings);

class DiskPageCache final : public PageCache {
  public:
    explicit DiskPageCache(std::string directory) : dir_(std::move(directory)) {}
    // Creates the directory when missing; false with the reason when it cannot be used.
    bool open(std::string& error);

    PageBytes find(const PageSettings& settings, Source& source) override;
    void store(const PageSettings& settings, const Source& source, PageBytes page) override;

    std::size_t hits() const;
    std::size_t misses() const;
    // The first reason a page could not be stored, empty when every one was.
    std::string storeError() const;
    // The file a page of this content hash and these settings is kept in.
    std::string fileFor(const std::string& contentHash, const PageSettings& settings) const;

  private:
    std::string dir_;
    mutable std::mutex mutex_;
    std::size_t hits_ = 0, misses_ = 0;
    std::string storeError_;
};

} // namespace folio
