// How fast PDF pages become book pages, with one job and with two: writes a PDF of text
// pages and scanned pages (A4, the scans 1240 x 1754 as a 150 dpi scanner gives them) with
// cairo, then makes its book RUNS times per job count and prints the median pages/s.
//   folio_pdf_rate DIR [PAGES] [RUNS]
#include "cli/cli.h"
#include "tests/pdf_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

folio::test::Color scan(std::uint32_t x, std::uint32_t y) {
    const bool ink = (y / 18) % 3 == 0 && (x / 9) % 7 != 0 && x > 100 && x < 1140;
    const std::uint8_t paper = static_cast<std::uint8_t>(235 + (x * 7 + y * 13) % 17);
    return ink ? folio::test::Color{30, 30, 35} : folio::test::Color{paper, paper, 225};
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: folio_pdf_rate DIR [PAGES] [RUNS]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const int pages = argc > 2 ? std::atoi(argv[2]) : 40;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;
    std::vector<folio::test::PdfPage> content;
    for (int i = 0; i < pages; ++i) {
        if (i % 2) {
            content.push_back({595.276, 841.89, 1240, 1754, scan, {}});
            continue;
        }
        std::vector<std::string> lines;
        for (int l = 0; l < 34; ++l)
            lines.push_back("Line " + std::to_string(l + 1) +
                            " of a page of running text, set in a serif face at 14 points.");
        content.push_back({595.276, 841.89, 0, 0, nullptr, lines});
    }
    const auto bytes = folio::test::pdfBytes(content);
    const std::string pdf = dir + "/bench.pdf";
    std::ofstream(pdf, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    std::printf("%s: %d pages, %zu KB\n", pdf.c_str(), pages, bytes.size() / 1024);
    for (const char* jobs : {"1", "2"}) {
        std::vector<double> rates;
        for (int r = 0; r < runs; ++r) {
            std::ostringstream out, err;
            const auto start = std::chrono::steady_clock::now();
            const int code = folio::cli::run(
                {"make", "--overwrite", "--quiet", "--jobs", jobs, "-o", dir + "/bench.QFB", pdf},
                out, err);
            const double s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (code != 0) {
                std::fprintf(stderr, "make failed: %s", err.str().c_str());
                return 1;
            }
            rates.push_back(pages / s);
        }
        std::sort(rates.begin(), rates.end());
        std::printf("jobs %s: %.1f pages/s (median of %d; min %.1f, max %.1f)\n", jobs,
                    rates[rates.size() / 2], runs, rates.front(), rates.back());
    }
    return 0;
}
