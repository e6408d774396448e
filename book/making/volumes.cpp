#include "book/making/volumes.h"

#include "book/format/book_header.h"

#include <algorithm>

namespace folio {

std::vector<std::size_t> volumeBreaks(std::size_t pages, std::size_t limit,
                                      const std::vector<bool>& startsSource) {
    std::vector<std::size_t> breaks;
    if (limit == 0 || pages <= limit) return breaks;
    const std::size_t n = (pages + limit - 1) / limit;
    const std::size_t reach = pages / (10 * n); // a tenth of a volume
    std::size_t previous = 0;
    for (std::size_t k = 1; k < n; ++k) {
        // Every volume keeps at least one page and none passes the limit, this one or the rest.
        const std::size_t lo = std::max(previous + 1, pages - std::min(pages, (n - k) * limit));
        const std::size_t hi = std::min(previous + limit, pages - (n - k));
        const std::size_t ideal = std::clamp((k * pages + n / 2) / n, lo, hi);
        std::size_t chosen = ideal;
        std::size_t best = reach + 1;
        const std::size_t from = std::max(lo, ideal > reach ? ideal - reach : 0);
        const std::size_t to = std::min(hi, ideal + reach);
        for (std::size_t i = from; i <= to; ++i) {
            if (i >= startsSource.size() || !startsSource[i]) continue;
            const std::size_t distance = i > ideal ? i - ideal : ideal - i;
            if (distance < best) best = distance, chosen = i;
        }
        breaks.push_back(chosen);
        previous = chosen;
    }
    return breaks;
}

std::string volumeFileName(const std::string& bookFile, std::size_t volume, std::size_t count) {
    const std::size_t dot = bookFile.size() >= 4 ? bookFile.size() - 4 : bookFile.size();
    std::string number = std::to_string(volume);
    const std::size_t digits = std::to_string(count).size();
    if (number.size() < digits) number.insert(0, digits - number.size(), '0');
    return bookFile.substr(0, dot) + "-" + number + bookFile.substr(dot);
}

std::string volumeTitleCp936(const std::string& titleCp936, std::size_t volume, std::size_t count) {
    std::string suffix = "(" + std::to_string(volume) + "/" + std::to_string(count) + ")";
    if (titleCp936.empty()) return suffix;
    suffix.insert(0, " ");
    const std::size_t room =
        BookHeader::kTextBytes - std::min(suffix.size(), BookHeader::kTextBytes);
    return titleCp936.substr(0, cp936CutLength(titleCp936, room)) + suffix;
}

} // namespace folio
