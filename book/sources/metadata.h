// What a container says about the book it holds: a comic archive's ComicInfo.xml, a PDF's
// document information, an EPUB's package document. Metadata is a nicety: whatever is wrong
// with it is ignored with a warning, and never costs a page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace folio {

struct BookMetadata {
    std::string title, author; // UTF-8, trimmed, on one line
    bool rightToLeft = false;  // pages are read from right to left (manga)
};

// More XML than this is refused before it is read.
inline constexpr std::size_t kMaxMetadataBytes = std::size_t{1} << 20;
// Elements nested deeper than this are refused.
inline constexpr std::size_t kMaxXmlDepth = 64;
// A longer title or author is refused: no real one is that long.
inline constexpr std::size_t kMaxMetadataValueBytes = 4096;

// The metadata of a comic archive (a top-level ComicInfo.xml, any letter case), a PDF (its
// Title and Author) or an EPUB (its package document's dc:title and dc:creator). False with out
// empty when there is none; warning says why when there was some but it was bad and ignored. A
// container that cannot be read gives no warning here: listing its pages says what is wrong with
// it.
bool readContainerMetadata(const std::string& containerPath, BookMetadata& out,
                           std::string& warning);

namespace sources {
// The parsers over bytes in memory (for the EPUB source and the fuzz target), each with the
// same limits and the same answers as above; a warning is a bare reason, without a file name.

// ComicInfo.xml: "SERIES NUMBER" (or SERIES) when <Series> is set, else <Title>; <Writer>;
// <Manga>YesAndRightToLeft</Manga>.
bool parseComicInfo(std::span<const std::uint8_t> xml, BookMetadata& out, std::string& warning);
// An EPUB's package document (OPF): the first dc:title and dc:creator, and a spine read right
// to left.
bool parseOpf(std::span<const std::uint8_t> xml, BookMetadata& out, std::string& warning);
// An EPUB's META-INF/container.xml: the path of its package document inside the EPUB, as
// written (the first rootfile of the OPF media type, else the first rootfile).
bool parseEpubContainer(std::span<const std::uint8_t> xml, std::string& packagePath,
                        std::string& warning);
// An OPF's reading order: per spine item, its manifest item's href (as written) and media
// type; an item the manifest lacks (or names badly) has an empty href.
struct SpineItem {
    std::string href, mediaType;
    bool operator==(const SpineItem&) const = default;
};
bool parseOpfSpine(std::span<const std::uint8_t> xml, std::vector<SpineItem>& items,
                   std::string& why);
// The first picture an XHTML or SVG document shows (an <img src>, an SVG <image href> or
// <image xlink:href>), as written; empty when it shows none. XHTML may say <!DOCTYPE html>.
bool firstPicture(std::span<const std::uint8_t> xml, std::string& href, std::string& why);
} // namespace sources

} // namespace folio
