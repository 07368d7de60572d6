#include "dicomweb/Context.h"

#include <cstdio>
#include <cstdlib>

#include "dicom/InstanceBytes.h"

namespace tarncli::dicomweb {

using tarn::dicom::ImageKind;

bool RatioBook::Ratio(const Slide& slide, size_t index, const FrameReader& frames, double* ratio,
                      std::vector<std::vector<uint8_t>>* read, std::string* error) {
    const tarn::dicom::Instance& instance = slide.prepared->instances.at(index);
    *ratio = 0;
    if (instance.grid.FrameCount() > kMeasuredFrames) return true;
    if (read == nullptr) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto known = ratios_.find(instance.sopInstanceUid);
        if (known != ratios_.end()) {
            *ratio = known->second;
            return true;
        }
    }
    std::vector<std::vector<uint8_t>> held;
    std::vector<std::vector<uint8_t>>& out = read != nullptr ? *read : held;
    out.assign(static_cast<size_t>(instance.grid.FrameCount()), {});
    uint64_t bytes = 0;
    for (int64_t f = 0; f < instance.grid.FrameCount(); ++f) {
        std::vector<uint8_t>& frame = out[static_cast<size_t>(f)];
        if (!frames(slide, index, f, &frame, error)) return false;
        bytes += frame.size();
    }
    *ratio = tarn::dicom::MeasuredCompressionRatio(instance, bytes);
    const std::lock_guard<std::mutex> lock(mutex_);
    // Entries are a few dozen bytes; a server of many slides forgets them all now and then
    // rather than growing without end.
    if (ratios_.size() >= 100000) ratios_.clear();
    ratios_[instance.sopInstanceUid] = *ratio;
    return true;
}

bool Context::Visible(const Slide& slide, size_t index) const {
    if (index >= slide.prepared->instances.size()) return false;
    const ImageKind kind = slide.prepared->instances[index].kind;
    return !(options.hideLabel && (kind == ImageKind::Label || kind == ImageKind::Overview));
}

std::vector<size_t> Context::VisibleInstances(const Slide& slide) const {
    std::vector<size_t> visible;
    for (size_t i = 0; i < slide.prepared->instances.size(); ++i) {
        if (Visible(slide, i)) visible.push_back(i);
    }
    return visible;
}

std::vector<const Slide*> Context::StudySeries(std::string_view study) const {
    std::vector<const Slide*> series;
    for (const Slide& slide : slides) {
        if (slide.prepared && slide.prepared->uids.study == study) series.push_back(&slide);
    }
    return series;
}

const Slide* Context::FindSeries(std::string_view study, std::string_view series) const {
    for (const Slide& slide : slides) {
        if (slide.prepared && slide.prepared->uids.study == study &&
            slide.prepared->uids.series == series) {
            return &slide;
        }
    }
    return nullptr;
}

bool Context::FindInstance(std::string_view study, std::string_view series, std::string_view sop,
                           InstanceRef* found) const {
    const Slide* slide = FindSeries(study, series);
    if (slide == nullptr) return false;
    for (size_t i = 0; i < slide->prepared->instances.size(); ++i) {
        if (slide->prepared->instances[i].sopInstanceUid == sop && Visible(*slide, i)) {
            *found = {slide, i};
            return true;
        }
    }
    return false;
}

std::string Context::StudyUrl(const Slide& slide) const {
    return request.baseUrl + "/studies/" + slide.prepared->uids.study;
}

std::string Context::SeriesUrl(const Slide& slide) const {
    return StudyUrl(slide) + "/series/" + slide.prepared->uids.series;
}

std::string Context::InstanceUrl(const Slide& slide, size_t index) const {
    return SeriesUrl(slide) + "/instances/" + slide.prepared->instances.at(index).sopInstanceUid;
}

bool Context::Ratio(const Slide& slide, size_t index, double* ratio, std::string* error) const {
    if (!ratios->Ratio(slide, index, frames, ratio, nullptr, error)) return false;
    *ratio = FileRatio(*ratio);
    return true;
}

Answer ErrorAnswer(int status, const std::string& message) {
    Answer answer;
    answer.status = status;
    answer.contentType = "text/plain; charset=utf-8";
    answer.body = message + "\n";
    return answer;
}

Answer BodyAnswer(std::string contentType, std::string body) {
    Answer answer;
    answer.contentType = std::move(contentType);
    answer.body = std::move(body);
    return answer;
}

double FileRatio(double ratio) {
    if (ratio <= 0) return 0;
    // Two decimals, as the file writer prints the ratio it measured.
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", ratio);
    return std::strtod(text, nullptr);
}

}  // namespace tarncli::dicomweb
