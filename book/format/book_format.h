// Facts of the book format that every stage above it shares.
#pragma once

#include <cstdint>

namespace folio {

// Every page of a book is this many pixels high.
inline constexpr std::uint32_t kPageHeight = 640;

} // namespace folio
