// What the commands of the command line share: the option table and its reader, usage errors,
// and a few helpers. Private to folio_cli.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace folio::cli {

// One option of a command. `set` gets the value and returns false when it refuses it (a flag's
// `set` gets "" and its result is not asked); a missing or refused value is the usage error
// "option 'NAME' needs VALUE", NAME as typed.
struct Option {
    const char* name;  // "--output"
    const char* alias; // "-o", or nullptr
    const char* value; // what follows the option ("a file name"), or nullptr for a flag
    std::function<bool(const std::string& value)> set;
};

// Where a command's options may stand; each command keeps the reading it always had.
enum class OptionPlacement {
    Anywhere,          // anywhere before a "--"; another word starting with '-' is refused
    AnywhereNoEndMark, // anywhere; "--" is refused as an unknown option like any other
    FirstWord,         // only as the first word; every other word is an operand
};

// Reads a command's words against its options, in order: each option's `set` runs, each other
// word goes to `operand`, which returns a usage error's message or "" when it takes the word.
// Gives the exit code of a usage error (printed on err), or nullopt when the line is sound.
std::optional<int> readOptions(const std::vector<std::string>& args,
                               std::span<const Option> options, OptionPlacement placement,
                               const std::function<std::string(const std::string&)>& operand,
                               const char* command, std::ostream& err);

// Prints the usage error with the hint at the command's help (or the general help for nullptr)
// and gives its exit code.
int usageError(std::ostream& err, const std::string& message, const char* command);

// 4216 bytes, 187.3 KiB, 12.5 MiB: what a reader's storage is measured in.
std::string sizeText(std::uintmax_t bytes);

const char* terminalCodeset();

// A JPEG quality, 0 to 100, or nullopt.
std::optional<int> parseQuality(const std::string& text);

// A book's bytes, whole: inspect and extract check all of it.
bool readBookFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::ostream& err);

// Writes one page whole or not at all: a failed write leaves no partial file, and an old file
// is replaced only with overwrite.
bool writePageFile(const std::string& name, std::span<const std::uint8_t> bytes, bool overwrite,
                   std::string& why);

} // namespace folio::cli
