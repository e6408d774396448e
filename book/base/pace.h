// How fast a make goes and how long it has left, for the progress displays.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace folio {

struct PaceEstimate {
    double pagesPerSecond = 0;
    long long secondsLeft = 0;
};

class Pace {
  public:
    using Clock = std::chrono::steady_clock;
    // Guesses over fewer pages or less time jump about too much to show.
    static constexpr int kMinPages = 3;
    static constexpr std::chrono::milliseconds kMinTime{1000};

    void start(Clock::time_point now) { start_ = now; }
    // done of total pages after the time since start; nothing while too early to tell.
    std::optional<PaceEstimate> at(int done, int total, Clock::time_point now) const;

  private:
    Clock::time_point start_{};
};

// "0:42", "12:05", "1:02:03".
std::string formatDuration(long long seconds);

} // namespace folio
