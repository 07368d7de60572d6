// The DICOM dataset of each instance of a slide, built with DCMTK: every attribute but the pixel
// data (InstanceBytes.h encodes the frames). Internal to dicom/: callers use InstanceBytes.h and
// Json.h, which keep DCMTK's types to themselves.
#pragma once

#include <cstdint>
#include <string>

#include "dicom/Slide.h"

class DcmItem;

namespace tarn::dicom {

// SOP Class UID of VL Whole Slide Microscopy Image Storage, and the transfer syntax of its
// frames: JPEG Baseline (Process 1).
inline constexpr char kWholeSlideSopClass[] = "1.2.840.10008.5.1.4.1.1.77.1.6";
inline constexpr char kJpegBaselineTransferSyntax[] = "1.2.840.10008.1.2.4.50";

// LossyImageCompressionRatio when the frames are not yet known: a rough figure from the JPEG
// quality, for tissue at 4:2:2 (about 10 at quality 90).
double EstimatedCompressionRatio(int quality);

// A 16-character DS for LossyImageCompressionRatio that a file writer overwrites in place once
// every frame is written (the ratio is then the measured one): DS values may carry trailing
// spaces, so the patched text is the ratio padded to the same 16 bytes.
inline constexpr char kRatioPlaceholder[] = "0000000000000.00";
std::string PaddedRatio(double ratio);

// ImageComments of a file writer that counts frames it was handed white (the converter's
// skip-damaged option): a placeholder overwritten in place once every frame is written, with
// DamagedFramesComment padded with spaces to the same length (LT values may carry trailing
// spaces).
inline constexpr size_t kDamagedCommentLength = 96;
std::string DamagedFramesComment(int64_t damaged, int64_t frames);

struct DatasetOptions {
    // The ratio to record; 0: EstimatedCompressionRatio. Ignored with ratioPlaceholder.
    double compressionRatio = 0;
    bool ratioPlaceholder = false;
    // Frames of an Extended Offset Table to reserve (both of its attributes, zero-filled and
    // written last, just before the pixel data); 0: none.
    int64_t extendedOffsetTableFrames = 0;
    // ImageComments as kDamagedCommentLength placeholder characters ('#').
    bool damagedCommentPlaceholder = false;
};

// Fills `dataset` (empty) with the attributes of instance `index` of the slide. false with the
// reason in *error.
bool BuildDataset(const PreparedSlide& slide, size_t index, const DatasetOptions& options,
                  DcmItem* dataset, std::string* error);

}  // namespace tarn::dicom
