#include "cli/cli.h"
#include "ui/book_app.h"
#include "ui/strings.h"

#include <QApplication>

#include <clocale>
#include <iostream>
#include <string>
#include <vector>

namespace {
bool isCommand(const std::string& arg) {
    return arg == "probe" || arg == "make" || arg == "inspect" || arg == "extract" || arg == "-h" ||
           arg == "--help";
}
} // namespace

int main(int argc, char** argv) {
    // Titles typed in the terminal arrive in its character set.
    std::setlocale(LC_CTYPE, "");
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && isCommand(args.front()))
        return folio::cli::run(args, std::cout, std::cerr);

    QApplication app(argc, argv);
    QApplication::setApplicationName(folio::ui::kAppName);
    folio::ui::CBookApp bookApp;
    return bookApp.InitInstance(args);
}
