#include "cli/command_support.h"

#include "book/format/book_check.h"
#include "book/sources/source.h"

#include <filesystem>
#include <ostream>

namespace folio::cli {

extern const char kExtractHelp[] = R"(Usage: folioforge extract [--overwrite] BOOK DIR

Write every page of BOOK, its JPEG bytes unchanged, as DIR/0001.jpg, DIR/0002.jpg, ...
DIR is created if missing. Nothing but these files is written, and an existing file of
one of these names is left alone (and nothing is written) unless --overwrite is given.
A broken book (see inspect) gives the pages that are sound; the others are named on
standard error.

Exit status: 0 every page written, 1 a page or the book is broken or a file could not be
written, 2 usage error.
)";

int extract(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::vector<std::string> operands;
    bool overwrite = false;
    const Option options[] = {
        {"--overwrite", nullptr, nullptr, [&](const std::string&) { return overwrite = true; }},
    };
    const auto take = [&](const std::string& operand) {
        operands.push_back(operand);
        return std::string();
    };
    if (const auto code =
            readOptions(args, options, OptionPlacement::AnywhereNoEndMark, take, "extract", err))
        return *code;
    if (operands.size() != 2)
        return usageError(err, "extract takes a book and a folder", "extract");
    const std::string& path = operands[0];
    const std::filesystem::path dir = operands[1];
    std::vector<std::uint8_t> bytes;
    if (!readBookFile(path, bytes, err)) return 1;
    const BookInfo info = checkBook(bytes);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir)) {
        err << "folioforge: cannot make the folder " << dir.string() << ": "
            << (ec ? ec.message() : "not a folder") << "\n";
        return 1;
    }
    auto name = [&](std::size_t i) { return (dir / bookPageName(i)).string(); };
    // Nothing is written when any page would replace a file already there.
    if (!overwrite) {
        for (std::size_t i = 0; i < info.pages.size(); ++i) {
            if (std::filesystem::exists(std::filesystem::symlink_status(name(i), ec))) {
                err << "folioforge: " << name(i) << " exists; use --overwrite to replace it\n";
                return 1;
            }
        }
    }
    int status = info.sound() ? 0 : 1;
    int written = 0;
    for (std::size_t i = 0; i < info.pages.size(); ++i) {
        const BookPageInfo& page = info.pages[i];
        if (!page.problem.empty()) {
            err << "folioforge: " << path << ": page " << i + 1 << " not written: " << page.problem
                << "\n";
            continue;
        }
        std::string why;
        if (!writePageFile(name(i), std::span(bytes).subspan(page.offset, page.size), overwrite,
                           why)) {
            err << "folioforge: cannot write " << name(i) << ": " << why << "\n";
            status = 1;
            continue;
        }
        ++written;
    }
    if (!info.sound()) err << "folioforge: " << path << ": " << info.violation << "\n";
    out << "wrote " << written << " page" << (written == 1 ? "" : "s") << " to " << dir.string()
        << "\n";
    return status;
}

} // namespace folio::cli
