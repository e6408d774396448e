#include "cli/command_support.h"

#include "book/base/text_encoding.h"
#include "book/format/book_check.h"

#include <iomanip>
#include <ostream>

namespace folio::cli {

extern const char kInspectHelp[] = R"(Usage: folioforge inspect BOOK

Print the header of BOOK (title, author, slot count, page count) and one line per page
(offset, size, width x height, gray or colour), and check every rule of the book format:
magic, slot count, reserved bytes, page sizes, file length, each page a complete JPEG.

Exit status: 0 the book is sound, 1 it is not (the first broken rule is named) or cannot
be read, 2 usage error.
)";

// inspect has no options: a word starting with '-' is a book's name too.
int inspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() != 1) return usageError(err, "inspect takes exactly one book", "inspect");
    const std::string& path = args[0];
    std::vector<std::uint8_t> bytes;
    if (!readBookFile(path, bytes, err)) return 1;
    const BookInfo info = checkBook(bytes);
    const char* codeset = terminalCodeset();
    out << "book:   " << path << "\n"
        << "title:  " << utf8ToLocale(cp936ToUtf8(info.title), codeset) << "\n"
        << "author: " << utf8ToLocale(cp936ToUtf8(info.author), codeset) << "\n"
        << "slots:  " << info.slotCount << "\n"
        << "pages:  " << info.pageCount << "\n";
    for (std::size_t i = 0; i < info.pages.size(); ++i) {
        const auto& p = info.pages[i];
        out << std::setw(5) << i + 1 << "  offset " << std::setw(10) << p.offset << "  size "
            << std::setw(8) << p.size << "  " << p.width << 'x' << p.height << "  "
            << (p.components == 1   ? "gray"
                : p.components == 3 ? "colour"
                                    : "?")
            << "\n";
    }
    if (!info.sound()) {
        err << "folioforge: " << path << ": " << info.violation << "\n";
        return 1;
    }
    out << "sound: every rule of the book format holds\n";
    return 0;
}

} // namespace folio::cli
