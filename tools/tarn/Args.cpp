#include "Args.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace tarncli {

bool Args::Has(const std::string& flag) const {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

std::optional<std::string> Args::Option(const std::string& name) const {
    const auto it = options.find(name);
    if (it == options.end()) return std::nullopt;
    return it->second;
}

bool ParseArgs(int argc, char** argv, const std::vector<std::string>& valued,
               const std::vector<std::string>& flags, Args* args, std::string* error) {
    auto contains = [](const std::vector<std::string>& list, const std::string& name) {
        return std::find(list.begin(), list.end(), name) != list.end();
    };
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            args->positional.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2), value;
        const size_t equals = name.find('=');
        const bool inlineValue = equals != std::string::npos;
        if (inlineValue) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        if (contains(flags, name) && !inlineValue) {
            args->flags.push_back(name);
        } else if (contains(valued, name)) {
            if (!inlineValue) {
                if (i + 1 >= argc) {
                    *error = "option --" + name + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            args->options[name] = value;
        } else {
            *error = "unknown option " + arg;
            return false;
        }
    }
    return true;
}

bool IntOption(const Args& args, const std::string& name, long min, long max, long fallback,
               long* value, std::string* error) {
    const std::optional<std::string> text = args.Option(name);
    if (!text) {
        *value = fallback;
        return true;
    }
    errno = 0;
    char* end = nullptr;
    const long parsed = strtol(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0' || errno != 0 || parsed < min || parsed > max) {
        *error = "--" + name + " must be a whole number from " + std::to_string(min) + " to " +
                 std::to_string(max) + ", not '" + *text + "'";
        return false;
    }
    *value = parsed;
    return true;
}

}  // namespace tarncli
