#include "dicom/Json.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcjson.h>
#include <dcmtk/dcmdata/dctag.h>

#include <cstdio>
#include <sstream>

#include "dicom/Datasets.h"
#include "dicom/IccProfile.h"

namespace tarn::dicom {
namespace {

// The attributes given by BulkDataURI: the only large binary value of our datasets.
constexpr uint16_t kBulkGroup = 0x0028;
constexpr uint16_t kBulkElement = 0x2000;  // ICC Profile

std::string TagText(uint16_t group, uint16_t element) {
    char text[9];
    std::snprintf(text, sizeof text, "%04X%04X", group, element);
    return text;
}

class BulkDataFormat : public DcmJsonFormatCompact {
  public:
    explicit BulkDataFormat(std::string prefix)
        : DcmJsonFormatCompact(OFFalse), prefix_(std::move(prefix)) {}

    OFBool asBulkDataURI(const DcmTagKey& tag, OFString& uri) override {
        if (prefix_.empty() || tag != DcmTagKey(kBulkGroup, kBulkElement)) return OFFalse;
        uri = (prefix_ + "/" + TagText(tag.getGroup(), tag.getElement())).c_str();
        return OFTrue;
    }

  private:
    std::string prefix_;
};

}  // namespace

bool InstanceJson(const PreparedSlide& slide, size_t index, const JsonOptions& options,
                  std::string* json, std::string* error) {
    DcmDataset dataset;
    DatasetOptions datasetOptions;
    datasetOptions.compressionRatio = options.compressionRatio;
    if (!BuildDataset(slide, index, datasetOptions, &dataset, error)) return false;
    BulkDataFormat format(options.bulkDataUriPrefix);
    // DCMTK writes the dataset's members; the object's braces are the caller's.
    std::ostringstream out;
    out << '{';
    const OFCondition status = dataset.writeJson(out, format);
    out << '}';
    if (status.bad()) {
        *error = std::string("cannot write the DICOM JSON: ") + status.text();
        return false;
    }
    *json = out.str();
    return true;
}

bool InstanceBulkData(const PreparedSlide& slide, size_t index, const std::string& tag,
                      std::vector<uint8_t>* bytes, std::string* error) {
    if (index >= slide.instances.size()) {
        *error = "no such instance";
        return false;
    }
    if (tag != TagText(kBulkGroup, kBulkElement)) {
        *error = "no bulk data " + tag;
        return false;
    }
    *bytes = SrgbProfile();
    return true;
}

bool KeywordTag(const std::string& keyword, std::string* tag) {
    DcmTag found;
    if (keyword.empty() || DcmTag::findTagFromName(keyword.c_str(), found).bad()) return false;
    // DCMTK also reads "gggg,eeee" as a name; only keywords are asked for here.
    if (keyword.find(',') != std::string::npos) return false;
    *tag = TagText(found.getGroup(), found.getElement());
    return true;
}

}  // namespace tarn::dicom
