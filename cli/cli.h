// The command-line front end: `folioforge probe|make|inspect ...`.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace folio::cli {

// Runs one command line (args without the program name); returns the process exit code.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace folio::cli
