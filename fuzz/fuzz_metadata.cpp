// Fuzz entry point for the metadata parsers (ComicInfo.xml, an EPUB's package document and
// its container.xml): whatever the bytes, an answer is either metadata without a warning or
// nothing, and every value given is one clean line of valid UTF-8 within its limit.
#include "book/sources/metadata.h"
#include "fuzz/invariant.h"

#include <cstdint>
#include <string>
#include <string_view>

using folio::fuzz::broken;

namespace {

// Decodes code point by code point, independently of the parser's own check.
bool wellFormed(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t len = c < 0x80       ? 1
                                : c >> 5 == 6  ? 2
                                : c >> 4 == 14 ? 3
                                : c >> 3 == 30 ? 4
                                               : 0;
        if (len == 0 || i + len > s.size()) return false;
        std::uint32_t cp = len == 1 ? c : c & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if (t >> 6 != 2) return false;
            cp = cp << 6 | (t & 0x3F);
        }
        static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[len] || cp > 0x10FFFF || (cp >> 11) == 0x1B) return false;
        i += len;
    }
    return true;
}

void checkValue(const std::string& v) {
    if (v.size() > folio::kMaxMetadataValueBytes) broken("value past its limit");
    if (!wellFormed(v)) broken("value is not valid UTF-8");
    if (!v.empty() && (v.front() == ' ' || v.back() == ' ')) broken("value not trimmed");
    for (char c : v)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            broken("control character in a value");
    if (v.find("  ") != std::string::npos) broken("spaces not collapsed");
}

void check(bool found, const folio::BookMetadata& meta, const std::string& warning) {
    if (found && !warning.empty()) broken("metadata given with a warning");
    if (found && meta.title.empty() && meta.author.empty() && !meta.rightToLeft)
        broken("empty metadata said to be found");
    if (!found && (!meta.title.empty() || !meta.author.empty() || meta.rightToLeft))
        broken("metadata left behind when none was found");
    checkValue(meta.title);
    checkValue(meta.author);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> xml{data, size};
    folio::BookMetadata meta;
    std::string warning;
    check(folio::sources::parseComicInfo(xml, meta, warning), meta, warning);
    check(folio::sources::parseOpf(xml, meta, warning), meta, warning);
    std::string path;
    const bool named = folio::sources::parseEpubContainer(xml, path, warning);
    if (named && (path.empty() || !warning.empty())) broken("package path given with a warning");
    if (!named && !path.empty()) broken("package path left behind");
    if (named && !wellFormed(path)) broken("package path is not valid UTF-8");
    return 0;
}
