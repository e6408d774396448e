#include "cli/cli.h"

#include "cli/command_support.h"

#include <filesystem>
#include <ostream>
#include <string_view>

namespace folio::cli {

// A command is a row of kCommands and a NAME_command.cpp that defines its help and run function,
// declared here. The help's first line, "Usage: folioforge ...", also heads the general help.
using RunCommand = int (*)(const std::vector<std::string>& args, std::ostream& out,
                           std::ostream& err);
extern const char kProbeHelp[], kMakeHelp[], kConvertHelp[], kPageHelp[], kInspectHelp[],
    kExtractHelp[];
int probe(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int make(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int convert(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int page(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int inspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int extract(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

namespace {

struct Command {
    const char* name;
    const char* summary; // its line under "Commands:" in the general help
    const char* help;    // all of `folioforge NAME --help`
    RunCommand run;      // gets the words after NAME unless they ask for help
};

// Every command, in the order the help lists them. The shell completion
// (data/folioforge.bash-completion) lists them too; the install test sees that it offers each.
constexpr Command kCommands[] = {
    {"probe", "show the image type, size and depth the tool sees in each file", kProbeHelp, probe},
    {"make", "make a book from page images on the command line", kMakeHelp, make},
    {"convert", "make one book from each folder, archive, PDF or book", kConvertHelp, convert},
    {"page", "write one page as a JPEG exactly as a book made by make holds it", kPageHelp, page},
    {"inspect", "show a book's header and pages and check the file", kInspectHelp, inspect},
    {"extract", "write a book's pages unchanged as DIR/0001.jpg, DIR/0002.jpg, ...", kExtractHelp,
     extract},
};

constexpr char kAbout[] = R"(
Turn page images into one .QFB book for a page-by-page reader.

With no command, or with files only, the window opens (files given are added as pages).
A folder, a comic archive (CBZ/ZIP, CBR/RAR, CB7/7z, CBT/TAR), a .QFB book or a PDF
stands for its pages; a page inside one is named CONTAINER/MEMBER (vol1.cbz/ch01/003.jpg,
scan.pdf/0007).

Commands:
)";

constexpr char kGeneralOptions[] = R"(
Options:
  -h, --help      show this help (after a command: that command's help)
  -V, --version   show the version

Run 'folioforge COMMAND --help' for the options of a command.

Exit status: 0 done, 1 failed (the reason on standard error), 2 usage error.
)";

const Command* findCommand(const std::string& word) {
    for (const Command& c : kCommands)
        if (word == c.name) return &c;
    return nullptr;
}

// The general help: each command's usage line and summary come from its row.
std::string usageText() {
    std::string text = "Usage: folioforge [FILE...]\n";
    for (const Command& c : kCommands) {
        const std::string_view help = c.help;
        const std::string_view prefix = "Usage: ";
        text.append("       ").append(help.substr(prefix.size(), help.find('\n') - prefix.size()));
        text += '\n';
    }
    text += "       folioforge --version\n";
    text += kAbout;
    for (const Command& c : kCommands) {
        const std::string name = c.name;
        // Summaries start in one column; a longer name pushes only its own.
        text += "  " + name + std::string(name.size() < 8 ? 10 - name.size() : 2, ' ') + c.summary +
                "\n";
    }
    text += kGeneralOptions;
    return text;
}

bool isHelp(const std::string& word) {
    return word == "-h" || word == "--help";
}

// Help wins wherever it stands, up to a "--" that ends the options.
bool asksForHelp(const std::vector<std::string>& words) {
    for (const auto& w : words) {
        if (w == "--") return false;
        if (isHelp(w)) return true;
    }
    return false;
}

// An existing file or folder, or a name inside an existing file (a member of an archive or
// book, CONTAINER/MEMBER).
bool namesSomething(const std::filesystem::path& path) {
    std::error_code ec;
    for (auto p = path; !p.empty(); p = p.parent_path()) {
        if (std::filesystem::exists(p, ec))
            return p == path || std::filesystem::is_regular_file(p, ec);
        if (p == p.parent_path()) break;
    }
    return false;
}

} // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) return usageError(err, "no command given", nullptr);
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (isHelp(command)) {
        out << usageText();
        return 0;
    }
    if (command == "-V" || command == "--version") {
        out << "folioforge " FOLIO_VERSION "\n"
               "Licence GPL-3.0-or-later: GNU GPL version 3 or later "
               "<https://www.gnu.org/licenses/gpl.html>.\n"
               "This is free software: you may change and share it. There is NO WARRANTY.\n";
        return 0;
    }
    const Command* found = findCommand(command);
    if (!found) return usageError(err, "unknown command '" + command + "'", nullptr);
    // Every command's help, whatever its own options.
    if (asksForHelp(rest)) {
        out << found->help;
        return 0;
    }
    return found->run(rest, out, err);
}

std::optional<int> runUnlessWindow(const std::vector<std::string>& args,
                                   std::vector<std::string>& files, std::ostream& out,
                                   std::ostream& err) {
    files.clear();
    if (args.empty()) return std::nullopt;
    const std::string& first = args[0];
    if (findCommand(first) || first == "-V" || first == "--version") return run(args, out, err);
    if (asksForHelp(args)) return run({"--help"}, out, err);
    bool onlyFiles = false;
    for (const auto& word : args) {
        if (!onlyFiles && word == "--") {
            onlyFiles = true;
        } else if (!onlyFiles && word.size() > 1 && word[0] == '-') {
            files.clear();
            return usageError(err, "unknown option '" + word + "'", nullptr);
        } else {
            files.push_back(word);
        }
    }
    // A mistyped command must not open the window; later words are the window's to report.
    if (first != "--" && !namesSomething(first)) {
        files.clear();
        const bool pathLike = first.find_first_of("./") != std::string::npos;
        return usageError(err,
                          pathLike ? "no such file or folder '" + first + "'"
                                   : "unknown command '" + first + "'",
                          nullptr);
    }
    return std::nullopt;
}

std::string noWindowMessage(const std::string& why) {
    std::string commands;
    for (const Command& c : kCommands)
        commands += std::string(commands.empty() ? "" : ", ") + c.name;
    return "folioforge: cannot open the window: " + why + "; the " + commands +
           " commands work without one\n";
}

} // namespace folio::cli
