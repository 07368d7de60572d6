#include "Options.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace tarnexport {

OptionInfo IntOption(const char* name, const char* fallback, int64_t min, int64_t max,
                     const char* help) {
    return OptionInfo{name, TARN_EXPORT_OPTION_INT, fallback, min, max, nullptr, help};
}

OptionInfo FlagOption(const char* name, const char* help) {
    return OptionInfo{name, TARN_EXPORT_OPTION_FLAG, "0", 0, 1, nullptr, help};
}

OptionInfo TextOption(const char* name, const char* fallback, const char* choices,
                      const char* help) {
    return OptionInfo{name, TARN_EXPORT_OPTION_TEXT, fallback, 0, 0, choices, help};
}

OptionValues::OptionValues(const std::vector<OptionInfo>* described) : described_(described) {
    for (const OptionInfo& option : *described_) {
        values_[option.name] = option.default_value != nullptr ? option.default_value : "";
        given_[option.name] = false;
    }
}

const OptionInfo* OptionValues::Find(const std::string& name) const {
    for (const OptionInfo& option : *described_)
        if (name == option.name) return &option;
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
    const OptionInfo* option = Find(name);
    if (option == nullptr) {
        std::string taken;
        for (const OptionInfo& each : *described_)
            taken += std::string(taken.empty() ? "" : ", ") + each.name;
        *error = "the " + format + " format takes no option " + name +
                 (taken.empty() ? " (it takes none)" : " (it takes " + taken + ")");
        return false;
    }
    std::string checked = value;
    switch (option->kind) {
        case TARN_EXPORT_OPTION_INT: {
            errno = 0;
            char* end = nullptr;
            const long long parsed = strtoll(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || parsed < option->min ||
                parsed > option->max) {
                *error = name + " must be a whole number from " + std::to_string(option->min) +
                         " to " + std::to_string(option->max) + ", not '" + value + "'";
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
            if (option->choices != nullptr && !AmongChoices(value, option->choices)) {
                *error = name + " is one of " + option->choices + ", not '" + value + "'";
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
