#include "cli/command_support.h"

#include "book/format/book_check.h"
#include "book/making/book_builder.h"
#include "book/sources/source.h"

#include <filesystem>
#include <optional>
#include <ostream>

namespace folio::cli {

extern const char kPageHelp[] =
    R"(Usage: folioforge page SRC -o OUT.jpg [--color] [--quality N] [--crop] [--overwrite]

Write the page that make would put in a book for the picture SRC, the very same JPEG
bytes: turned if portrait, gray unless --color, scaled to 640 pixels high. SRC is a
picture file or a page inside a comic archive, PDF or book (CONTAINER/MEMBER).

Options:
  -o, --output OUT   the JPEG file to write (required)
      --color        a colour page, as after make's --color (default: a gray page)
      --quality N    JPEG quality, 0 to 100 (default: 50 for a gray page, 80 for a
                     colour page, the defaults of make)
      --crop         cut the paper margins as make --crop does
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
    if (!overwrite && std::filesystem::exists(std::filesystem::symlink_status(*output))) {
        err << "folioforge: " << *output << " exists; use --overwrite to replace it\n";
        return 1;
    }
    const MadePage made = makePage(job, nullptr, nullptr);
    if (!made.ok) {
        err << "folioforge: " << job.page.path << ": " << made.reason << "\n";
        return 1;
    }
    std::string why;
    if (!writePageFile(*output, *made.jpeg, overwrite, why)) {
        err << "folioforge: cannot write " << *output << ": " << why << "\n";
        return 1;
    }
    BookPageInfo info;
    checkJpegStream(*made.jpeg, info, why);
    out << "wrote " << *output << ": " << info.width << 'x' << info.height << ' '
        << (made.gray ? "gray" : "colour") << " page, quality " << made.quality << ", "
        << sizeText(made.jpeg->size()) << "\n";
    return 0;
}

} // namespace folio::cli
