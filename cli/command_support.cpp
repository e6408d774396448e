#include "cli/command_support.h"

#include "book/base/atomic_file.h"
#include "book/base/file_read.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <langinfo.h>
#include <limits>
#include <ostream>

namespace folio::cli {

namespace {

const Option* findOption(std::span<const Option> options, const std::string& word) {
    const auto found = std::find_if(options.begin(), options.end(), [&](const Option& o) {
        return word == o.name || (o.alias && word == o.alias);
    });
    return found == options.end() ? nullptr : &*found;
}

} // namespace

std::optional<int> readOptions(const std::vector<std::string>& args,
                               std::span<const Option> options, OptionPlacement placement,
                               const std::function<std::string(const std::string&)>& operand,
                               const char* command, std::ostream& err) {
    bool onlyOperands = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const Option* option = nullptr;
        if (placement == OptionPlacement::FirstWord) {
            if (i == 0) option = findOption(options, a);
        } else if (!onlyOperands && a != "-" && !a.empty() && a[0] == '-') {
            if (a == "--" && placement == OptionPlacement::Anywhere) {
                onlyOperands = true;
                continue;
            }
            option = findOption(options, a);
            if (!option) return usageError(err, "unknown option '" + a + "'", command);
        }
        if (!option) {
            if (const std::string why = operand(a); !why.empty())
                return usageError(err, why, command);
            continue;
        }
        if (!option->value)
            option->set({});
        else if (i + 1 >= args.size() || !option->set(args[++i]))
            return usageError(err, "option '" + a + "' needs " + option->value, command);
    }
    return std::nullopt;
}

int usageError(std::ostream& err, const std::string& message, const char* command) {
    err << "folioforge: " << message << "\n";
    err << "Try 'folioforge " << (command ? std::string(command) + " " : std::string())
        << "--help' for more information.\n";
    return 2;
}

std::string sizeText(std::uintmax_t bytes) {
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%ju bytes", bytes);
    else if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
    return text;
}

const char* terminalCodeset() {
    return nl_langinfo(CODESET);
}

std::optional<int> parseQuality(const std::string& text) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v > 100) return std::nullopt;
    return v;
}

bool readBookFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::ostream& err) {
    // No size limit of its own: inspect and extract check what is there, however large.
    std::string why;
    if (readWholeFile(path, std::numeric_limits<std::uint64_t>::max(), bytes, why)) return true;
    err << "folioforge: cannot read " << path << "\n";
    return false;
}

bool writePageFile(const std::string& name, std::span<const std::uint8_t> bytes, bool overwrite,
                   std::string& why) {
    AtomicFile file(name, ".part");
    if (!file.create() || !file.write(bytes.data(), bytes.size()) || !file.commit(overwrite))
        return why = file.error(), false;
    return true;
}

} // namespace folio::cli
