#include "cli/cli.h"

#include <clocale>
#include <iostream>

int main(int argc, char** argv) {
    // Titles typed in the terminal arrive in its character set.
    std::setlocale(LC_CTYPE, "");
    std::vector<std::string> args(argv + 1, argv + argc);
    return folio::cli::run(args, std::cout, std::cerr);
}
