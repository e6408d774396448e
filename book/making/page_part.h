// Which part of which picture(s) one page of a book shows: usually a whole picture, else a
// half of a spread or a piece of a strip joined from several pictures (see page_plan.h).
#pragma once

#include "book/pages/page_plan.h"
#include "book/sources/source.h"

#include <string>
#include <vector>

namespace folio {

struct PagePart {
    enum class Kind { Whole, LeftHalf, RightHalf, StripPiece };
    Kind kind = Kind::Whole;
    // A half: the half as planned on the picture's header size. With margins cut, the half is
    // taken of the cut picture instead, so both halves keep one scale.
    PageRect rect;
    // A strip piece: the pictures it touches, top to bottom, and the rows of each (slice
    // indices into `slices`), all `width` pixels wide.
    std::vector<PageRef> slices;
    std::vector<SliceRows> rows;
    std::uint32_t width = 0;
    // This page among the pages its row gives (from 1), for "PATH (2/3)".
    int index = 1, count = 1;

    // Names the part for a cache key: empty for the whole picture.
    std::string key() const;
    bool operator==(const PagePart&) const = default;
};

} // namespace folio
