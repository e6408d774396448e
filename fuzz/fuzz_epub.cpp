// Fuzz entry point for the EPUB listing (libarchive and pugixml behind it): whatever the
// bytes, the pages are distinct member paths inside the EPUB, each with an image type, in
// reading order, and a book either lists pages or says why it has none.
#include "book/image/image_type.h"
#include "book/sources/source.h"
#include "fuzz/invariant.h"

#include <cstdint>
#include <set>
#include <string>

using folio::fuzz::broken;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    folio::SourceLimits limits;
    limits.maxMembers = 256;
    const auto run = folio::sources::runEpubInMemory({data, size}, limits);
    if (run.error.empty() == run.pages.empty()) broken("no pages without a reason, or both");
    if (run.pages.size() > limits.maxMembers) broken("more pages than members");
    std::set<std::string> seen;
    for (const std::string& page : run.pages) {
        if (page.empty() || page.front() == '/') broken("page path not inside the EPUB");
        if (("/" + page + "/").find("/../") != std::string::npos ||
            ("/" + page + "/").find("/./") != std::string::npos)
            broken("page path climbs or stays");
        if (page.find("//") != std::string::npos) broken("empty part in a page path");
        if (folio::imageTypeOfPath(page) == 0) broken("page without an image type");
        if (!seen.insert(page).second) broken("a page listed twice");
    }
    for (const std::string& why : run.leftOut)
        if (why.empty()) broken("left out without a reason");
    return 0;
}
