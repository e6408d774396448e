#include "cli/command_support.h"

#include "book/image/image_type.h"
#include "book/sources/source.h"

#include <ostream>

namespace folio::cli {

extern const char kProbeHelp[] = R"(Usage: folioforge probe [--decode] FILE...

For each FILE print one line: PATH<TAB>TYPE<TAB>WIDTHxHEIGHTxBPP, where TYPE is the
image type the file name gives (0: not an image file name; 100: a PDF page, sized as it
renders) and BPP is 1, 4, 8 or 24.
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

bool decodedFacts(const std::vector<std::uint8_t>& bytes, ImageType type, ImageFacts& facts) {
    Image image(0);
    if (!image.LoadMemory(bytes, type) || !image.IsValid()) return false;
    facts = {image.GetWidth(), image.GetHeight(), image.GetBpp()};
    return true;
}

bool decodedFacts(const std::string& path, ImageType type, ImageFacts& facts) {
    Image image(0);
    if (!loadImageFile(image, path, type)) return false;
    facts = {image.GetWidth(), image.GetHeight(), image.GetBpp()};
    return true;
}

// A member's facts come from its bytes, read through the source layer; a PDF page's from
// its size, or with --decode from the page rendered.
bool memberFacts(SourceReader& sources, const std::string& path, ImageType type, bool decode,
                 ImageFacts& facts) {
    std::vector<std::uint8_t> bytes;
    std::string reason;
    if (type == kPdfPageType) {
        std::uint64_t share = 0;
        if (!decode) return sources.probePdfPage(path, facts, share, reason);
        Image image(0);
        if (!sources.renderPdfPage(path, image, reason)) return false;
        facts = {image.GetWidth(), image.GetHeight(), image.GetBpp()};
        return true;
    }
    if (!sources.read(path, bytes, reason)) return false;
    return decode ? decodedFacts(bytes, type, facts) : probeImageMemory(bytes, type, facts, reason);
}

int probeFiles(std::vector<std::string> files, bool decode, std::ostream& out, std::ostream& err) {
    std::vector<SkippedRow> skipped;
    expandContainers(files, skipped);
    listLeftOut(skipped, err);
    SourceReader sources;
    sources.expect(files);
    for (const auto& path : files) {
        const ImageType type = pageTypeOfPath(path);
        out << path << '\t' << type << '\t';
        ImageFacts facts;
        std::string reason;
        const bool member = type != 0 && resolveSourcePath(path).isMember();
        const bool known = type != 0 && (member   ? memberFacts(sources, path, type, decode, facts)
                                         : decode ? decodedFacts(path, type, facts)
                                                  : probeImageFile(path, type, facts, reason));
        if (known)
            out << facts.width << 'x' << facts.height << 'x' << facts.bpp;
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
