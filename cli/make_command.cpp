#include "cli/command_support.h"

#include "book/making/book_builder.h"
#include "book/pages/file_order.h"
#include "book/base/pace.h"
#include "book/making/page_cache.h"
#include "book/base/text_encoding.h"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <ostream>
#include <unistd.h>

namespace folio::cli {

extern const char kMakeHelp[] =
    R"(Usage: folioforge make -o OUT [OPTION...] PAGE... [--color PAGE]...

Make the book OUT from the pages in the order given. A bare PAGE becomes a gray page,
a PAGE after --color a colour page. A directory stands for its image files in natural
order (page2 before page10); a comic archive (.cbz .zip .cbr .rar .cb7 .7z .cbt .tar
.tar.gz .tgz .tar.bz2 .tar.xz) for its image members, sub-folders included, in natural
order of their member paths; a .QFB book for its pages; a PDF for its pages, each
rendered 1280 pixels high once upright. A single page inside one is named
CONTAINER/MEMBER, for example vol1.cbz/ch01/003.jpg, old.QFB/0007.jpg or
scan.pdf/0007. Every page is turned if portrait, made gray if gray, scaled to 640 pixels
high and stored as a JPEG. ".QFB" is appended to OUT unless it already ends so; an empty
OUT gives "noname.QFB".

Options:
  -o, --output OUT       the book file to write (required)
      --title TEXT       the book's title (stored in code page 936, at most 100 bytes)
      --author TEXT      the book's author (likewise)
      --gray-quality N   JPEG quality of gray pages, 0 to 100 (default 50)
      --color-quality N  JPEG quality of colour pages, 0 to 100 (default 80)
      --color PAGE       add PAGE (file or directory) as colour page(s)
      --overwrite        replace OUT if it exists
  -j, --jobs N           pages prepared at once (default: one per processor)
      --fast             decode large JPEG pages reduced (1/2 to 1/8) before scaling, gray
                         pages as luma alone: about 1.2 times quicker on the bench set,
                         close to the exact pages but not byte-identical to them
      --auto-color       let each page's content decide whether it is a colour page
                         (a photo, a coloured figure, stamp or logo) or a gray one (a gray
                         scan in colour, colour fringes, yellowed or tinted paper), whether
                         given bare or after --color
      --crop             cut a page's uniform white or black border, leaving a margin of
                         about 1% of its content, before it is turned and scaled; content,
                         a page without such a border and a nearly empty page stay whole
      --cache DIR        keep the encoded pages in DIR (created if missing) and take them
                         from there when a page's file content and settings are the same
                         as before: the book is the same, made without decoding those
                         pages again
      --strict           exit with 1 when any page was skipped (the book is still written)
  -q, --quiet            no progress and no summary
  -h, --help             show this help

Pages that cannot be used are skipped and listed on standard error with the reason. The
summary line names the pages written, the pages skipped and the book's size.

Exit status: 0 book written, 1 book not written (or, with --strict, written with pages
skipped), 2 usage error.
)";

namespace {

class TerminalPlatform final : public BookPlatform {
  public:
    TerminalPlatform(bool overwrite, bool quiet, const std::vector<SkippedRow>& leftOut,
                     std::ostream& out, std::ostream& err)
        : overwrite_(overwrite), quiet_(quiet), leftOut_(leftOut), out_(out), err_(err) {}

    bool fileExists(const std::string& name) override {
        std::error_code ec;
        return std::filesystem::exists(std::filesystem::symlink_status(name, ec));
    }
    bool askOverwrite(const std::string&) override { return overwrite_; }
    void reportSuccess(const std::string&, const MakeReport& report) override {
        listSkipped(report);
        if (quiet_) return;
        out_ << "wrote " << report.outputName << ": " << report.pagesWritten << " page"
             << (report.pagesWritten == 1 ? "" : "s") << ", "
             << leftOut_.size() + report.skipped.size() << " skipped";
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(report.outputName, ec);
        if (!ec) out_ << ", " << sizeText(bytes);
        out_ << "\n";
    }
    void reportFailure(const MakeReport& report) override {
        listSkipped(report);
        err_ << "folioforge: " << report.error << "\n";
    }

  private:
    void listSkipped(const MakeReport& report) {
        for (const auto& s : leftOut_)
            err_ << "folioforge: skipped " << s.path << ": " << s.reason << "\n";
        for (const auto& s : report.skipped)
            err_ << "folioforge: skipped " << s.path << ": " << s.reason << "\n";
        if (report.leftOut > 0)
            err_ << "folioforge: " << report.leftOut
                 << " page(s) left out: a book holds at most 1000 pages\n";
    }

