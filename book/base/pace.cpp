#include "book/base/pace.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace folio {

std::optional<PaceEstimate> Pace::at(int done, int total, Clock::time_point now) const {
    const auto elapsed = now - start_;
    if (done < kMinPages || elapsed < kMinTime) return std::nullopt;
    const double seconds = std::chrono::duration<double>(elapsed).count();
    PaceEstimate e;
    e.pagesPerSecond = done / seconds;
    e.secondsLeft = static_cast<long long>(std::ceil(std::max(total - done, 0) / e.pagesPerSecond));
    return e;
}

std::string formatDuration(long long seconds) {
    seconds = std::max(seconds, 0LL);
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                      seconds % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
    return text;
}

} // namespace folio
