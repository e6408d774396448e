// Fuzz entry point for the DjVu source (djvulibre behind the source layer).
#include "fuzz/rendered_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return folio::fuzz::renderedDocument(folio::sources::runDjvuInMemory, {data, size},
                                         "a DjVu document without pages, or one with an error");
}
