// The decode floor: what a book of these pages costs with no turning, graying or scaling.
// folio_floor [--jobs N] LIST decodes every page of LIST (a pages.txt: "gray|color<TAB>path")
// with the library's decoders and JPEG-encodes a ready-made picture of that page's output
// size, so the tool's own page work can be judged as "time above the floor". A JPEG is
// decoded bare: libjpeg-turbo's rows into one reused row buffer, no picture allocated.
#include "book/image/Image.h"
#include "book/image/codecs/Codecs.h"
#include "book/image/image_type.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using std::uint32_t;
using std::uint64_t;
using std::uint8_t;

struct Page {
    bool gray = false;
    std::string path;
};

bool readList(const char* file, std::vector<Page>& pages) {
    std::ifstream in(file);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        pages.push_back({line.compare(0, tab, "gray") == 0, line.substr(tab + 1)});
    }
    return true;
}

// FNV-1a: keeps the encoder's output observable so no step can be optimised away.
uint64_t fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint8_t b : bytes)
        h = (h ^ b) * 0x100000001b3ull;
    return h;
}

// A page-like picture (gradient with fine detail) of the output size; made once per size
// and depth, outside the per-page work.
class PreparedPages {
  public:
    folio::Image* get(uint32_t w, bool gray) {
        const uint64_t key = uint64_t{w} * 2 + (gray ? 1 : 0);
        auto it = cache_.find(key);
        if (it != cache_.end()) return &it->second;
        folio::Image im;
        if (!im.Create(w, kHeight, gray ? 8 : 24)) return nullptr;
        if (gray) im.SetGrayPalette();
        uint32_t s = 0x9e3779b9u;
        for (uint32_t y = 0; y < kHeight; ++y) {
            uint8_t* row = im.Row(y);
            for (std::size_t i = 0; i < im.Stride(); ++i) {
                s ^= s << 13;
                s ^= s >> 17;
                s ^= s << 5;
                row[i] = static_cast<uint8_t>((i / 5 + y / 3) % 200 + (s & 31));
            }
        }
        return &cache_.emplace(key, std::move(im)).first->second;
    }

  private:
    static constexpr uint32_t kHeight = 640;
    std::map<uint64_t, folio::Image> cache_;
};

struct Result {
    bool ok = false;
    uint64_t hash = 0;
    std::size_t bytes = 0;
    std::string error;
};

// Takes every decoded row into the same buffer and keeps nothing but the size.
class DiscardRows final : public folio::codecs::RowSink {
  public:
    bool begin(const folio::codecs::PictureFacts& f, std::string&) override {
        facts = f;
        row_.resize(std::size_t{f.width} * (f.bpp / 8));
        return true;
    }
    uint8_t* rowBuffer(uint32_t) override { return row_.data(); }
    void rowDone(uint32_t) override {}
    folio::codecs::PictureFacts facts;

  private:
    std::vector<uint8_t> row_;
};

bool readWhole(const std::string& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

Result onePage(const Page& page, PreparedPages& prepared) {
    Result r;
    uint32_t w = 0, h = 0;
    const folio::ImageType type = folio::imageTypeOfPath(page.path);
    if (type == folio::kFormatJpeg) {
        std::vector<uint8_t> bytes;
        DiscardRows rows;
        std::string err;
        if (!readWhole(page.path, bytes) ||
            !folio::codecs::decodeJpegRows(bytes, folio::codecs::JpegReduction{}, rows, err)) {
            r.error = err.empty() ? "cannot read" : err;
            return r;
        }
        w = rows.facts.width;
        h = rows.facts.height;
    } else {
        folio::Image image(0);
        if (!folio::loadImageFile(image, page.path, type)) {
            r.error = image.GetLastError().empty() ? "does not load" : image.GetLastError();
            return r;
        }
        w = image.GetWidth();
        h = image.GetHeight();
    }
    const uint32_t longer = std::max(w, h);
    const uint32_t shorter = std::min(w, h);
    // round(longer * 640 / shorter) in integers; sides are at most 30000, no overflow.
    const auto width = static_cast<uint32_t>((uint64_t{longer} * 1280 + shorter) / (2 * shorter));
    folio::Image* out = prepared.get(width, page.gray);
    if (!out) {
        r.error = "out of memory";
        return r;
    }
    out->SetJpegQuality(page.gray ? 50 : 80);
    std::vector<uint8_t> jpeg;
    if (!out->Encode(jpeg, folio::kFormatJpeg)) {
        r.error = out->GetLastError();
        return r;
    }
    r.ok = true;
    r.hash = fnv1a(jpeg);
    r.bytes = jpeg.size();
    return r;
}

} // namespace

int main(int argc, char** argv) {
    int jobs = 1;
    const char* list = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--jobs" || a == "-j") && i + 1 < argc) {
            jobs = std::atoi(argv[++i]);
        } else if (!list && a[0] != '-') {
            list = argv[i];
        } else {
            list = nullptr;
            break;
        }
    }
    if (!list || jobs < 1 || jobs > 256) {
        std::fprintf(stderr, "usage: folio_floor [--jobs N] LIST\n");
        return 2;
    }
    std::vector<Page> pages;
    if (!readList(list, pages)) {
        std::fprintf(stderr, "folio_floor: cannot read %s\n", list);
        return 1;
    }

    std::vector<Result> results(pages.size());
    std::atomic<std::size_t> next{0};
    {
        std::vector<std::jthread> workers;
        for (int t = 0; t < jobs; ++t)
            workers.emplace_back([&] {
                PreparedPages prepared; // per thread: no locking on the hot path
                for (std::size_t i; (i = next++) < pages.size();)
                    results[i] = onePage(pages[i], prepared);
            });
    }

    uint64_t sum = 0;
    std::size_t bytes = 0, done = 0;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (!results[i].ok) {
            std::fprintf(stderr, "folio_floor: cannot read %s: %s\n", pages[i].path.c_str(),
                         results[i].error.c_str());
            continue;
        }
        // Order-dependent mix, same for any number of jobs.
        sum = (sum ^ results[i].hash) * 0x100000001b3ull + i;
        bytes += results[i].bytes;
        ++done;
    }
    std::printf("%zu of %zu pages, %zu JPEG bytes, checksum %016llx\n", done, pages.size(), bytes,
                static_cast<unsigned long long>(sum));
    return done == pages.size() ? 0 : 1;
}
