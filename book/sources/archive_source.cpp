#include "book/sources/source_internal.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>

namespace folio::sources {

namespace {

bool contains(const char* text, const char* part) {
    return text && std::strstr(text, part);
}

// libarchive's own texts are for its developers; the user gets ours. Only a few of its
// messages are told apart, to say what kind of trouble the archive is in.
std::string describe(struct archive* a) {
    const char* msg = archive_error_string(a);
    if (contains(msg, "ncrypt") || contains(msg, "assphrase"))
        return "encrypted: archives with a password are not read";
    if (contains(msg, "RAR solid")) return "a solid RAR 4 archive: that kind cannot be read";
    if (contains(msg, "Unrecognized archive format"))
        return "not an archive of a kind that can be read (ZIP, RAR, 7z, TAR)";
    if (contains(msg, "runcat") || contains(msg, "remature") || contains(msg, "nexpected end"))
        return "truncated archive";
    return "damaged archive, or a kind of it that cannot be read";
}

constexpr std::size_t kReadBlock = 64 * 1024;
// Memory for a member grows as it arrives, so a lying size in a header costs nothing.
constexpr std::uint64_t kFirstReserve = std::uint64_t{64} << 20;

} // namespace

ArchiveHandle::ArchiveHandle() : a_(archive_read_new()) {}

ArchiveHandle::~ArchiveHandle() {
    if (a_) archive_read_free(a_);
}

std::unique_ptr<ArchiveHandle> ArchiveHandle::make(std::string& why) {
    std::unique_ptr<ArchiveHandle> h(new (std::nothrow) ArchiveHandle());
    if (!h || !h->a_) {
        why = "out of memory";
        return nullptr;
    }
    // Only formats and filters built into the library: none of them runs a helper program.
    // ZIP through its central directory only: every member's size is then known before its
    // data is read, and a ZIP without one is damaged.
    archive_read_support_format_zip_seekable(h->a_);
    archive_read_support_format_rar(h->a_);
    archive_read_support_format_rar5(h->a_);
    archive_read_support_format_7zip(h->a_);
    archive_read_support_format_tar(h->a_);
    archive_read_support_filter_gzip(h->a_);
    archive_read_support_filter_bzip2(h->a_);
    archive_read_support_filter_xz(h->a_);
    return h;
}

bool ArchiveHandle::opened(int status, std::string& why) {
    if (status == ARCHIVE_OK || status == ARCHIVE_WARN) return true;
    why = describe(a_);
    return false;
}

std::unique_ptr<ArchiveHandle> ArchiveHandle::openFile(const std::string& path, std::string& why) {
    auto h = make(why);
    if (!h || !h->opened(archive_read_open_filename(h->a_, path.c_str(), kReadBlock), why))
        return nullptr;
    return h;
}

std::unique_ptr<ArchiveHandle> ArchiveHandle::openMemory(std::span<const std::uint8_t> data,
                                                         std::string& why) {
    auto h = make(why);
    if (!h || !h->opened(archive_read_open_memory(h->a_, data.data(), data.size()), why))
        return nullptr;
    return h;
}

ArchiveHandle::Step ArchiveHandle::next(Entry& entry, std::string& why) {
    struct archive_entry* e = nullptr;
    const int status = archive_read_next_header(a_, &e);
    if (status == ARCHIVE_EOF) return Step::End;
    // A warning (a name in an unknown character set, say) still gives a usable entry; a
    // retry is not offered, so a broken archive cannot keep the reader going round.
    if ((status != ARCHIVE_OK && status != ARCHIVE_WARN) || !e) {
        why = describe(a_);
        return Step::Error;
    }
    const char* name = archive_entry_pathname_utf8(e);
    if (!name) name = archive_entry_pathname(e);
    entry.name = name ? name : "";
    entry.regular = archive_entry_filetype(e) == AE_IFREG && !archive_entry_hardlink(e) &&
                    !entry.name.empty() && entry.name.back() != '/';
    entry.encrypted = archive_entry_is_encrypted(e) != 0;
    entry.sizeKnown = archive_entry_size_is_set(e) && archive_entry_size(e) >= 0;
    entry.size = entry.sizeKnown ? static_cast<std::uint64_t>(archive_entry_size(e)) : 0;
    return Step::Entry;
}

bool ArchiveHandle::readData(const Entry& entry, std::uint64_t maxBytes,
                             std::vector<std::uint8_t>& out, std::string& why) {
    out.clear();
    if (entry.encrypted) {
        why = "encrypted: archives with a password are not read";
        return false;
    }
    if (entry.sizeKnown && entry.size > maxBytes) {
        why = "member too large";
        return false;
    }
    try {
        std::uint64_t have = 0;
        out.resize(static_cast<std::size_t>(
            std::min<std::uint64_t>(entry.sizeKnown ? entry.size + 1 : kReadBlock, kFirstReserve)));
        for (;;) {
            if (have == out.size()) {
                const std::uint64_t grown = std::min<std::uint64_t>(
                    std::max<std::uint64_t>(2 * out.size(), kReadBlock), maxBytes + 1);
                out.resize(static_cast<std::size_t>(grown));
            }
            const la_ssize_t n = archive_read_data(a_, out.data() + have,
                                                   static_cast<std::size_t>(out.size() - have));
            if (n < 0) {
                why = describe(a_);
                out.clear();
                return false;
            }
            if (n == 0) break;
            have += static_cast<std::uint64_t>(n);
            // Stops a run of zeros behind a small header (or none) long before it fills memory.
            if (have > maxBytes || (entry.sizeKnown && have > entry.size)) {
                why = have > maxBytes ? "member too large"
                                      : "member holds more data than its archive entry says";
                out.clear();
                out.shrink_to_fit();
                return false;
            }
        }
        out.resize(static_cast<std::size_t>(have));
    } catch (const std::bad_alloc&) {
        out.clear();
        why = "out of memory";
        return false;
    }
    return true;
}

ArchiveMembers listArchive(ArchiveHandle& handle, const SourceLimits& limits) {
    ArchiveMembers result;
    std::unordered_set<std::string> names;
    std::size_t count = 0;
    ArchiveHandle::Entry entry;
    std::string why;
    for (;;) {
        const auto step = handle.next(entry, why);
        if (step == ArchiveHandle::Step::End) break;
        if (step == ArchiveHandle::Step::Error) {
            result.error = why;
            break;
        }
        if (++count > limits.maxMembers) {
            result.error = "more than " + std::to_string(limits.maxMembers) + " members";
            break;
        }
        if (!entry.regular) continue;
        const MemberRole role = memberRole(entry.name);
        if (role == MemberRole::Ignored) continue;
        if (role == MemberRole::Nested) {
            result.leftOut.emplace_back(
                entry.name, containerRow(containerKindOfName(entry.name))->nestedReason);
            continue;
        }
        // An encrypted page makes the whole archive unreadable to us: say so once, for it.
        if (entry.encrypted) {
            result.error = "encrypted: archives with a password are not read";
            break;
        }
        if (!names.insert(entry.name).second) {
            result.leftOut.emplace_back(entry.name, "a second member of the same name");
            continue;
        }
        result.pages.push_back(entry.name);
    }
    if (!result.error.empty()) result.pages.clear();
    return result;
}

} // namespace folio::sources
