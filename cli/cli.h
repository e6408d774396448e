// The command-line front end: `folioforge probe|make|inspect ...`.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace folio::cli {

// Runs one command line (args without the program name); returns the process exit code.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Sorts out a whole command line. A command, a help or version request or a usage error is
// carried out here and its exit code returned. A line for the window (no words, or files and
// folders) gives nullopt and leaves the words to open in `files`.
std::optional<int> runUnlessWindow(const std::vector<std::string>& args,
                                   std::vector<std::string>& files, std::ostream& out,
                                   std::ostream& err);

// The line, newline included, that ends a window command when no window can be opened.
std::string noWindowMessage(const std::string& why);

} // namespace folio::cli
