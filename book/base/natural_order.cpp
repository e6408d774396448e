#include "book/base/natural_order.h"

namespace folio {

namespace {
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// <0, 0, >0 like strcmp, ignoring case and comparing digit runs by value.
int naturalCompare(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && isDigit(a[ie]))
                ++ie;
            while (je < b.size() && isDigit(b[je]))
                ++je;
            std::size_t is = i, js = j;
            while (is + 1 < ie && a[is] == '0')
                ++is;
            while (js + 1 < je && b[js] == '0')
                ++js;
            if (ie - is != je - js) return ie - is < je - js ? -1 : 1;
            if (int c = a.substr(is, ie - is).compare(b.substr(js, je - js)); c != 0) return c;
            i = ie;
            j = je;
            continue;
        }
        const char x = lower(a[i]), y = lower(b[j]);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}
} // namespace

bool naturalLess(std::string_view a, std::string_view b) {
    const int c = naturalCompare(a, b);
    return c != 0 ? c < 0 : a < b;
}

} // namespace folio
