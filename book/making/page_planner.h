// The step between the rows and the page rules: which pages each row gives. Without the
// spread and strip options every row gives its whole picture and nothing is read.
#pragma once

#include "book/making/book_builder.h"
#include "book/making/page_part.h"

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace folio {

struct PlannedPage {
    BookEntry entry; // the row the page belongs to (a strip piece: the row it starts in)
    PagePart part;
};

// More pieces than this from one strip and its pictures stay whole pages: a strip a few
// pixels wide would otherwise make a page every row or two.
inline constexpr std::size_t kMaxStripPieces = 20'000;
// Narrower pictures are never joined: a sliver cut into page-sized pieces gives a page for
// every few rows.
inline constexpr std::uint32_t kMinStripWidth = 16;

// Every usable entry's pages, in book order (entries naming no image are left to the caller).
// Sizes come from the pictures' headers; a picture whose header is refused stays whole (its
// page then fails to load and says why). Strips decode their pictures once, `jobs` at a time,
// for their blank rows, holding one picture's pixels per job and then only its row flags.
std::vector<PlannedPage> planPages(const std::vector<BookEntry>& entries,
                                   const PageOptions& options, SourceReader& sources, int jobs = 1);

// The page as progress names it: its path, and "(2/3)" after it when its row gives several.
std::string plannedPageName(const PlannedPage& page);

// Whether the picture's container says it is read right to left (ComicInfo.xml).
bool containerReadsRightToLeft(const PageRef& page);

// Cuts the picture to the rectangle, which must lie inside it; false with a reason when
// memory runs out.
bool cutToRect(Image& picture, const PageRect& rect, std::string& reason);

// The last few slices decoded for strip pieces, shared by the workers making them: the next
// piece mostly starts in the slice the one before ended in, so a slice is decoded about once
// rather than once for every piece it touches. Holds at most `capacity` slices (24-bit).
class StripSliceMemory {
  public:
    explicit StripSliceMemory(std::size_t capacity) : capacity_(capacity) {}
    // The slice decoded and made 8-bit gray (gray) or 24-bit, or null with the reason.
    std::shared_ptr<const Image> slice(const PageRef& page, bool gray, SourceReader& sources,
                                       std::string& reason);

  private:
    std::size_t capacity_;
    std::mutex mutex_;
    struct Kept {
        std::string path;
        bool gray;
        std::shared_ptr<const Image> image;
    };
    std::list<Kept> recent_; // newest first
};

// The piece of a strip joined from its slices, loading one slice at a time (through memory
// when given): 8-bit gray for a gray page, so that the page steps touch a third of the bytes,
// else 24-bit. False with a reason when a slice does not load or no longer has the size it
// was planned with.
bool joinStripPiece(const PagePart& part, bool gray, SourceReader& sources, Image& piece,
                    std::string& reason, StripSliceMemory* memory = nullptr);

} // namespace folio
