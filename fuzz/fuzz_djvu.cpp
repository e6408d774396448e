// Fuzz entry point for the DjVu source (djvulibre behind the source layer): whatever the bytes,
// the listing stays within its limits, every page is refused with a reason or rendered at
// exactly the size asked for, and nothing crashes or hangs.
#include "book/sources/source.h"
#include "fuzz/invariant.h"

#include <cstdint>

using folio::fuzz::broken;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Few pages, rendered 48 high instead of 1280: the same code, quick runs.
    folio::SourceLimits limits;
    limits.maxMembers = 16;
    constexpr std::uint32_t kHeight = 48;
    const auto run = folio::sources::runDjvuInMemory({data, size}, limits, kHeight);
    if (run.pages > limits.maxMembers) broken("more pages than the limit");
    if (run.error.empty() == (run.pages == 0))
        broken("a DjVu document without pages, or one with an error");
    if (run.rendered.size() != run.pages || run.reasons.size() != run.pages)
        broken("a page neither rendered nor refused");
    for (std::size_t i = 0; i < run.pages; ++i) {
        const auto& r = run.rendered[i];
        if (r.width == 0) {
            if (run.reasons[i].empty()) broken("page refused without a reason");
            continue;
        }
        if (r.bpp != 24) broken("rendered page not 24-bit");
        if ((r.width < r.height ? r.width : r.height) != kHeight)
            broken("rendered page's short side not the height asked for");
    }
    return 0;
}
