#include "dicomweb/Query.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "dicom/Json.h"

namespace tarncli::dicomweb {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::vector<std::string_view> Split(std::string_view text, std::string_view separators) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || separators.find(text[i]) != std::string_view::npos) {
            pieces.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return pieces;
}

bool ParseCount(const std::string& text, size_t* value) {
    if (text.empty() || text.size() > 9) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    *value = static_cast<size_t>(std::strtoull(text.c_str(), nullptr, 10));
    return true;
}

// '*' any run of characters, '?' any one; iterative, so no pattern can make it slow beyond
// the product of the two lengths.
bool Wildcard(std::string_view pattern, std::string_view text, bool ignoreCase) {
    const auto same = [&](char a, char b) {
        return ignoreCase ? std::tolower(static_cast<unsigned char>(a)) ==
                                std::tolower(static_cast<unsigned char>(b))
                          : a == b;
    };
    size_t p = 0;
    size_t t = 0;
    size_t star = std::string_view::npos;
    size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() &&
            (pattern[p] == '?' || (pattern[p] != '*' && same(pattern[p], text[t])))) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// The digits of a date, time or date-time, so that values of one VR compare as text: a time's
// missing precision is filled with `fill` ('0' for a lower end, '9' for an upper one, so that
// "10" takes in every time of that hour). A date-time's UTC offset is not compared.
std::string Normalised(std::string_view value, std::string_view vr, char fill) {
    std::string whole;
    std::string fraction;
    bool inFraction = false;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (vr == "DT" && (c == '+' || c == '-')) break;
        if (c == '.') {
            inFraction = true;
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            (inFraction ? fraction : whole).push_back(c);
        }
    }
    if (vr == "DA") return whole;
    whole.resize(std::max<size_t>(whole.size(), vr == "TM" ? 6 : 14), fill);
    fraction.resize(6, fill);
    return whole + fraction;
}

bool RangeMatches(std::string_view key, std::string_view value, std::string_view vr) {
    const std::string have = Normalised(value, vr, '0');
    const size_t dash = key.find('-');
    const std::string_view from = dash == std::string_view::npos ? key : key.substr(0, dash);
    const std::string_view to = dash == std::string_view::npos ? key : key.substr(dash + 1);
    if (!from.empty() && have < Normalised(from, vr, '0')) return false;
    return to.empty() || have <= Normalised(to, vr, '9');
}

bool IsTextVr(std::string_view vr) {
    return vr == "AE" || vr == "LO" || vr == "SH" || vr == "LT" || vr == "ST" || vr == "UT" ||
           vr == "UC" || vr == "AS" || vr == "UR";
}

bool IsNumberVr(std::string_view vr) {
    return vr == "IS" || vr == "DS" || vr == "US" || vr == "SS" || vr == "UL" || vr == "SL" ||
           vr == "FL" || vr == "FD" || vr == "UV" || vr == "SV";
}

bool ValueMatches(const cJSON* value, std::string_view key, std::string_view vr) {
    if (vr == "PN") {
        if (!cJSON_IsObject(value)) return false;
        for (const cJSON* group = value->child; group != nullptr; group = group->next) {
            if (cJSON_IsString(group) && Wildcard(key, group->valuestring, true)) return true;
        }
        return false;
    }
    if (IsNumberVr(vr)) {
        double number = 0;
        if (cJSON_IsNumber(value)) {
            number = value->valuedouble;
        } else if (cJSON_IsString(value)) {
            number = std::strtod(value->valuestring, nullptr);
        } else {
            return false;
        }
        const std::string text(key);
        char* end = nullptr;
        const double wanted = std::strtod(text.c_str(), &end);
        return end != text.c_str() && *end == '\0' &&
               std::fabs(number - wanted) <= 1e-9 * std::max(1.0, std::fabs(wanted));
    }
    if (!cJSON_IsString(value)) return false;
    const std::string_view text = value->valuestring;
    if (vr == "UI" || vr == "CS") {
        for (const std::string_view one : Split(key, ",\\")) {
            if (one == text) return true;
        }
        return false;
    }
    if (vr == "DA" || vr == "TM" || vr == "DT") return RangeMatches(key, text, vr);
    if (IsTextVr(vr)) return Wildcard(key, text, false);
    return false;
}

}  // namespace

bool AttributeTag(std::string_view name, std::string* tag) {
    if (name.size() == 8 && std::all_of(name.begin(), name.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        tag->clear();
        for (const char c : name)
            tag->push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        return true;
    }
    for (const char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    }
    return tarn::dicom::KeywordTag(std::string(name), tag);
}

bool ParseSearchQuery(const std::vector<std::pair<std::string, std::string>>& parameters,
                      SearchQuery* query, std::string* error) {
    *query = SearchQuery{};
    for (const auto& [name, value] : parameters) {
        if (EqualsIgnoringCase(name, "includefield")) {
            for (const std::string_view field : Split(value, ",")) {
                if (EqualsIgnoringCase(field, "all")) {
                    query->includeAll = true;
                    continue;
                }
                std::string tag;
                if (!AttributeTag(field, &tag)) {
                    *error = "includefield: no attribute " + std::string(field);
                    return false;
                }
                query->includeTags.push_back(tag);
            }
        } else if (EqualsIgnoringCase(name, "limit")) {
            if (!ParseCount(value, &query->limit)) {
                *error = "limit: not a count";
                return false;
            }
        } else if (EqualsIgnoringCase(name, "offset")) {
            if (!ParseCount(value, &query->offset)) {
                *error = "offset: not a count";
                return false;
            }
        } else if (EqualsIgnoringCase(name, "fuzzymatching")) {
            // Names match exactly or by wildcard: fuzzy matching is not offered, which a client
            // may not rely on anyway.
        } else if (name.find('.') != std::string::npos) {
            *error = "matching within sequences is not supported: " + name;
            return false;
        } else {
            std::string tag;
            if (!AttributeTag(name, &tag)) {
                *error = "no attribute " + name;
                return false;
            }
            query->keys.push_back({tag, value});
        }
    }
    return true;
}

bool Matches(const cJSON* attribute, std::string_view key) {
    if (key.empty()) return true;
    if (attribute == nullptr) return false;
    const cJSON* vr = cJSON_GetObjectItemCaseSensitive(attribute, "vr");
    const cJSON* values = cJSON_GetObjectItemCaseSensitive(attribute, "Value");
    if (!cJSON_IsString(vr) || !cJSON_IsArray(values)) return false;
    for (const cJSON* value = values->child; value != nullptr; value = value->next) {
        if (ValueMatches(value, key, vr->valuestring)) return true;
    }
    return false;
}

}  // namespace tarncli::dicomweb
