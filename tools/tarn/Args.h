// Command-line options of the form --name value, --flag, and positional arguments.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarncli {

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // "--layer 2" -> {"layer", "2"}
    std::vector<std::string> flags;              // "--quiet" -> "quiet"

    bool Has(const std::string& flag) const;
    std::optional<std::string> Option(const std::string& name) const;
};

// Splits argv; `valued` names the options that take a value. An unknown option or a missing
// value is reported in `error`.
bool ParseArgs(int argc, char** argv, const std::vector<std::string>& valued,
               const std::vector<std::string>& flags, Args* args, std::string* error);

// An integer option within [min, max]; `fallback` when absent. False (with a message) otherwise.
bool IntOption(const Args& args, const std::string& name, long min, long max, long fallback,
               long* value, std::string* error);

}  // namespace tarncli
