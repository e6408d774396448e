// Planning pages from pictures that do not fit the reader: spreads cut in halves, webtoon
// slices joined into strips and cut into pieces, and the blank-row scan the cuts rely on.
#include "book/image/Image.h"
#include "book/pages/page_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <utility>

namespace folio {
namespace {

using Rects = std::vector<PageRect>;
using Pieces = std::vector<StripPiece>;

// Reading right to left gives the same pages the other way round.
TEST(SpreadPages, Table) {
    const struct {
        std::uint32_t w, h;
        Rects want;
    } cases[] = {
        {200, 100, {{0, 0, 100, 100}, {100, 0, 100, 100}}},
        {201, 100, {{0, 0, 100, 100}, {100, 0, 101, 100}}}, // odd: the right half wider
        {110, 100, {{0, 0, 110, 100}}},                     // 1.1 wide
        {120, 100, {{0, 0, 120, 100}}},                     // exactly 1.2
        {121, 100, {{0, 0, 60, 100}, {60, 0, 61, 100}}},
        {6, 5, {{0, 0, 6, 5}}},
        {7, 5, {{0, 0, 3, 5}, {3, 0, 4, 5}}},
        {2, 1, {{0, 0, 1, 1}, {1, 0, 1, 1}}},
        {1, 0, {{0, 0, 1, 0}}}, // wide by the ratio, but no halves to make
        {5, 0, {{0, 0, 5, 0}}},
        {0, 7, {{0, 0, 0, 7}}},
        {4294967295u, 1, {{0, 0, 2147483647u, 1}, {2147483647u, 0, 2147483648u, 1}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(spreadPages(c.w, c.h, false), c.want) << c.w << "x" << c.h;
        EXPECT_EQ(spreadPages(c.w, c.h, true), Rects(c.want.rbegin(), c.want.rend()))
            << c.w << "x" << c.h << " right to left";
    }
}

TEST(GroupStrips, SameWidthAndGroupInARow) {
    const struct {
        std::vector<StripSlice> pictures;
        std::vector<StripRun> want;
    } cases[] = {
        {{}, {}},
        {{{800, 1000, 1}}, {{0, 1}}},
        {{{800, 1000, 1}, {800, 30, 1}, {800, 1, 1}}, {{0, 3}}},
        {{{800, 1000, 1}, {801, 1000, 1}, {800, 1000, 1}}, {{0, 1}, {1, 1}, {2, 1}}},
        {{{800, 1000, 1}, {800, 1000, 2}, {800, 1000, 2}}, {{0, 1}, {1, 2}}},
        {{{800, 10, 1}, {800, 0, 1}, {800, 10, 1}}, {{0, 1}, {1, 1}, {2, 1}}},
        {{{0, 10, 1}, {0, 10, 1}}, {{0, 1}, {1, 1}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(groupStrips(c.pictures), c.want) << c.pictures.size() << " pictures";
}

TEST(StripPieceLimit, FourThirdsRoundedHalfUp) {
    const std::pair<std::uint32_t, std::uint64_t> cases[] = {
        {0, 1},     {1, 1},      {2, 3},      {3, 4},
        {600, 800}, {799, 1065}, {800, 1067}, {4294967295u, 5726623060u}};
    for (const auto& [w, t] : cases)
        EXPECT_EQ(stripPieceLimit(w), t) << w;
}

// Flags of a strip laid out as bands: (rows, blank) from the top.
std::vector<bool> bands(std::initializer_list<std::pair<std::uint64_t, bool>> layout) {
    std::vector<bool> flags;
    for (const auto& [rows, blank] : layout)
        flags.insert(flags.end(), rows, blank);
    return flags;
}

// What every cut must give: all rows in order, 1 to T rows a piece, each piece past the one
// before, and a cut that does not overlap lies on a blank row.
void expectSoundCut(const Pieces& pieces, std::uint64_t height, std::uint32_t width,
                    const std::vector<bool>& flags) {
    const std::uint64_t t = stripPieceLimit(width);
    std::uint64_t covered = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const StripPiece& p = pieces[i];
        ASSERT_LE(p.first, covered) << "rows lost before piece " << i;
        ASSERT_TRUE(i == 0 || p.first > pieces[i - 1].first) << "no progress at piece " << i;
        ASSERT_TRUE(p.rows >= 1 && p.rows <= t) << p.rows << " rows in piece " << i;
        if (i > 0 && p.first == covered && pieces[i - 1].rows < t) {
            ASSERT_TRUE(p.first < flags.size() && flags[p.first]) << "cut in content at " << i;
        }
        covered = p.first + p.rows;
    }
    EXPECT_EQ(covered, height);
}

// Width 600: T = 800, gutters are looked for 320 to 800 rows into a piece, and a piece cut
// with no gutter is followed by one starting 720 rows in. Width 1: T = 1.
TEST(CutStrip, Table) {
    const struct {
        const char* what;
        std::uint32_t width;
        std::uint64_t height; // 0: as many as the flags
        std::vector<bool> flags;
        Pieces want;
    } cases[] = {
        {"panels cut only in the middle of gutters",
         600,
         0,
         bands({{500, false},
                {40, true},
                {500, false},
                {40, true},
                {500, false},
                {40, true},
                {380, false}}),
         {{0, 519}, {519, 540}, {1059, 540}, {1599, 401}}},
        {"gutter-less 2.5 T overlaps",
         600,
         0,
         bands({{2000, false}}),
         {{0, 800}, {720, 800}, {1440, 560}}},
        {"no flags at all", 600, 2000, {}, {{0, 800}, {720, 800}, {1440, 560}}},
        {"the gutter nearest T wins",
         600,
         0,
         bands({{350, false}, {10, true}, {340, false}, {10, true}, {1000, false}}),
         {{0, 704}, {704, 800}, {1424, 286}}},
        {"3 blank rows are no gutter",
         600,
         0,
         bands({{600, false}, {3, true}, {797, false}}),
         {{0, 800}, {720, 680}}},
        {"a gutter past T is cut in its part up to T",
         600,
         0,
         bands({{790, false}, {110, true}, {500, false}}),
         {{0, 795}, {795, 605}}},
        {"a gutter from before 2T/5 is cut in its part after it",
         600,
         0,
         bands({{300, false}, {30, true}, {670, false}}),
         {{0, 324}, {324, 676}}},
        {"a long gutter whose middle is early still keeps the next panel whole",
         600,
         0,
         bands({{80, false}, {280, true}, {480, false}, {4, true}, {400, false}}),
         {{0, 339}, {339, 502}, {841, 403}}},
        {"a gutter before 2T/5 is no help",
         600,
         0,
         bands({{100, false}, {100, true}, {1300, false}}),
         {{0, 800}, {720, 780}}},
        {"exactly T rows is one piece", 600, 0, bands({{800, false}}), {{0, 800}}},
        {"no rows", 600, 0, {}, {}},
        {"1 pixel wide, blank", 1, 0, bands({{3, true}}), {{0, 1}, {1, 1}, {2, 1}}},
        {"1 pixel wide, content", 1, 0, bands({{3, false}}), {{0, 1}, {1, 1}, {2, 1}}},
        {"0 pixels wide", 0, 2, {}, {{0, 1}, {1, 1}}},
    };
    for (const auto& c : cases) {
        const std::uint64_t height = c.height != 0 ? c.height : c.flags.size();
        const Pieces got = cutStrip(height, c.width, c.flags);
        EXPECT_EQ(got, c.want) << c.what;
        expectSoundCut(got, height, c.width, c.flags);
    }
}

// Random strips of panels no taller than 3T/5 between gutters: every panel lies whole in a
// piece; and random flags of any kind give a sound cut.
TEST(CutStrip, PropertiesOverRandomStrips) {
    std::mt19937 rng(7);
    for (int round = 0; round < 400; ++round) {
        const std::uint32_t width = 1 + rng() % 120;
        const std::uint64_t t = stripPieceLimit(width);
        std::vector<bool> flags(4 + rng() % 40, true);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> panels;
        for (int n = 1 + static_cast<int>(rng() % 12); n > 0; --n) {
            const std::uint64_t rows = 1 + rng() % (t * 3 / 5 + 1);
            if (rows * 5 > t * 3) continue;
            panels.emplace_back(flags.size(), flags.size() + rows);
            flags.insert(flags.end(), rows, false);
            flags.insert(flags.end(), 4 + rng() % 40, true);
        }
        const Pieces pieces = cutStrip(flags.size(), width, flags);
        expectSoundCut(pieces, flags.size(), width, flags);
        for (const auto& [a, b] : panels)
            EXPECT_TRUE(std::any_of(
                pieces.begin(), pieces.end(),
                [&](const StripPiece& p) { return p.first <= a && b <= p.first + p.rows; }))
                << "round " << round << ": panel " << a << ".." << b << " cut, T " << t;

        std::vector<bool> noise(rng() % 3000);
        const unsigned blankOneIn = 1 + rng() % 4;
        for (std::size_t y = 0; y < noise.size(); ++y)
            noise[y] = rng() % blankOneIn != 0 || (y / 7) % 3 == 0;
        expectSoundCut(cutStrip(noise.size(), width, noise), noise.size(), width, noise);
    }
}

// A million rows with and without gutters, and 30 000 one-row slices, in well under a
// second each.
TEST(CutStrip, HugeStripsStayLinear) {
    std::vector<bool> flags(1'000'000, false);
    for (std::size_t y = 0; y < flags.size(); ++y)
        flags[y] = y % 700 < 20;
    const auto t0 = std::chrono::steady_clock::now();
    const Pieces pieces = cutStrip(flags.size(), 800, flags);
    EXPECT_EQ(cutStrip(flags.size(), 1, {}).size(), flags.size());
    const std::vector<std::uint32_t> heights(30000, 1);
    const auto parts = pieceSlices(heights, cutStrip(heights.size(), 1, {}));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    expectSoundCut(pieces, flags.size(), 800, flags);
    ASSERT_EQ(parts.size(), 30000u);
    EXPECT_EQ(parts[29999], (std::vector<SliceRows>{{29999, 0, 1}}));
}

TEST(PieceSlices, Table) {
    const std::vector<std::uint32_t> heights = {3, 0, 5, 2};
    const struct {
        StripPiece piece;
        std::vector<SliceRows> want;
    } cases[] = {
        {{0, 3}, {{0, 0, 3}}},
        {{2, 3}, {{0, 2, 1}, {2, 0, 2}}},
        {{3, 5}, {{2, 0, 5}}},
        {{0, 10}, {{0, 0, 3}, {2, 0, 5}, {3, 0, 2}}},
        {{7, 10}, {{2, 4, 1}, {3, 0, 2}}}, // past the end: clipped
        {{10, 1}, {}},
        {{4, 0}, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pieceSlices(heights, std::span(&c.piece, 1)).at(0), c.want) << c.piece.first;
}

// A picture whose bytes are pattern(byte in the row, row).
template <class Pattern>
Image picture(std::uint32_t w, std::uint32_t h, std::uint16_t bpp, Pattern pattern) {
    Image im;
    EXPECT_TRUE(im.Create(w, h, bpp));
    if (bpp == 8) im.SetGrayPalette();
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::size_t i = 0; i < im.Stride(); ++i)
            im.Row(y)[i] = pattern(static_cast<std::uint32_t>(i), y);
    return im;
}

// Slices scanned one by one and joined piece by piece give the pieces, and the pixels, of
// the strip made whole.
TEST(PieceSlices, SlicesJoinedAsTheWholeStrip) {
    const auto comic = [](std::uint32_t x, std::uint32_t y) -> std::uint8_t {
        return (y % 37) < 9 ? 250 : static_cast<std::uint8_t>(x * 7 + y * 3);
    };
    for (const std::uint16_t bpp : {std::uint16_t{8}, std::uint16_t{24}}) {
        const std::vector<std::uint32_t> heights = {30, 1, 52, 25, 70};
        const Image whole = picture(20, 178, bpp, comic);
        std::vector<Image> slices;
        std::vector<bool> flags;
        std::uint32_t top = 0;
        for (const std::uint32_t h : heights) {
            slices.push_back(picture(
                20, h, bpp, [&](std::uint32_t x, std::uint32_t y) { return comic(x, top + y); }));
            appendUniformRows(slices.back(), flags);
            top += h;
        }
        ASSERT_EQ(flags, uniformRows(whole));
        const Pieces pieces = cutStrip(whole.GetHeight(), 20, flags);
        ASSERT_GT(pieces.size(), 3u);
        const auto parts = pieceSlices(heights, pieces);
        for (std::size_t p = 0; p < pieces.size(); ++p) {
            std::uint64_t row = pieces[p].first;
            for (const SliceRows& s : parts[p])
                for (std::uint32_t y = 0; y < s.rows; ++y, ++row)
                    ASSERT_TRUE(
                        std::equal(whole.Row(static_cast<std::uint32_t>(row)),
                                   whole.Row(static_cast<std::uint32_t>(row)) + whole.Stride(),
                                   slices[s.slice].Row(s.firstRow + y)))
                        << "piece " << p << " row " << row;
            EXPECT_EQ(row, pieces[p].first + pieces[p].rows);
        }
    }
}

// An odd byte anywhere in a flat colour row, for rows that end on a block and rows that
// do not: every byte counts, for its own channel only.
TEST(UniformRows, EveryBytePositionCounts) {
    for (const std::uint16_t bpp : {std::uint16_t{8}, std::uint16_t{24}})
        for (const std::uint32_t width : {2u, 5u, 16u, 17u, 48u, 50u, 112u, 800u}) {
            Image im = picture(width, 1, bpp, [](std::uint32_t i, std::uint32_t) {
                return static_cast<std::uint8_t>(i % 3 == 0 ? 230 : i % 3 == 1 ? 60 : 128);
            });
            if (bpp == 8) std::fill_n(im.Row(0), im.Stride(), std::uint8_t{128});
            for (std::size_t at = 0; at < im.Stride(); ++at) {
                const std::uint8_t was = im.Row(0)[at];
                for (const int delta : {-25, 25, -24, 24}) {
                    im.Row(0)[at] = static_cast<std::uint8_t>(was + delta);
                    EXPECT_EQ(uniformRows(im), std::vector<bool>{delta % 25 != 0})
                        << bpp << "-bit " << width << " wide, " << delta << " at " << at;
                }
                im.Row(0)[at] = was;
            }
        }
    EXPECT_TRUE(uniformRows(Image()).empty());
}

TEST(UniformRows, PaletteIsJudgedOnItsColours) {
    Image im;
    ASSERT_TRUE(im.Create(64, 4, 4));
    const Rgb colours[] = {{255, 255, 255}, {240, 240, 240}, {0, 0, 0}, {255, 255, 255}};
    im.SetPalette(colours);
    const std::uint8_t rows[4][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}};
    for (std::uint32_t y = 0; y < 4; ++y)
        for (std::uint32_t x = 0; x < 64; ++x)
            im.Row(y)[x] = rows[y][x % 2];
    EXPECT_EQ(uniformRows(im), (std::vector<bool>{true, false, true, false}));
}

} // namespace
} // namespace folio
