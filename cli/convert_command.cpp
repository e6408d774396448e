#include "cli/book_run.h"
#include "cli/command_support.h"

#include "book/pages/file_order.h"
#include "book/sources/metadata.h"

#include <filesystem>
#include <map>
#include <ostream>
#include <unistd.h>

namespace folio::cli {

extern const char kConvertHelp[] =
    R"(Usage: folioforge convert [OPTION...] INPUT...

Make one book from each INPUT: a folder of pictures, a comic archive (.cbz .zip .cbr .rar
.cb7 .7z .cbt .tar .tar.gz ...), a PDF or a .QFB book. Each goes to DIR/STEM.QFB, STEM
being the input's name without its extension: vol1.cbz gives vol1.QFB, x.tar.gz gives
x.QFB, a folder "Vol 1" gives "Vol 1.QFB". Pages are made as make makes them, gray unless
--color; more pages than --max-pages become volumes STEM-1.QFB, STEM-2.QFB, ...
Title and author come from the input: a ComicInfo.xml in an archive ("SERIES NUMBER",
else its Title; its Writer) or a PDF's document information; the title is STEM where the
input gives none. An input that cannot be made is named on standard error with the reason
and the others are made all the same.

Options:
  -d, --dir DIR          where the books go (default: the current folder; created if missing)
      --color            make every page a colour page
      --gray-quality N   JPEG quality of gray pages, 0 to 100 (default 50)
      --color-quality N  JPEG quality of colour pages, 0 to 100 (default 80)
      --overwrite        replace a book (or its volumes) that exists; an input is never
                         replaced
      --max-pages N      pages a book file may hold, 1 to 1000 (default 1000)
  -j, --jobs N           pages prepared at once (default: one per processor)
      --fast, --auto-color, --crop, --split-spreads, --rtl, --strips,
      --cache DIR        as for make
      --strict           count an input whose book skipped pages as failed
  -q, --quiet            no progress and no summary
  -h, --help             show this help

Two inputs that would give the same STEM are a usage error, before anything is written.

Exit status: 0 every book made, 1 any input failed, 2 usage error.
)";

namespace {

struct Input {
    std::string path, stem;
    Expansion pages;
};

} // namespace

int convert(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    BookRun run;
    std::string dir = ".";
    bool color = false;
    std::vector<Input> inputs;
    std::vector<Option> options = {
        {"--dir", "-d", "a folder",
         [&](const std::string& v) { return !v.empty() && (dir = v, true); }},
        {"--color", nullptr, nullptr, [&](const std::string&) { return color = true; }},
    };
    addBookRunOptions(options, run);
    const auto operand = [&](const std::string& path) {
        inputs.push_back({path, containerStem(path), {}});
        return std::string();
    };
    if (const auto code =
            readOptions(args, options, OptionPlacement::Anywhere, operand, "convert", err))
        return *code;
    if (inputs.empty()) return usageError(err, "no input given", "convert");
    std::map<std::string, std::string> byStem;
    for (const Input& input : inputs) {
        if (input.stem.empty() || input.stem == "." || input.stem == "..")
            return usageError(err, "'" + input.path + "' gives no book name", "convert");
        const auto [at, fresh] = byStem.emplace(input.stem, input.path);
        if (!fresh)
            return usageError(err,
                              "'" + at->second + "' and '" + input.path + "' would both make " +
                                  input.stem + ".QFB",
                              "convert");
    }
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir)) {
        err << "folioforge: cannot make the folder " << dir << ": " << ec.message() << "\n";
        return 1;
    }
    std::optional<DiskPageCache> cache;
    if (!openCache(run, cache, err)) return 1;

    // Listed first, so the progress line can count the pages of the whole run.
    int allPages = 0;
    for (Input& input : inputs) {
        input.pages = expandPaths({input.path});
        allPages += static_cast<int>(input.pages.pages.size());
    }
    TerminalProgress progress(!run.quiet && ::isatty(STDERR_FILENO));
    const int count = static_cast<int>(inputs.size());
    int made = 0, pagesBefore = 0;
    for (int i = 0; i < count; ++i) {
        const Input& input = inputs[static_cast<std::size_t>(i)];
        const auto fail = [&](const std::string& why) {
            err << "folioforge: " << input.path << ": " << why << "\n";
        };
        BookRequest request = run.request;
        request.fileName = (std::filesystem::path(dir) / input.stem).string();
        const std::string output = bookFileName(request.fileName);
        if (std::filesystem::equivalent(output, input.path, ec)) {
            fail("its book " + output + " would replace it");
            continue;
        }
        if (input.pages.pages.empty()) {
            for (const auto& s : input.pages.leftOut)
                err << "folioforge: skipped " << s.path << ": " << s.reason << "\n";
            fail("gives no pages");
            continue;
        }
        request.title = input.stem;
        if (isContainerFile(input.path)) {
            std::vector<std::string> one{input.path};
            request.title.clear();
            fillFromMetadata(one, request, false, false, err);
            if (request.title.empty()) request.title = input.stem;
        }
        std::vector<BookEntry> entries;
        for (const auto& path : input.pages.pages)
            entries.push_back({resolvePage(path), !color, static_cast<int>(entries.size())});
        TerminalPlatform platform(run, input.pages.leftOut, out, err);
        progress.setBook(i + 1, count, pagesBefore, allPages);
        pagesBefore += static_cast<int>(entries.size());
        const MakeReport report = makeBook(entries, request, platform, progress);
        if (report.declined) {
            sayExisting(report, err);
            fail("not made");
            continue;
        }
        if (!report.written) {
            fail("not made");
            continue;
        }
        if (run.strict && !(report.skipped.empty() && input.pages.leftOut.empty())) {
            fail("pages skipped (--strict)");
            continue;
        }
        ++made;
    }
    if (cache && !cache->storeError().empty()) err << "folioforge: " << cache->storeError() << "\n";
    if (!run.quiet) out << made << " of " << count << " books made\n";
    return made == count ? 0 : 1;
}

} // namespace folio::cli
