// The options a format takes, as it describes them, and the values a job gives them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tarn_export.h"

namespace tarnexport {

// One option, in the C interface's record (the registry hands these out as they are).
using OptionInfo = tarn_export_option;

// Descriptions for the registry; every text is a literal, living as long as the process.
OptionInfo IntOption(const char* name, const char* fallback, int64_t min, int64_t max,
                     const char* help);
OptionInfo FlagOption(const char* name, const char* help);
OptionInfo TextOption(const char* name, const char* fallback, const char* choices,
                      const char* help);

// Every option of a format at its default until set. Values are checked against the
// description when set, so readers get them as their kind.
class OptionValues {
  public:
    explicit OptionValues(const std::vector<OptionInfo>* described);

    // False with a message when `name` is not among the described or `value` does not fit it.
    bool Set(const std::string& format, const std::string& name, const std::string& value,
             std::string* error);

    // Values by name; the name must be one of the described (a format reads only its own).
    int64_t Int(const std::string& name) const;
    bool Flag(const std::string& name) const;
    const std::string& Text(const std::string& name) const;
    // Whether the job gave the option (rather than leaving its default).
    bool Given(const std::string& name) const;
    // Whether the format takes an option of that name.
    bool Takes(const std::string& name) const { return Find(name) != nullptr; }

  private:
    const OptionInfo* Find(const std::string& name) const;

    const std::vector<OptionInfo>* described_;
    std::map<std::string, std::string> values_;  // as checked text: "12", "1"/"0", any text
    std::map<std::string, bool> given_;
};

}  // namespace tarnexport
