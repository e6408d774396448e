#include "cli/book_run.h"
#include "cli/command_support.h"

#include "book/base/pace.h"
#include "book/base/text_encoding.h"
#include "book/making/book_builder.h"
#include "book/making/page_cache.h"
#include "book/pages/file_order.h"

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
      --overwrite        replace OUT (or its volumes) if it exists
      --max-pages N      pages a book file may hold, 1 to 1000 (default 1000); more pages
                         become volumes OUT-1.QFB, OUT-2.QFB, ... of even size, titled
                         TITLE (1/3) and so on, broken where a folder or archive begins
                         when one is near
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
      --split-spreads    a picture more than 1.2 times as wide as high (a double-page
                         spread) becomes two pages: its left half, then its right half
                         (with --crop the margins are cut first, so both keep one scale)
      --rtl              halves of a spread right first; without it, right first only in
                         an archive whose ComicInfo.xml says <Manga>YesAndRightToLeft
      --strips           consecutive pictures of the same width from one folder or archive
                         (a webtoon's slices) are joined into one strip and cut into pages
                         no taller than 4/3 of its width, in the blank bands between panels
                         where there are some, else overlapping a little so no row is lost
      --cache DIR        keep the encoded pages in DIR (created if missing) and take them
                         from there when a page's file content and settings are the same
                         as before: the book is the same, made without decoding those
                         pages again
      --strict           exit with 1 when any page was skipped (the book is still written)
  -q, --quiet            no progress and no summary
  -h, --help             show this help

Without --title or --author they come from the first archive argument with a ComicInfo.xml
(title "SERIES NUMBER", else its Title; author its Writer) or PDF with document information.
Pages that cannot be used are skipped and listed on standard error with the reason. The
summary line names the pages written, the pages skipped and the book's size.

Exit status: 0 book written, 1 book not written (or, with --strict, written with pages
skipped), 2 usage error.
)";

namespace {

void addPages(std::vector<BookEntry>& entries, const std::string& arg, bool gray,
              std::vector<SkippedRow>& leftOut, std::vector<std::string>& containers) {
    if (isContainerFile(arg)) containers.push_back(arg);
    const Expansion expansion = expandPaths({arg});
    for (const auto& path : expansion.pages)
        entries.push_back({resolvePage(path), gray, static_cast<int>(entries.size()),
                           path == expansion.pages.front()});
    leftOut.insert(leftOut.end(), expansion.leftOut.begin(), expansion.leftOut.end());
}

} // namespace

int make(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    BookRun run;
    BookRequest& request = run.request;
    std::optional<std::string> output;
    std::vector<BookEntry> pages;
    std::vector<SkippedRow> leftOut;     // folders that stand for no page
    std::vector<std::string> containers; // arguments whose metadata may give title and author
    const char* codeset = terminalCodeset();
    bool titled = false, authored = false;
    std::vector<Option> options = {
        {"--output", "-o", "a file name", [&](const std::string& v) { return output = v, true; }},
        {"--title", nullptr, "a text",
         [&](const std::string& v) {
             titled = true;
             return request.title = localeToUtf8(v, codeset), true;
         }},
        {"--author", nullptr, "a text",
         [&](const std::string& v) {
             authored = true;
             return request.author = localeToUtf8(v, codeset), true;
         }},
        {"--color", nullptr, "a page",
         [&](const std::string& v) {
             return addPages(pages, v, false, leftOut, containers), true;
         }},
    };
    addBookRunOptions(options, run);
    const auto bare = [&](const std::string& path) {
        addPages(pages, path, true, leftOut, containers);
        return std::string();
    };
    if (const auto code = readOptions(args, options, OptionPlacement::Anywhere, bare, "make", err))
        return *code;
    if (!output) return usageError(err, "no output file: give one with -o OUT", "make");
    request.fileName = *output;
    fillFromMetadata(containers, request, titled, authored, err);

    std::optional<DiskPageCache> cache;
    if (!openCache(run, cache, err)) return 1;
    TerminalPlatform platform(run, leftOut, out, err);
    TerminalProgress progress(!run.quiet && ::isatty(STDERR_FILENO));
    const MakeReport report = makeBook(pages, request, platform, progress);
    if (cache && !cache->storeError().empty()) err << "folioforge: " << cache->storeError() << "\n";
    if (report.declined) {
        sayExisting(report, err);
        return 1;
    }
    if (!report.written) return 1;
    const std::size_t missing = leftOut.size() + report.skipped.size();
    if (run.strict && missing > 0) {
        err << "folioforge: " << missing << " page(s) not in the book (--strict)\n";
        return 1;
    }
    return 0;
}

} // namespace folio::cli
