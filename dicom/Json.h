// DICOM JSON metadata of a slide's instances, for DICOMweb (QIDO-RS and WADO-RS metadata).
//
// The JSON of an instance is its dataset without the pixel data (and without the Extended
// Offset Table, which belongs to one encoding of the frames), as one DICOM JSON object: a
// WADO-RS metadata answer is an array of them. Binary values too large to inline (the ICC
// profile) are given by BulkDataURI: the caller's prefix, '/', and the attribute's tag in eight
// hexadecimal digits ("<prefix>/00282000"); InstanceBulkData answers such a URI.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dicom/Slide.h"

namespace tarn::dicom {

struct JsonOptions {
    // e.g. "https://host/dicomweb/studies/S/series/T/instances/I/bulkdata"; empty: binary
    // values inline (InlineBinary).
    std::string bulkDataUriPrefix;
    // LossyImageCompressionRatio to report; 0: estimated from the JPEG quality.
    double compressionRatio = 0;
};

// The DICOM JSON object of instance `index`. false with the reason in *error.
bool InstanceJson(const PreparedSlide& slide, size_t index, const JsonOptions& options,
                  std::string* json, std::string* error);

// The bytes of the bulk data that `tag` ("00282000", as a BulkDataURI ends) names in instance
// `index`. false when the instance has no such bulk data.
bool InstanceBulkData(const PreparedSlide& slide, size_t index, const std::string& tag,
                      std::vector<uint8_t>* bytes, std::string* error);

// The tag of a DICOM keyword ("PatientName") from DCMTK's dictionary, as DICOM JSON keys it
// ("00100010"). false for a word the dictionary does not know.
bool KeywordTag(const std::string& keyword, std::string* tag);

}  // namespace tarn::dicom
