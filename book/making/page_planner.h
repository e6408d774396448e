// The step between the rows and the page rules: which pages each row gives. Without the
// spread and strip options every row gives its whole picture and nothing is read.
#pragma once

#include "book/making/book_builder.h"
#include "book/making/page_part.h"

#include <cstddef>
#include <future>
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
// for their blank rows, holding one picture's pixels per job and then only its row flags, and
// hand the pictures over to slices (when given) as far as its budget goes.
class StripSliceMemory;
std::vector<PlannedPage> planPages(const std::vector<BookEntry>& entries,
                                   const PageOptions& options, SourceReader& sources, int jobs = 1,
                                   StripSliceMemory* slices = nullptr);

// The page as progress names it: its path, and "(2/3)" after it when its row gives several.
std::string plannedPageName(const PlannedPage& page);

// Whether the picture's container says it is read right to left (ComicInfo.xml).
bool containerReadsRightToLeft(const PageRef& page);

// Cuts the picture to the rectangle, which must lie inside it; false with a reason when
// memory runs out.
bool cutToRect(Image& picture, const PageRect& rect, std::string& reason);

// The last few slices decoded for strip pieces, shared by the workers making them: the next
// piece mostly starts in the slice the one before ended in, so a slice is decoded about once
// rather than once for every piece it touches. Holds at most `capacity` slices (24-bit); a
// slice one worker is decoding is waited for by the others rather than decoded again.
//
// Planning strips decodes every slice for its blank rows; up to kHandedOverBytes of those
// pictures, the strips' first slices, are handed over here (keep) so that their pieces do not
// decode them a second time. Each is given out once, then kept like any other slice. All
// held at once: at most `capacity` slices and kHandedOverBytes of pixels.
class StripSliceMemory {
  public:
    // Enough for a 96-slice episode of 800 x 1280 gray slices, or 32 in colour.
    static constexpr std::size_t kHandedOverBytes = 96u << 20;

    explicit StripSliceMemory(std::size_t capacity) : capacity_(capacity) {}
    // The slice decoded and made 8-bit gray (gray) or 24-bit, or null with the reason.
    std::shared_ptr<const Image> slice(const PageRef& page, bool gray, SourceReader& sources,
                                       std::string& reason);
    // The decoded picture of the page, to be taken as the slice; false when it would pass
    // kHandedOverBytes (the picture untouched) or cannot be made gray or 24-bit.
    bool keep(const std::string& path, bool gray, Image& picture);

  private:
    struct Loaded {
        std::shared_ptr<const Image> image;
        std::string reason;
    };
    struct Kept {
        std::string path;
        bool gray;
        std::shared_future<Loaded> loaded;
    };
    std::size_t capacity_;
    std::mutex mutex_;
    std::list<Kept> recent_;          // newest first
    std::list<Kept> handedOver_;      // not yet given out
    std::size_t handedOverBytes_ = 0; // ever handed over: a given-out slice frees no budget
};

// The piece of a strip joined from its slices, loading one slice at a time (through memory
// when given): 8-bit gray for a gray page, so that the page steps touch a third of the bytes,
// else 24-bit. False with a reason when a slice does not load or no longer has the size it
// was planned with.
bool joinStripPiece(const PagePart& part, bool gray, SourceReader& sources, Image& piece,
                    std::string& reason, StripSliceMemory* memory = nullptr);

} // namespace folio
