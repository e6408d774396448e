// Fuzz entry point for the PDF source (poppler behind the source layer).
#include "fuzz/rendered_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return folio::fuzz::renderedDocument(folio::sources::runPdfInMemory, {data, size},
                                         "a PDF without pages, or one with an error");
}
