#include "cli/cli.h"

#include <clocale>
#include <iostream>

int main(int argc, char** argv) {
    // Titles typed in the terminal arrive in its character set.
    std::setlocale(LC_CTYPE, "");
    std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::string> files;
    if (const auto code = folio::cli::runUnlessWindow(args, files, std::cout, std::cerr))
        return *code;
    std::cerr << folio::cli::noWindowMessage("this build has none");
    return 1;
}
