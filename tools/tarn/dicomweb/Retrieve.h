// WADO-RS retrievals: metadata, bulk data, frames, and whole instances streamed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dicomweb/Context.h"

namespace tarncli::dicomweb {

// The frame numbers (1-based) of a frame list "3,1,2", in its order. false with the reason for
// anything but comma-separated decimal numbers from 1, or more than `most` of them.
bool ParseFrameList(std::string_view text, size_t most, std::vector<int64_t>* frames,
                    std::string* error);

// The DICOM JSON metadata of `instances` (an array of one object each), bulk data by URI.
Answer Metadata(const Context& context, const std::vector<InstanceRef>& instances);

// The bulk data `tag` ("00282000") of an instance: multipart/related of one
// application/octet-stream part, or the bytes alone when only application/octet-stream is
// accepted. 404 for bulk data the instance has not.
Answer BulkData(const Context& context, const InstanceRef& instance, const std::string& tag);

// Frames `list` of an instance, each as the instance stores it (a JPEG Baseline stream), as
// multipart/related parts of application/octet-stream or image/jpeg.
Answer Frames(const Context& context, const InstanceRef& instance, const std::string& list);

// Whole instances as DICOM files, streamed: multipart/related of application/dicom parts, or a
// single instance alone when only application/dicom is accepted.
Answer Objects(const Context& context, const std::vector<InstanceRef>& instances);

}  // namespace tarncli::dicomweb
