// Fuzz entry point for the archive reader (libarchive behind the source layer) and the page
// table of a book: whatever the bytes, the listing stays within its limits and every member
// read stays within the size limit, with a reason whenever something is refused.
#include "book/format/book_check.h"
#include "book/sources/source.h"
#include "fuzz/invariant.h"

#include <cstdint>

using folio::fuzz::broken;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Small limits keep each run quick; the code paths are the same as with the real ones.
    folio::SourceLimits limits;
    limits.maxMembers = 500;
    limits.maxMemberBytes = 4 << 20;
    const auto run = folio::sources::runArchiveInMemory({data, size}, limits);
    if (run.members.size() > limits.maxMembers) broken("more members than the limit");
    if (!run.error.empty() && !run.members.empty()) broken("an unreadable archive gave pages");
    if (run.sizes.size() > run.members.size()) broken("more members read than listed");
    for (const auto& m : run.members)
        if (m.empty() || m.back() == '/') broken("a folder or nameless entry listed as a page");
    for (std::size_t s : run.sizes)
        if (s != SIZE_MAX && s > limits.maxMemberBytes) broken("member read past the limit");

    std::vector<folio::BookPageInfo> pages;
    std::string why;
    if (folio::readPageTable({data, size}, pages, why)) {
        if (pages.size() > 1000) broken("book with more than 1000 pages");
    } else if (why.empty()) {
        broken("book refused without a reason");
    }
    return 0;
}
