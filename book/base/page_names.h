// The names of numbered pages: a book's pages and a rendered document's are "0001", "0002", ...
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace folio {

// Page index (from 0) as its name: the number from 1, at least four digits.
std::string pageNumberName(std::size_t index);

// A name back to its index; only a name pageNumberName gives (so no sign, no extra leading
// zeros, no "0000"), and at most nine digits.
bool parsePageNumber(std::string_view name, std::size_t& index);

} // namespace folio
