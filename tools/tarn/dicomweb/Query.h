// QIDO-RS query parameters and the matching of DICOM JSON attributes against them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct cJSON;

namespace tarncli::dicomweb {

// A matching key: the attribute's tag ("00100010") and the value asked for, as written.
struct MatchKey {
    std::string tag;
    std::string value;
};

struct SearchQuery {
    std::vector<MatchKey> keys;
    std::vector<std::string> includeTags;  // includefield keywords and tags, as tags
    bool includeAll = false;               // includefield=all
    size_t limit = SIZE_MAX;
    size_t offset = 0;
};

// The tag of an attribute named by keyword ("PatientName") or by tag ("00100010", any case), in
// upper case. false for neither.
bool AttributeTag(std::string_view name, std::string* tag);

// Parses a search's parameters: matching keys (keyword or tag = value), includefield (repeated
// or comma-separated; "all"), limit, offset and fuzzymatching (accepted, ignored). false with the
// reason (a 400) for an unknown attribute, a sequence path, or a limit or offset that is no number.
bool ParseSearchQuery(const std::vector<std::pair<std::string, std::string>>& parameters,
                      SearchQuery* query, std::string* error);

// Whether a DICOM JSON attribute ({"vr": ..., "Value": [...]}; NULL when absent) matches `key`:
// an empty key matches anything (universal matching); otherwise some value must match, by the
// attribute's VR: UIDs and codes against a list (comma or backslash separated), person names (any
// component group, without regard to case) and other texts with the wildcards * and ?, dates and
// times as single values or ranges (A-B, A-, -B), numbers by value. Other VRs never match a
// non-empty key.
bool Matches(const cJSON* attribute, std::string_view key);

}  // namespace tarncli::dicomweb
