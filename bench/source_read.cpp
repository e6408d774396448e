// What reading every page of an archive costs: one reader for the whole run (the builder's
// way: one pass over the archive) against a fresh reader per page (a pass per page).
//   folio_source_read ARCHIVE [RUNS]
#include "book/sources/source.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: folio_source_read ARCHIVE [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    const folio::ContainerListing listing = folio::listContainer(argv[1]);
    if (listing.pages.empty()) {
        std::fprintf(stderr, "no pages in %s\n", argv[1]);
        return 1;
    }
    for (int run = 0; run < runs; ++run) {
        std::uint64_t bytes = 0;
        auto start = std::chrono::steady_clock::now();
        {
            folio::SourceReader reader;
            reader.expect(listing.pages);
            for (const auto& p : listing.pages) {
                std::vector<std::uint8_t> out;
                std::string why;
                if (reader.read(p, out, why)) bytes += out.size();
            }
        }
        const double shared = seconds(start);
        start = std::chrono::steady_clock::now();
        for (const auto& p : listing.pages) {
            std::vector<std::uint8_t> out;
            std::string why;
            folio::readSourceBytes(p, out, why);
        }
        const double fresh = seconds(start);
        std::printf("%zu pages, %.1f MB: one reader %.3f s, a reader per page %.3f s\n",
                    listing.pages.size(), static_cast<double>(bytes) / 1e6, shared, fresh);
    }
    return 0;
}