    bool overwrite_, quiet_;
    const std::vector<SkippedRow>& leftOut_;
    std::ostream& out_;
    std::ostream& err_;
};

// One line that rewrites itself on a terminal; silent when stderr is not one.
class TerminalProgress final : public ProgressDisplay {
  public:
    explicit TerminalProgress(bool enabled) : enabled_(enabled) {}
    void StartProgress() override { pace_.start(Pace::Clock::now()); }
    void ShowCurrentPage(const std::string& path, int done, int total) override {
        if (!enabled_) return;
        std::string rate;
        if (const auto e = pace_.at(done, total, Pace::Clock::now())) {
            char text[48];
            std::snprintf(text, sizeof text, " %.1f pages/s, %s left", e->pagesPerSecond,
                          formatDuration(e->secondsLeft).c_str());
            rate = text;
        }
        std::fprintf(stderr, "\r\033[K[%d/%d]%s %s", done + 1, total, rate.c_str(), path.c_str());
        std::fflush(stderr);
        shown_ = true;
    }
    void HideProgress() override { clear(); }
    void DestroyProgress() override { clear(); }

  private:
    void clear() {
        if (!shown_) return;
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        shown_ = false;
    }
    bool enabled_;
    bool shown_ = false;
    Pace pace_;
};

void addPage(PageList& list, const std::string& path, bool gray) {
    const int row = list.rowCount();
    list.insertRow(row, std::filesystem::path(path).filename().string());
    list.setCellText(row, kCellPath, path);
    list.setCellText(row, kCellGrayFlag, gray ? "Yes" : "No");
}

void addPages(PageList& list, const std::string& arg, bool gray, std::vector<SkippedRow>& leftOut) {
    const Expansion expansion = expandPaths({arg});
    for (const auto& path : expansion.pages)
        addPage(list, path, gray);
    leftOut.insert(leftOut.end(), expansion.leftOut.begin(), expansion.leftOut.end());
}

} // namespace

int make(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    BookRequest request;
    request.jobs = 0;
    std::optional<std::string> output, cacheDir;
    bool overwrite = false, quiet = false, strict = false;
    PageList pages;
    std::vector<SkippedRow> leftOut; // folders that stand for no page
    const char* codeset = terminalCodeset();
    const auto quality = [](int& into) {
        return [&into](const std::string& v) {
            const auto q = parseQuality(v);
            if (q) into = *q;
            return q.has_value();
        };
    };
    const auto flag = [](bool& into) {
        return [&into](const std::string&) { return into = true; };
    };
    const Option options[] = {
        {"--output", "-o", "a file name", [&](const std::string& v) { return output = v, true; }},
        {"--title", nullptr, "a text",
         [&](const std::string& v) { return request.title = localeToUtf8(v, codeset), true; }},
        {"--author", nullptr, "a text",
         [&](const std::string& v) { return request.author = localeToUtf8(v, codeset), true; }},
        {"--gray-quality", nullptr, "a quality from 0 to 100", quality(request.grayQuality)},
        {"--color-quality", nullptr, "a quality from 0 to 100", quality(request.colorQuality)},
        {"--color", nullptr, "a page",
         [&](const std::string& v) { return addPages(pages, v, false, leftOut), true; }},
        {"--jobs", "-j", "a number from 1 to 999",
         [&](const std::string& v) {
             if (v.empty() || v.size() > 3 ||
                 v.find_first_not_of("0123456789") != std::string::npos || std::stoi(v) < 1)
                 return false;
             request.jobs = std::stoi(v);
             return true;
         }},
        {"--overwrite", nullptr, nullptr, flag(overwrite)},
        {"--fast", nullptr, nullptr, flag(request.fast)},
        {"--auto-color", nullptr, nullptr, flag(request.autoColor)},
        {"--crop", nullptr, nullptr, flag(request.crop)},
        {"--cache", nullptr, "a directory",
         [&](const std::string& v) { return !v.empty() && (cacheDir = v, true); }},
        {"--strict", nullptr, nullptr, flag(strict)},
        {"--quiet", "-q", nullptr, flag(quiet)},
    };
    const auto bare = [&](const std::string& path) {
        addPages(pages, path, true, leftOut);
        return std::string();
    };
    if (const auto code = readOptions(args, options, OptionPlacement::Anywhere, bare, "make", err))
        return *code;
    if (!output) return usageError(err, "no output file: give one with -o OUT", "make");
    request.fileName = *output;

    std::optional<DiskPageCache> cache;
    if (cacheDir) {
        std::string why;
        if (!cache.emplace(*cacheDir).open(why)) {
            err << "folioforge: " << why << "\n";
            return 1;
        }
        request.cache = &*cache;
    }

    TerminalPlatform platform(overwrite, quiet, leftOut, out, err);
    TerminalProgress progress(!quiet && ::isatty(STDERR_FILENO));
    const MakeReport report = makeBook(pages, request, platform, progress);
    if (cache && !cache->storeError().empty()) err << "folioforge: " << cache->storeError() << "\n";
    if (report.declined) {
        err << "folioforge: " << report.outputName << " exists; use --overwrite to replace it\n";
        return 1;
    }
    if (!report.written) return 1;
    // Rows past the last slot are among the skipped rows already.
    const std::size_t missing = leftOut.size() + report.skipped.size();
    if (strict && missing > 0) {
        err << "folioforge: " << missing << " page(s) not in the book (--strict)\n";
        return 1;
    }
    return 0;
}

} // namespace folio::cli
