#include "dicom/Metadata.h"

#include <cjson/cJSON.h>
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dctag.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace tarn::dicom {
namespace {

// Keywords the metadata may set, with the multiplicity each accepts.
struct Accepted {
    const char* keyword;
    const char* vm;
    // The values the attribute may take ("A|B|C"), or NULL for any its VR holds.
    const char* enumerated = nullptr;
};
constexpr Accepted kAccepted[] = {
    // Patient
    {"PatientName", "1"},
    {"PatientID", "1"},
    {"IssuerOfPatientID", "1"},
    {"PatientBirthDate", "1"},
    {"PatientSex", "1", "M|F|O"},
    {"PatientComments", "1"},
    // General Study
    {"StudyInstanceUID", "1"},
    {"StudyDate", "1"},
    {"StudyTime", "1"},
    {"ReferringPhysicianName", "1"},
    {"StudyID", "1"},
    {"AccessionNumber", "1"},
    {"StudyDescription", "1"},
    // General Series
    {"SeriesNumber", "1"},
    {"SeriesDescription", "1"},
    {"SeriesDate", "1"},
    {"SeriesTime", "1"},
    // Equipment (the scanner's)
    {"Manufacturer", "1"},
    {"ManufacturerModelName", "1"},
    {"DeviceSerialNumber", "1"},
    {"SoftwareVersions", "1-n"},
    {"InstitutionName", "1"},
    {"InstitutionAddress", "1"},
    {"InstitutionalDepartmentName", "1"},
    {"StationName", "1"},
    // Acquisition
    {"AcquisitionDateTime", "1"},
    {"AcquisitionDuration", "1"},
    {"FocusMethod", "1", "AUTO|MANUAL"},
    // Specimen
    {"ContainerIdentifier", "1"},
    {"SpecimenIdentifier", "1"},
    {"SpecimenShortDescription", "1"},
    {"SpecimenDetailedDescription", "1"},
    // Slide Label (the label's instance)
    {"BarcodeValue", "1"},
    {"LabelText", "1"},
};

const Accepted* FindAccepted(const char* keyword) {
    for (const Accepted& accepted : kAccepted) {
        if (std::string(accepted.keyword) == keyword) return &accepted;
    }
    return nullptr;
}

// Texts of several lines may hold line breaks and tabs; no other control code is a character.
bool IsMultiLineVr(DcmEVR vr) {
    return vr == EVR_LT || vr == EVR_ST || vr == EVR_UT;
}

bool IsEnumerated(const Accepted& accepted, const std::string& value) {
    if (accepted.enumerated == nullptr) return true;
    const std::string choices = std::string("|") + accepted.enumerated + "|";
    return value.find('|') == std::string::npos &&
           choices.find("|" + value + "|") != std::string::npos;
}

bool IsTextVr(DcmEVR vr) {
    return vr == EVR_PN || vr == EVR_LO || vr == EVR_SH || vr == EVR_LT || vr == EVR_ST ||
           vr == EVR_UT || vr == EVR_UC;
}

// The value with every UTF-8 sequence replaced by one ASCII letter, so that DCMTK's checks
// (which know ASCII and Latin-1 only) count characters and find control codes; false for bytes
// that are not UTF-8.
bool AsciiStandIn(const std::string& value, bool multiLine, std::string* standIn) {
    standIn->clear();
    for (size_t i = 0; i < value.size();) {
        const auto lead = static_cast<unsigned char>(value[i]);
        size_t length = 1;
        if (lead < 0x20 || lead == 0x7F) {
            const bool lineBreak = lead == '\r' || lead == '\n' || lead == '\t' || lead == '\f';
            if (!multiLine || !lineBreak) return false;
        }
        if (lead >= 0x80) {
            if (lead >= 0xC2 && lead <= 0xDF) {
                length = 2;
            } else if (lead >= 0xE0 && lead <= 0xEF) {
                length = 3;
            } else if (lead >= 0xF0 && lead <= 0xF4) {
                length = 4;
            } else {
                return false;
            }
            if (i + length > value.size()) return false;
            for (size_t k = 1; k < length; ++k) {
                if ((static_cast<unsigned char>(value[i + k]) & 0xC0) != 0x80) return false;
            }
            standIn->push_back('x');
        } else {
            standIn->push_back(static_cast<char>(lead));
        }
        i += length;
    }
    return true;
}

bool ValueText(const cJSON* item, std::string* text) {
    if (cJSON_IsString(item)) {
        *text = item->valuestring;
        return true;
    }
    if (cJSON_IsNumber(item)) {
        char buffer[64];
        const double number = item->valuedouble;
        if (number == static_cast<double>(static_cast<long long>(number))) {
            std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(number));
        } else {
            std::snprintf(buffer, sizeof buffer, "%.10g", number);
        }
        *text = buffer;
        return true;
    }
    return false;
}

bool CheckValue(const DcmTag& tag, const Accepted& accepted, const std::string& value,
                std::string* error) {
    if (value.empty()) return true;
    std::string checked;
    const bool text = IsTextVr(tag.getEVR());
    if (!AsciiStandIn(value, IsMultiLineVr(tag.getEVR()), &checked) ||
        (!text && checked.size() != value.size())) {  // non-text VRs are ASCII only
        *error = std::string("metadata ") + accepted.keyword +
                 ": not UTF-8 text without control codes, or not ASCII for VR " + tag.getVRName();
        return false;
    }
    if (!IsEnumerated(accepted, value)) {
        *error = std::string("metadata ") + accepted.keyword + ": \"" + value + "\" is none of " +
                 accepted.enumerated;
        return false;
    }
    DcmElement* element = nullptr;
    if (DcmItem::newDicomElement(element, tag).bad() || element == nullptr) {
        *error = std::string("metadata ") + accepted.keyword + ": unknown attribute";
        return false;
    }
    std::unique_ptr<DcmElement> owned(element);
    OFCondition status = owned->putString(checked.c_str());
    if (status.good()) status = owned->checkValue(accepted.vm);
    if (status.bad()) {
        *error = std::string("metadata ") + accepted.keyword + ": \"" + value +
                 "\" is not a valid " + tag.getVRName() + " value (" + status.text() + ")";
        return false;
    }
    return true;
}

}  // namespace

