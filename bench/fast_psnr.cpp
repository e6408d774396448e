// How far --fast strays from the exact path, for every page of LIST (a pages.txt):
//  - "pixels": PSNR between the two 640-high pages before JPEG encoding;
//  - "book": what a reader sees. Both pages are encoded at the page's quality (50 gray,
//    80 colour) and decoded again, each compared with the exact page before encoding; the
//    difference of the two PSNRs is what --fast costs in the book.
//   folio_fast_psnr LIST
#include "book/making/book_builder.h"
#include "book/image/image_type.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

bool page(const std::string& path, bool gray, bool fast, folio::Image& out) {
    std::string reason;
    return out.LoadForPage(path, folio::imageTypeOfPath(path), folio::kPageHeight, gray, fast) &&
           folio::preparePageImage(out, gray, reason);
}

double psnr(const folio::Image& a, const folio::Image& b) {
    double squares = 0;
    for (std::size_t i = 0; i < a.Pixels().size(); ++i) {
        const double d = double(a.Pixels()[i]) - double(b.Pixels()[i]);
        squares += d * d;
    }
    if (squares == 0) return 99.0;
    return 10 * std::log10(255.0 * 255.0 * double(a.Pixels().size()) / squares);
}

// The page as the book holds it: encoded at the page's quality and decoded again.
bool throughJpeg(const folio::Image& page, bool gray, folio::Image& out) {
    folio::Image copy = page;
    copy.SetJpegQuality(gray ? 50 : 80);
    std::vector<std::uint8_t> jpeg;
    return copy.Encode(jpeg, folio::kFormatJpeg) && out.LoadMemory(jpeg, folio::kFormatJpeg) &&
           out.Pixels().size() == page.Pixels().size();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: folio_fast_psnr LIST\n");
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "folio_fast_psnr: cannot read %s\n", argv[1]);
        return 1;
    }
    std::string line;
    double sum = 0, worst = 1e9, dropSum = 0, worstDrop = 0;
    int differing = 0, same = 0, failed = 0;
    while (std::getline(in, line)) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const bool gray = line.compare(0, tab, "gray") == 0;
        const std::string path = line.substr(tab + 1);
        folio::Image exact, fast;
        if (!page(path, gray, false, exact) || !page(path, gray, true, fast) ||
            exact.GetWidth() != fast.GetWidth() || exact.GetHeight() != fast.GetHeight() ||
            exact.Pixels().size() != fast.Pixels().size()) {
            std::printf("%s\tFAILED\n", path.c_str());
            ++failed;
            continue;
        }
        folio::Image exactBook, fastBook;
        if (!throughJpeg(exact, gray, exactBook) || !throughJpeg(fast, gray, fastBook)) {
            std::printf("%s\tFAILED to encode\n", path.c_str());
            ++failed;
            continue;
        }
        const double pixels = psnr(fast, exact);
        if (pixels >= 99.0) {
            ++same;
            std::printf("%s\tidentical\n", path.c_str());
            continue;
        }
        const double drop = psnr(exactBook, exact) - psnr(fastBook, exact);
        std::printf("%s\tpixels %.2f dB\tbook %.2f -> %.2f dB (%.2f dB lower)\n", path.c_str(),
                    pixels, psnr(exactBook, exact), psnr(fastBook, exact), drop);
        sum += pixels;
        worst = std::min(worst, pixels);
        dropSum += drop;
        worstDrop = std::max(worstDrop, drop);
        ++differing;
    }
    if (differing > 0)
        std::printf("--fast against the exact page over %d pages (%d identical, %d failed):\n"
                    "  pixels: mean %.2f dB, worst %.2f dB\n"
                    "  book (after JPEG): mean %.2f dB lower, worst %.2f dB lower\n",
                    differing, same, failed, sum / differing, worst, dropSum / differing,
                    worstDrop);
    else
        std::printf("all %d pages identical, %d failed\n", same, failed);
    return failed == 0 ? 0 : 1;
}
