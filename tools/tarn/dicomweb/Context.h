// What every route of the service shares: the request with the slides it is about, where a
// path's UIDs lead, the answers' URLs, and the compression ratios instances report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dicomweb/DicomWeb.h"
#include "dicomweb/MediaTypes.h"

namespace tarncli::dicomweb {

// Instances of at most this many frames report the compression ratio the converter measures
// (their frames are read to know it); larger ones report the estimate, which needs no frame.
inline constexpr int64_t kMeasuredFrames = 16;

// The LossyImageCompressionRatio of each instance, remembered by SOP Instance UID (which names
// the slide's content, so an entry never goes stale).
class RatioBook {
  public:
    // The ratio of instance `index`: measured for instances of up to kMeasuredFrames frames
    // (their frames, read through `frames`, are handed back in *read when it is not NULL), else 0,
    // which tells dicom/ to write its estimate.
    bool Ratio(const Slide& slide, size_t index, const FrameReader& frames, double* ratio,
               std::vector<std::vector<uint8_t>>* read, std::string* error);

  private:
    std::mutex mutex_;
    std::unordered_map<std::string, double> ratios_;
};

// An instance a path names.
struct InstanceRef {
    const Slide* slide = nullptr;
    size_t index = 0;
};

struct Context {
    const Options& options;
    const FrameReader& frames;
    const std::shared_ptr<RatioBook>& ratios;
    const Request& request;
    const std::vector<Slide>& slides;
    std::vector<MediaRange> accept;

    // Whether instance `index` of `slide` is served (the label and overview are not with
    // hideLabel).
    bool Visible(const Slide& slide, size_t index) const;
    std::vector<size_t> VisibleInstances(const Slide& slide) const;

    // The slides of a study (each one series), in the order served.
    std::vector<const Slide*> StudySeries(std::string_view study) const;
    const Slide* FindSeries(std::string_view study, std::string_view series) const;
    bool FindInstance(std::string_view study, std::string_view series, std::string_view sop,
                      InstanceRef* found) const;

    std::string StudyUrl(const Slide& slide) const;
    std::string SeriesUrl(const Slide& slide) const;
    std::string InstanceUrl(const Slide& slide, size_t index) const;

    // The ratio to pass to dicom/ for instance `index` (see RatioBook).
    bool Ratio(const Slide& slide, size_t index, double* ratio, std::string* error) const;
};

Answer ErrorAnswer(int status, const std::string& message);
Answer BodyAnswer(std::string contentType, std::string body);

// The ratio as the converter's file states it (two decimals), for the JSON to say the same.
double FileRatio(double ratio);

}  // namespace tarncli::dicomweb
