#include "cli/command_support.h"

#include "book/image/image_type.h"
#include "book/sources/source.h"

#include <ostream>

namespace folio::cli {

extern const char kProbeHelp[] = R"(Usage: folioforge probe [--decode] FILE...

For each FILE print one line: PATH<TAB>TYPE<TAB>WIDTHxHEIGHTxBPP, where TYPE is the
image type the file name gives (0: not an image file name; 100: a PDF page and 101: a
DjVu page, each sized as it renders) and BPP is 1, 4, 8 or 24.
Only the file's headers are read, as when pages are added in the window. A file whose
name gives no type, or whose header is refused, shows '-' instead of the size.

Options:
      --decode   decode every file in full, as making the book does: '-' also for a file
                 whose pixel data is broken (slower)
A comic archive, .QFB book or PDF gives one line per page in it, named CONTAINER/MEMBER.

Exit status: 0.
)";

namespace {

void listLeftOut(const std::vector<SkippedRow>& skipped, std::ostream& err) {
    for (const auto& s : skipped)
        err << "folioforge: skipped " << s.path << ": " << s.reason << "\n";
}

int probeFiles(std::vector<std::string> files, bool decode, std::ostream& out, std::ostream& err) {
    std::vector<SkippedRow> skipped;
    expandContainers(files, skipped);
    listLeftOut(skipped, err);
    SourceReader sources;
    sources.expect(files);
    for (const auto& path : files) {
        const PageRef page = resolvePage(path);
        out << path << '\t' << page.type << '\t';
        PageFacts facts;
        std::string reason;
        if (probePage(page, sources, facts, reason, decode))
            out << facts.picture.width << 'x' << facts.picture.height << 'x' << facts.picture.bpp;
        else
            out << '-';
        out << '\n';
    }
    return 0;
}

} // namespace

int probe(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    bool decode = false;
    const Option options[] = {
        {"--decode", nullptr, nullptr, [&](const std::string&) { return decode = true; }},
    };
    std::vector<std::string> files;
    const auto take = [&](const std::string& file) {
        files.push_back(file);
        return std::string();
    };
    if (const auto code =
            readOptions(args, options, OptionPlacement::FirstWord, take, "probe", err))
        return *code;
    if (files.empty()) return usageError(err, "probe needs at least one file", "probe");
    return probeFiles(std::move(files), decode, out, err);
}

} // namespace folio::cli
