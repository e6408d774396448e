// Fuzz entry point for the ZIP reader (libzip for the compressed bytes, libdeflate to inflate
// them) behind the archive listing: whatever the directory claims, a member comes out within
// the size limit or is refused with a reason.
#include "book/sources/source.h"
#include "fuzz/invariant.h"

#include <cstdint>

using folio::fuzz::broken;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Small limits keep each run quick; the code paths are the same as with the real ones.
    folio::SourceLimits limits;
    limits.maxMembers = 500;
    limits.maxMemberBytes = 4 << 20;
    const auto run = folio::sources::runZipInMemory({data, size}, limits);
    if (run.members.size() > limits.maxMembers) broken("more members than the limit");
    for (std::size_t i = 0; i < run.sizes.size(); ++i) {
        if (run.sizes[i] != SIZE_MAX && run.sizes[i] > limits.maxMemberBytes)
            broken("member read past the limit");
        if (run.sizes[i] != SIZE_MAX && !run.reasons[i].empty())
            broken("member read and refused at once");
    }
    return 0;
}
