#include "cli/book_run.h"

#include "book/sources/metadata.h"

namespace folio::cli {

namespace {
// A whole number from lo to hi, or nothing.
std::optional<int> wholeNumber(const std::string& v, int lo, int hi) {
    if (v.empty() || v.size() > 4 || v.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int n = std::stoi(v);
    return n >= lo && n <= hi ? std::optional<int>(n) : std::nullopt;
}
} // namespace

void addBookRunOptions(std::vector<Option>& options, BookRun& run) {
    BookRequest& request = run.request;
    const auto quality = [](int& into) {
        return [&into](const std::string& v) {
            const auto q = parseQuality(v);
            if (q) into = *q;
            return q.has_value();
        };
    };
    const auto number = [](int& into, int lo, int hi) {
        return [&into, lo, hi](const std::string& v) {
            const auto n =
                v.size() <= std::to_string(hi).size() ? wholeNumber(v, lo, hi) : std::nullopt;
            if (n) into = *n;
            return n.has_value();
        };
    };
    const auto flag = [](bool& into) {
        return [&into](const std::string&) { return into = true; };
    };
    const Option shared[] = {
        {"--gray-quality", nullptr, "a quality from 0 to 100",
         quality(request.options.grayQuality)},
        {"--color-quality", nullptr, "a quality from 0 to 100",
         quality(request.options.colorQuality)},
        {"--jobs", "-j", "a number from 1 to 999", number(request.jobs, 1, 999)},
        {"--max-pages", nullptr, "a number from 1 to 1000", number(request.maxPages, 1, 1000)},
        {"--overwrite", nullptr, nullptr, flag(run.overwrite)},
        {"--fast", nullptr, nullptr, flag(request.options.fast)},
        {"--auto-color", nullptr, nullptr, flag(request.options.autoColor)},
        {"--crop", nullptr, nullptr, flag(request.options.crop)},
        {"--split-spreads", nullptr, nullptr, flag(request.options.splitSpreads)},
        {"--rtl", nullptr, nullptr, flag(request.options.rightToLeft)},
        {"--strips", nullptr, nullptr, flag(request.options.strips)},
        {"--cache", nullptr, "a directory",
         [&run](const std::string& v) { return !v.empty() && (run.cacheDir = v, true); }},
        {"--strict", nullptr, nullptr, flag(run.strict)},
        {"--quiet", "-q", nullptr, flag(run.quiet)},
    };
    options.insert(options.end(), std::begin(shared), std::end(shared));
}

bool openCache(BookRun& run, std::optional<DiskPageCache>& cache, std::ostream& err) {
    if (!run.cacheDir) return true;
    std::string why;
    if (!cache.emplace(*run.cacheDir).open(why)) {
        err << "folioforge: " << why << "\n";
        return false;
    }
    run.request.cache = &*cache;
    return true;
}

void sayExisting(const MakeReport& report, std::ostream& err) {
    for (const auto& name : report.existing)
        err << "folioforge: " << name << " exists; use --overwrite to replace it\n";
}

void fillFromMetadata(const std::vector<std::string>& containers, BookRequest& request,
                      bool keepTitle, bool keepAuthor, std::ostream& err) {
    for (const auto& container : containers) {
        if (keepTitle && keepAuthor) return;
        BookMetadata metadata;
        std::string warning;
        const bool found = readContainerMetadata(container, metadata, warning);
        if (!warning.empty()) err << "folioforge: " << container << ": " << warning << "\n";
        if (!found) continue;
        if (!keepTitle && !metadata.title.empty()) {
            request.title = metadata.title;
            keepTitle = true;
        }
        if (!keepAuthor && !metadata.author.empty()) {
            request.author = metadata.author;
            keepAuthor = true;
        }
    }
}

} // namespace folio::cli
