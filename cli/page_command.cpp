#include "cli/command_support.h"

#include "book/format/book_check.h"
#include "book/making/book_builder.h"
#include "book/making/page_planner.h"
#include "book/sources/source.h"

#include <filesystem>
#include <optional>
#include <ostream>

namespace folio::cli {

namespace {
// OUT.jpg -> OUT-2.jpg; a name without an extension gets the number at its end.
std::string numberedPageFile(const std::string& output, std::size_t number) {
    const std::filesystem::path path(output);
    const std::string ext = path.extension().string();
    return output.substr(0, output.size() - ext.size()) + "-" + std::to_string(number) + ext;
}
} // namespace

extern const char kPageHelp[] =
    R"(Usage: folioforge page SRC -o OUT.jpg [--color] [--quality N] [--crop]
                      [--split-spreads] [--rtl] [--strips] [--overwrite]

Write the page that make would put in a book for the picture SRC, the very same JPEG
bytes: turned if portrait, gray unless --color, scaled to 640 pixels high. SRC is a
picture file or a page inside a comic archive, PDF or book (CONTAINER/MEMBER).

Options:
  -o, --output OUT   the JPEG file to write (required)
      --color        a colour page, as after make's --color (default: a gray page)
      --quality N    JPEG quality, 0 to 100 (default: 50 for a gray page, 80 for a
                     colour page, the defaults of make)
      --crop         cut the paper margins as make --crop does
      --split-spreads, --rtl, --strips
                     as make does: when SRC gives several pages (the halves of a
                     spread, the pieces of a tall picture) they are written as OUT-1.jpg,
                     OUT-2.jpg, ... (OUT's name with -1, -2, ... before its extension)
      --overwrite    replace OUT if it exists
  -h, --help         show this help

Exit status: 0 page written, 1 SRC gives no page or OUT could not be written (the reason
on standard error), 2 usage error.
)";

int page(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    PageJob job;
    std::optional<std::string> output, source;
    std::optional<int> quality;
    bool overwrite = false;
    const Option options[] = {
        {"--output", "-o", "a file name", [&](const std::string& v) { return output = v, true; }},
        {"--quality", nullptr, "a quality from 0 to 100",
         [&](const std::string& v) { return (quality = parseQuality(v)).has_value(); }},
        {"--color", nullptr, nullptr, [&](const std::string&) { return job.gray = false, true; }},
        {"--crop", nullptr, nullptr, [&](const std::string&) { return job.options.crop = true; }},
        {"--split-spreads", nullptr, nullptr,
         [&](const std::string&) { return job.options.splitSpreads = true; }},
        {"--rtl", nullptr, nullptr,
         [&](const std::string&) { return job.options.rightToLeft = true; }},
        {"--strips", nullptr, nullptr,
         [&](const std::string&) { return job.options.strips = true; }},
        {"--overwrite", nullptr, nullptr, [&](const std::string&) { return overwrite = true; }},
    };
    const auto take = [&](const std::string& operand) {
        if (source) return std::string("page takes one source picture");
        source = operand;
        return std::string();
    };
    if (const auto code = readOptions(args, options, OptionPlacement::Anywhere, take, "page", err))
        return *code;
    if (!source) return usageError(err, "no source picture given", "page");
    if (!output || output->empty())
        return usageError(err, "no output file: give one with -o OUT.jpg", "page");
    const BookRequest defaults;
    job.page = resolvePage(*source);
    job.options.grayQuality = quality.value_or(defaults.options.grayQuality);
    job.options.colorQuality = quality.value_or(defaults.options.colorQuality);
    if (job.page.kind == PageKind::None) {
        err << "folioforge: " << job.page.path << ": not an image file name\n";
        return 1;
    }
    SourceReader sources;
    const std::vector<PlannedPage> planned =
        planPages({BookEntry{job.page, job.gray, 0}}, job.options, sources);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < planned.size(); ++i)
        names.push_back(planned.size() == 1 ? *output : numberedPageFile(*output, i + 1));
    for (const std::string& name : names) {
        if (!overwrite && std::filesystem::exists(std::filesystem::symlink_status(name))) {
            err << "folioforge: " << name << " exists; use --overwrite to replace it\n";
            return 1;
        }
    }
    // Every page is made before any is written, so a failure leaves no partial set.
    std::vector<MadePage> pages;
    for (const PlannedPage& p : planned) {
        job.part = p.part;
        pages.push_back(makePage(job, &sources, nullptr));
        if (!pages.back().ok) {
            err << "folioforge: " << plannedPageName(p) << ": " << pages.back().reason << "\n";
            return 1;
        }
    }
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const MadePage& made = pages[i];
        std::string why;
        if (!writePageFile(names[i], *made.jpeg, overwrite, why)) {
            err << "folioforge: cannot write " << names[i] << ": " << why << "\n";
            return 1;
        }
        BookPageInfo info;
        checkJpegStream(*made.jpeg, info, why);
        out << "wrote " << names[i] << ": " << info.width << 'x' << info.height << ' '
            << (made.gray ? "gray" : "colour") << " page, quality " << made.quality << ", "
            << sizeText(made.jpeg->size()) << "\n";
    }
    return 0;
}

} // namespace folio::cli
