// The body of the PDF and DjVu fuzz targets: whatever the bytes, the listing stays within its
// limits, every page is refused with a reason or rendered at exactly the size asked for, and
// nothing crashes or hangs.
#pragma once

#include "book/sources/source.h"
#include "fuzz/invariant.h"

#include <cstdint>
#include <span>

namespace folio::fuzz {

// run is runPdfInMemory or runDjvuInMemory; noPagesOrError names what it broke.
template <typename Run>
int renderedDocument(Run run, std::span<const std::uint8_t> data, const char* noPagesOrError) {
    // Few pages, rendered 48 high instead of 1280: the same code, quick runs.
    SourceLimits limits;
    limits.maxMembers = 16;
    constexpr std::uint32_t kHeight = 48;
    const auto result = run(data, limits, kHeight);
    if (result.pages > limits.maxMembers) broken("more pages than the limit");
    if (result.error.empty() == (result.pages == 0)) broken(noPagesOrError);
    if (result.rendered.size() != result.pages || result.reasons.size() != result.pages)
        broken("a page neither rendered nor refused");
    for (std::size_t i = 0; i < result.pages; ++i) {
        const auto& r = result.rendered[i];
        if (r.width == 0) {
            if (result.reasons[i].empty()) broken("page refused without a reason");
            continue;
        }
        if (r.bpp != 24) broken("rendered page not 24-bit");
        if ((r.width < r.height ? r.width : r.height) != kHeight)
            broken("rendered page's short side not the height asked for");
    }
    return 0;
}

} // namespace folio::fuzz
