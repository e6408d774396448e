#include "book/base/page_names.h"

namespace folio {

std::string pageNumberName(std::size_t index) {
    std::string digits = std::to_string(index + 1);
    if (digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
    return digits;
}

bool parsePageNumber(std::string_view name, std::size_t& index) {
    if (name.size() < 4 || name.size() > 9) return false;
    std::size_t n = 0;
    for (char c : name) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<std::size_t>(c - '0');
    }
    if (n == 0 || pageNumberName(n - 1) != name) return false;
    index = n - 1;
    return true;
}

} // namespace folio
