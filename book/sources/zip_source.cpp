#include "book/sources/source_internal.h"

#include <libdeflate.h>
#include <zip.h>

#include <new>
#include <sys/stat.h>

namespace folio::sources {

namespace {

struct ZipFileCloser {
    void operator()(zip_file_t* f) const { zip_fclose(f); }
};
struct DecompressorFree {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// Deflate cannot make more than 1032 bytes of one; a directory claiming more is lying, and
// believing it would allocate for data that cannot be there.
constexpr std::uint64_t kMaxInflateRatio = 1032;

constexpr std::uint64_t kSlackBytes = 64 * 1024;

constexpr const char* kDamaged = "damaged archive, or a kind of it that cannot be read";

} // namespace

void ZipDirectory::Discard::operator()(zip_t* za) const {
    zip_discard(za);
}

std::unique_ptr<ZipDirectory> ZipDirectory::indexed(zip_t* opened, std::uint64_t archiveBytes) {
    std::unique_ptr<zip_t, Discard> za(opened);
    const zip_int64_t count = zip_get_num_entries(za.get(), 0);
    if (count < 0 || static_cast<std::uint64_t>(count) > kMaxArchiveMembers) return nullptr;
    std::unique_ptr<ZipDirectory> dir(new (std::nothrow) ZipDirectory());
    if (!dir) return nullptr;
    try {
        for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
            // Only names both readers spell alike: ASCII, or UTF-8 the entry says it is. A
            // name in an old code page, or one given twice, stays libarchive's to find.
            const char* raw = zip_get_name(za.get(), i, ZIP_FL_ENC_RAW);
            const char* strict = zip_get_name(za.get(), i, ZIP_FL_ENC_STRICT);
            if (!raw || !strict || std::string_view(raw) != strict) continue;
            const auto [it, fresh] = dir->index_.emplace(raw, i);
            if (!fresh) it->second = kTwice;
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    dir->za_ = std::move(za);
    dir->archiveBytes_ = archiveBytes;
    return dir;
}

std::unique_ptr<ZipDirectory> ZipDirectory::openFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    int error = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY, &error);
    return za ? indexed(za, static_cast<std::uint64_t>(st.st_size)) : nullptr;
}

std::unique_ptr<ZipDirectory> ZipDirectory::openMemory(std::span<const std::uint8_t> data) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(data.data(), data.size(), 0, &error);
    zip_t* za = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
    // The archive owns its source once opened; before, it is ours to free.
    if (!za && source) zip_source_free(source);
    zip_error_fini(&error);
    return za ? indexed(za, data.size()) : nullptr;
}

ZipDirectory::Fetch ZipDirectory::fetch(std::string_view member, std::uint64_t maxBytes,
                                        Packed& packed, std::string& why) {
    packed = {};
    const auto it = index_.find(std::string(member));
    if (it == index_.end() || it->second == kTwice) return Fetch::NotMine;
    zip_stat_t st;
    zip_stat_init(&st);
    constexpr zip_uint64_t kNeeded = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC |
                                     ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
    if (zip_stat_index(za_.get(), it->second, 0, &st) != 0 || (st.valid & kNeeded) != kNeeded ||
        st.encryption_method != ZIP_EM_NONE ||
        (st.comp_method != ZIP_CM_STORE && st.comp_method != ZIP_CM_DEFLATE))
        return Fetch::NotMine;
    if (st.size > maxBytes) return why = "member too large", Fetch::Failed;
    const bool deflated = st.comp_method == ZIP_CM_DEFLATE;
    // Held whole, compressed bytes cost memory too: a stream far longer than its data (valid
    // deflate can be) is left to libarchive, which streams it through small buffers.
    if (deflated && st.comp_size > st.size + st.size / 8 + kSlackBytes) return Fetch::NotMine;
    if (st.comp_size > archiveBytes_ || (!deflated && st.comp_size != st.size) ||
        (deflated && st.size / kMaxInflateRatio > st.comp_size))
        return why = kDamaged, Fetch::Failed;
    std::unique_ptr<zip_file_t, ZipFileCloser> file(
        zip_fopen_index(za_.get(), it->second, ZIP_FL_COMPRESSED));
    if (!file) return why = kDamaged, Fetch::Failed;
    try {
        packed.bytes.resize(static_cast<std::size_t>(st.comp_size));
    } catch (const std::bad_alloc&) {
        return why = "out of memory", Fetch::Failed;
    }
    std::uint64_t have = 0;
    while (have < st.comp_size) {
        const zip_int64_t n =
            zip_fread(file.get(), packed.bytes.data() + have, st.comp_size - have);
        if (n <= 0) {
            packed = {};
            return why = n == 0 ? "truncated archive" : kDamaged, Fetch::Failed;
        }
        have += static_cast<std::uint64_t>(n);
    }
    packed.size = st.size;
    packed.crc = st.crc;
    packed.deflated = deflated;
    return Fetch::Done;
}

bool unpackZipMember(ZipDirectory::Packed& packed, std::vector<std::uint8_t>& out,
                     std::string& why) {
    out.clear();
    if (!packed.deflated) {
        out = std::move(packed.bytes);
    } else {
        // One decompressor a thread, kept: it is the one thing set up per member otherwise.
        thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> decompressor;
        if (!decompressor) decompressor.reset(libdeflate_alloc_decompressor());
        try {
            out.resize(static_cast<std::size_t>(packed.size));
        } catch (const std::bad_alloc&) {
            return why = "out of memory", false;
        }
        if (!decompressor) return why = "out of memory", false;
        // The exact size is asked for: shorter data is as damaged as longer.
        const libdeflate_result r =
            libdeflate_deflate_decompress(decompressor.get(), packed.bytes.data(),
                                          packed.bytes.size(), out.data(), out.size(), nullptr);
        packed.bytes = {};
        if (r != LIBDEFLATE_SUCCESS) {
            out.clear();
            out.shrink_to_fit();
            why = r == LIBDEFLATE_INSUFFICIENT_SPACE
                      ? "member holds more data than its archive entry says"
                      : kDamaged;
            return false;
        }
    }
    if (libdeflate_crc32(0, out.data(), out.size()) != packed.crc) {
        out.clear();
        return why = "damaged archive: a member's checksum does not match", false;
    }
    return true;
}

} // namespace folio::sources
