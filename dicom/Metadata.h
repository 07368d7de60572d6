// The caller's DICOM metadata for a slide: a JSON object whose keys are DICOM keywords, e.g.
//   {"PatientName": "Doe^Jane", "PatientID": "12345", "StudyDate": "20240131",
//    "ContainerIdentifier": "S24-0001-A1", "SoftwareVersions": ["1", "2"]}
// Values are strings, numbers, arrays of them (several values, joined by a backslash) or null
// (an empty value, or the attribute's default where it needs a value). Only the keywords of the
// patient, study, series, equipment, acquisition, specimen and label attributes that the
// instances carry are accepted (docs/dicom.md lists them): the rest of every instance is the
// slide's own geometry, which metadata must not contradict.
#pragma once

#include <string>
#include <vector>

#include "dicom/Slide.h"

namespace tarn::dicom {

// Parses `json` (empty: no metadata) into checked values, sorted by tag. false with the reason
// in *error for malformed JSON, a keyword not accepted, or a value its attribute cannot hold.
bool ParseMetadata(const std::string& json, std::vector<MetadataValue>* values, std::string* error);

}  // namespace tarn::dicom
