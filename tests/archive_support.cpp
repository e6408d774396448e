#include "archive_support.h"
#include "test_support.h"

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <memory>
#include <stdexcept>

namespace folio::test {

void writeArchive(const std::string& path, ArchiveKind kind,
                  const std::vector<ArchiveMember>& members, const std::string& options,
                  const std::string& passphrase) {
    std::unique_ptr<struct archive, int (*)(struct archive*)> a(archive_write_new(),
                                                                archive_write_free);
    switch (kind) {
    case ArchiveKind::Zip:
        archive_write_set_format_zip(a.get());
        break;
    case ArchiveKind::SevenZip:
        archive_write_set_format_7zip(a.get());
        break;
    default:
        archive_write_set_format_pax_restricted(a.get());
        break;
    }
    if (kind == ArchiveKind::TarGz) archive_write_add_filter_gzip(a.get());
    if (kind == ArchiveKind::TarBz2) archive_write_add_filter_bzip2(a.get());
    if (kind == ArchiveKind::TarXz) archive_write_add_filter_xz(a.get());
    if (!options.empty() && archive_write_set_options(a.get(), options.c_str()) != ARCHIVE_OK)
        throw std::runtime_error(archive_error_string(a.get()));
    if (!passphrase.empty()) archive_write_set_passphrase(a.get(), passphrase.c_str());
    if (archive_write_open_filename(a.get(), path.c_str()) != ARCHIVE_OK)
        throw std::runtime_error(archive_error_string(a.get()));
    for (const auto& m : members) {
        std::unique_ptr<struct archive_entry, void (*)(struct archive_entry*)> e(
            archive_entry_new(), archive_entry_free);
        const bool folder = !m.name.empty() && m.name.back() == '/';
        archive_entry_set_pathname(e.get(), m.name.c_str());
        archive_entry_set_filetype(e.get(), folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(e.get(), folder ? 0755 : 0644);
        archive_entry_set_size(e.get(), static_cast<la_int64_t>(m.bytes.size()));
        if (archive_write_header(a.get(), e.get()) != ARCHIVE_OK ||
            (!m.bytes.empty() && archive_write_data(a.get(), m.bytes.data(), m.bytes.size()) !=
                                     static_cast<la_ssize_t>(m.bytes.size())))
            throw std::runtime_error(archive_error_string(a.get()));
    }
    if (archive_write_close(a.get()) != ARCHIVE_OK)
        throw std::runtime_error(archive_error_string(a.get()));
}

std::vector<std::uint8_t> zipOfZeros(std::uint64_t zeros, std::uint64_t claimed) {
    constexpr std::size_t kChunk = 1 << 20;
    if (zeros % kChunk != 0 || zeros >= (std::uint64_t{1} << 32) ||
        claimed >= (std::uint64_t{1} << 32))
        throw std::invalid_argument("zipOfZeros: whole MiB below 4 GiB only");
    // One MiB of zeros deflated up to a full flush refers to nothing before it, so the same
    // bytes repeated are a valid stream of as many MiB.
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    std::vector<std::uint8_t> in(kChunk, 0), block(kChunk), tail(64);
    z.next_in = in.data();
    z.avail_in = kChunk;
    z.next_out = block.data();
    z.avail_out = static_cast<uInt>(block.size());
    deflate(&z, Z_FULL_FLUSH);
    block.resize(block.size() - z.avail_out);
    z.next_out = tail.data();
    z.avail_out = static_cast<uInt>(tail.size());
    deflate(&z, Z_FINISH);
    tail.resize(tail.size() - z.avail_out);
    deflateEnd(&z);

    const std::uint32_t chunkCrc = static_cast<std::uint32_t>(::crc32(0, in.data(), kChunk));
    uLong crc = 0;
    const std::uint64_t chunks = zeros / kChunk;
    for (std::uint64_t i = 0; i < chunks; ++i)
        crc = crc32_combine(crc, chunkCrc, kChunk);
    const std::uint64_t packed = chunks * block.size() + tail.size();

    const std::string name = "zeros.bmp";
    std::vector<std::uint8_t> zip;
    ByteWriter w(zip);
    auto header = [&](bool central) {
        w.u32le(central ? 0x02014b50 : 0x04034b50);
        if (central) w.u16le(20);
        w.u16le(20).u16le(0).u16le(8).u16le(0).u16le(0x21); // flags, deflate, 1980-01-01
        w.u32le(static_cast<std::uint32_t>(crc)).u32le(static_cast<std::uint32_t>(packed));
        w.u32le(static_cast<std::uint32_t>(claimed)).u16le(static_cast<std::uint32_t>(name.size()));
        w.u16le(0);
        if (central) w.u16le(0).u16le(0).u16le(0).u32le(0).u32le(0); // local header at 0
        w.text(name);
    };
    header(false);
    for (std::uint64_t i = 0; i < chunks; ++i)
        w.bytes(block);
    w.bytes(tail);
    const auto central = static_cast<std::uint32_t>(zip.size());
    header(true);
    const auto centralSize = static_cast<std::uint32_t>(zip.size() - central);
    w.u32le(0x06054b50).u16le(0).u16le(0).u16le(1).u16le(1).u32le(centralSize).u32le(central);
    w.u16le(0);
    return zip;
}

} // namespace folio::test
