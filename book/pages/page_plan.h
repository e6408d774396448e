// Where a picture's pages come from when it does not fit the reader as it is: a double-page
// spread becomes its two halves, and a run of same-width pictures (a webtoon's slices) is
// joined into one tall strip and cut into page-sized pieces, preferably in the blank bands
// between panels. Everything here is planning on sizes and row flags; no pixels are moved.
#pragma once

#include "book/image/Image.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace folio {

struct PageRect {
    std::uint32_t x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const PageRect&, const PageRect&) = default;
};

// A picture more than 1.2 times as wide as it is high (w * 5 > h * 6) is a spread.
bool isSpread(std::uint32_t width, std::uint32_t height);

// The pages a width x height picture makes, in reading order. A spread gives its left half
// (columns 0 to width / 2 - 1) and its right half (the rest, one column wider when the width
// is odd), the right half first when reading right to left. Anything else, and a picture
// too small to have two non-empty halves, is one page: the whole picture.
std::vector<PageRect> spreadPages(std::uint32_t width, std::uint32_t height, bool rightToLeft);

// One picture of a book as the strip grouping sees it. `group` names the folder or
// container it comes from; pictures of different groups are never joined.
struct StripSlice {
    std::uint32_t width = 0, height = 0;
    std::uint64_t group = 0;
};

// pictures[first, first + count) form one strip.
struct StripRun {
    std::size_t first = 0, count = 0;
    friend bool operator==(const StripRun&, const StripRun&) = default;
};

// Splits the pictures into strips: maximal runs of consecutive pictures of the same width
// and group. A picture with no pixels is a strip of its own, so it never joins others. The
// runs cover every picture once, in order.
std::vector<StripRun> groupStrips(std::span<const StripSlice> pictures);

// The most rows a piece of a strip of this width holds: 4/3 of the width rounded half up,
// at least 1, so a piece is no taller than a 3:4 page.
std::uint64_t stripPieceLimit(std::uint32_t width);

// A piece of a strip: rows [first, first + rows) in strip coordinates.
struct StripPiece {
    std::uint64_t first = 0, rows = 0;
    friend bool operator==(const StripPiece&, const StripPiece&) = default;
};

// Cuts a strip `height` rows high into pieces of at most T = stripPieceLimit(width) rows.
// uniform[y] says row y is blank (see uniformRows); rows past the vector count as not blank.
//
// A gutter is a run of at least 4 blank rows. While more than T rows remain from the piece's
// first row s, the piece is cut in the gutter nearest T that reaches into rows
// [s + 2T/5, s + T], at the middle row of its part inside that range; the next piece starts
// at that row. With no such gutter the piece takes T rows and the next starts 9T/10 rows
// later, so the rows about the cut are shown twice rather than lost (2T/5 and 9T/10 are
// integer divisions, at least 1). The last piece is what remains. Every row lies in some piece,
// pieces come in order, each holds 1 to T rows and starts at least one row after the one before; a
// panel no taller than 3T/5 between two gutters always lies whole in one piece. Work and memory are
// linear in the height.
std::vector<StripPiece> cutStrip(std::uint64_t height, std::uint32_t width,
                                 const std::vector<bool>& uniform);

// Rows [firstRow, firstRow + rows) of slice `slice` (an index into the strip's slices).
struct SliceRows {
    std::size_t slice = 0;
    std::uint32_t firstRow = 0, rows = 0;
    friend bool operator==(const SliceRows&, const SliceRows&) = default;
};

// For each piece, the slice rows it is made of, top to bottom; their row counts add up to
// the piece's rows (less any part past the strip's end). The strip is the slices of the
// given heights stacked in order; slices with no rows are never named. With pieces from
// cutStrip, a piece can be joined from its slices alone: joining the strip piece by piece
// holds at most the slices one piece touches, no more than T + 2 x (tallest slice) rows,
// never the whole strip. Pieces may come in any order and reach past the strip; work is
// linear in the slices plus the output, and logarithmic in the slices for each piece.
std::vector<std::vector<SliceRows>> pieceSlices(std::span<const std::uint32_t> sliceHeights,
                                                std::span<const StripPiece> pieces);

// Whether a row is blank: for each colour channel, the largest and smallest value along the
// row differ by at most this much. Palette pictures are judged on their palette's colours.
inline constexpr unsigned kUniformRowRange = 24;

// Appends one flag a row, top to bottom, to `flags`: true for a blank row. Flags of a
// strip's slices appended in order are the strip's flags. A row's scan stops soon after its
// range passes the limit, so a row with content is usually left within its first 144 bytes.
// Gray (8-bit gray ramp) and 24-bit rows are scanned 16 bytes a step, other palettes pixel
// by pixel through their colours.
void appendUniformRows(const Image& picture, std::vector<bool>& flags);
std::vector<bool> uniformRows(const Image& picture);

} // namespace folio
