// Archives for the tests, written with libarchive's own writer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace folio::test {

struct ArchiveMember {
    std::string name; // ending in '/' for a folder entry
    std::vector<std::uint8_t> bytes;
};

enum class ArchiveKind { Zip, SevenZip, Tar, TarGz, TarBz2, TarXz };

// Writes the members in the order given. options and passphrase as libarchive takes them
// (e.g. "zip:encryption=zipcrypt"); empty for none.
void writeArchive(const std::string& path, ArchiveKind kind,
                  const std::vector<ArchiveMember>& members, const std::string& options = {},
                  const std::string& passphrase = {});

// A one-member ZIP, written by hand, whose member inflates to `zeros` zero bytes while its
// headers claim `claimed` bytes; deflate blocks are repeated, so the archive stays small.
std::vector<std::uint8_t> zipOfZeros(std::uint64_t zeros, std::uint64_t claimed);

} // namespace folio::test
