#include "Options.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace tarnexport {

OptionSpec IntOption(const char* name, const char* fallback, int64_t min, int64_t max,
                     const char* help) {
    return OptionSpec{name, TARN_EXPORT_OPTION_INT, fallback, min, max, nullptr, help};
}

OptionSpec FlagOption(const char* name, const char* help) {
    return OptionSpec{name, TARN_EXPORT_OPTION_FLAG, "0", 0, 1, nullptr, help};
}

OptionSpec TextOption(const char* name, const char* fallback, const char* choices,
                      const char* help) {
    return OptionSpec{name, TARN_EXPORT_OPTION_TEXT, fallback, 0, 0, choices, help};
}

OptionValues::OptionValues(const std::vector<OptionSpec>* specs) : specs_(specs) {
    for (const OptionSpec& spec : *specs_) {
        values_[spec.name] = spec.default_value != nullptr ? spec.default_value : "";
        given_[spec.name] = false;
    }
}

const OptionSpec* OptionValues::Find(const std::string& name) const {
    for (const OptionSpec& spec : *specs_)
        if (name == spec.name) return &spec;
    return nullptr;
}

namespace {

bool ParseFlag(const std::string& value, bool* on) {
    static const char* const kOn[] = {"1", "true", "yes", "on"};
    static const char* const kOff[] = {"0", "false", "no", "off"};
    for (const char* word : kOn)
        if (value == word) return (*on = true);
    for (const char* word : kOff)
        if (value == word) return !(*on = false);
    return false;
}

bool AmongChoices(const std::string& value, const char* choices) {
    std::stringstream stream(choices);
    std::string choice;
    while (std::getline(stream, choice, '|'))
        if (choice == value) return true;
    return false;
}

}  // namespace

bool OptionValues::Set(const std::string& format, const std::string& name, const std::string& value,
                       std::string* error) {
    const OptionSpec* spec = Find(name);
    if (spec == nullptr) {
        std::string taken;
        for (const OptionSpec& each : *specs_)
            taken += std::string(taken.empty() ? "" : ", ") + each.name;
        *error = "the " + format + " format takes no option " + name +
                 (taken.empty() ? " (it takes none)" : " (it takes " + taken + ")");
        return false;
    }
    std::string checked = value;
    switch (spec->kind) {
        case TARN_EXPORT_OPTION_INT: {
            errno = 0;
            char* end = nullptr;
            const long long parsed = strtoll(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || parsed < spec->min ||
                parsed > spec->max) {
                *error = name + " must be a whole number from " + std::to_string(spec->min) +
                         " to " + std::to_string(spec->max) + ", not '" + value + "'";
                return false;
            }
            checked = std::to_string(parsed);
            break;
        }
        case TARN_EXPORT_OPTION_FLAG: {
            bool on = false;
            if (!ParseFlag(value, &on)) {
                *error = name + " is on or off (1 or 0), not '" + value + "'";
                return false;
            }
            checked = on ? "1" : "0";
            break;
        }
        case TARN_EXPORT_OPTION_TEXT:
            if (spec->choices != nullptr && !AmongChoices(value, spec->choices)) {
                *error = name + " is one of " + spec->choices + ", not '" + value + "'";
                return false;
            }
            break;
    }
    values_[name] = checked;
    given_[name] = true;
    return true;
}

int64_t OptionValues::Int(const std::string& name) const {
    return strtoll(values_.at(name).c_str(), nullptr, 10);
}

bool OptionValues::Flag(const std::string& name) const {
    return values_.at(name) == "1";
}

const std::string& OptionValues::Text(const std::string& name) const {
    return values_.at(name);
}

bool OptionValues::Given(const std::string& name) const {
    return given_.at(name);
}

}  // namespace tarnexport
