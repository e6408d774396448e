// Ordering of names as a person reads them.
#pragma once

#include <string_view>

namespace folio {

// "page2" before "page10": runs of digits compare by value, letters without regard to case;
// names equal that way fall back to plain byte order so the order is total.
bool naturalLess(std::string_view a, std::string_view b);

} // namespace folio
