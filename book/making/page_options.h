// How pages are made, as the user chose it, besides each page's own gray or colour mark. The
// book request, the page job and the caches' keys all hold this one struct: a new option is a
// field here, a term in pageSettings() (page_cache.h) and a flag of the front ends.
#pragma once

namespace folio {

struct PageOptions {
    int grayQuality = 50;
    int colorQuality = 80;
    // JPEG pages decoded reduced in the DCT domain (and gray pages as luma alone) before the
    // exact scaling: much quicker, visibly the same, not byte-identical to the exact path.
    bool fast = false;
    // Paper margins cut before the turn (see cropToContent).
    bool crop = false;
    // Every page's content decides whether it is gray or colour, whatever its row says.
    bool autoColor = false;
    // The three below decide which pages a row gives (page_planner.h), not how one is made:
    // a page's cache key names its part instead, and nothing when it is the whole picture.
    // A picture more than 1.2 times as wide as high becomes its two halves (see spreadPages).
    bool splitSpreads = false;
    // Spread halves right first, whatever the container says.
    bool rightToLeft = false;
    // Consecutive same-width pictures of one folder or container are joined into a strip and
    // cut into page-sized pieces (see cutStrip).
    bool strips = false;
    bool operator==(const PageOptions&) const = default;
};

} // namespace folio
