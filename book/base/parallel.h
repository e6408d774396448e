// A plain parallel loop for independent work items.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace folio {

// Runs body(i) for every i below count on up to `jobs` threads (0: one per processor).
// body must not throw.
template <typename Body> void parallelFor(std::size_t count, int jobs, Body body) {
    std::size_t threads = jobs > 0 ? static_cast<std::size_t>(jobs)
                                   : std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, count);
    if (threads <= 1) {
        for (std::size_t i = 0; i < count; ++i)
            body(i);
        return;
    }
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < count;)
            body(i);
    };
    std::vector<std::jthread> pool;
    for (std::size_t t = 1; t < threads; ++t)
        pool.emplace_back(work);
    work();
}

} // namespace folio