bool ParseMetadata(const std::string& json, std::vector<MetadataValue>* values,
                   std::string* error) {
    values->clear();
    if (json.empty()) return true;
    std::unique_ptr<cJSON, void (*)(cJSON*)> root(cJSON_ParseWithLength(json.data(), json.size()),
                                                  cJSON_Delete);
    if (!root || !cJSON_IsObject(root.get())) {
        *error = "metadata: not a JSON object";
        return false;
    }
    for (const cJSON* item = root->child; item != nullptr; item = item->next) {
        const Accepted* accepted = FindAccepted(item->string);
        DcmTag tag;
        if (accepted == nullptr || DcmTag::findTagFromName(item->string, tag).bad()) {
            *error = std::string("metadata: the keyword ") + item->string +
                     " is not one a slide's metadata may set";
            return false;
        }
        std::string value;
        if (cJSON_IsArray(item)) {
            for (const cJSON* part = item->child; part != nullptr; part = part->next) {
                std::string text;
                if (!ValueText(part, &text) || text.find('\\') != std::string::npos) {
                    *error = std::string("metadata ") + item->string +
                             ": array entries must be strings or numbers without '\\'";
                    return false;
                }
                if (part != item->child) value.push_back('\\');
                value += text;
            }
        } else if (!cJSON_IsNull(item) && !ValueText(item, &value)) {
            *error = std::string("metadata ") + item->string +
                     ": the value must be a string, a number, an array or null";
            return false;
        }
        if (!CheckValue(tag, *accepted, value, error)) return false;
        for (const MetadataValue& earlier : *values) {
            if (earlier.keyword == item->string) {
                *error = std::string("metadata: ") + item->string + " is given twice";
                return false;
            }
        }
        values->push_back({tag.getGroup(), tag.getElement(), item->string, value});
    }
    std::sort(values->begin(), values->end(), [](const MetadataValue& a, const MetadataValue& b) {
        return a.group != b.group ? a.group < b.group : a.element < b.element;
    });
    return true;
}

}  // namespace tarn::dicom
