// A Tarn slide as DICOM VL Whole Slide Microscopy Image instances: what the converter
// (`tarn convert --format dicom`) and the server's DICOMweb share, so that a slide has one DICOM
// form whichever of them produces it.
//
// The caller describes the slide (SlideDescription: plain numbers and strings, no tarn.h), then
// PrepareSlide checks the description, parses the metadata and names every instance with its
// UIDs (PreparedSlide). From a PreparedSlide, InstanceBytes.h writes instance files or streams
// them, and Json.h answers DICOM JSON metadata; Frames.h reads and encodes the frames from an open
// slide.
//
//     tarn::dicom::SlideDescription description;
//     std::string error;
//     if (!tarn::dicom::DescribeSlide(slide, path, {}, &description, &error)) ...
//     tarn::dicom::PreparedSlide prepared;
//     if (!tarn::dicom::PrepareSlide(description, &prepared, &error)) ...
//     for (const tarn::dicom::Instance& instance : prepared.instances) ...
//
// Every instance is one of the series' images: one per pyramid level (finest first), then the
// label, the overview and the thumbnail where the slide has them. Levels are cut into frames of
// tileSize x tileSize pixels in row-major order (TILED_FULL); the frames of the last column and
// row reach past the level's picture and are padded (white, as tarn.h reads outside a picture).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarn::dicom {

struct PixelSize {
    int64_t width = 0;
    int64_t height = 0;
};

// One level of the pyramid as the caller reads it: its size, and where its pixels come from
// (the dataset ignores the source; Frames.h uses it).
struct Level {
    PixelSize size;
    int32_t tarnLevel = 0;    // the slide's level, or its coarsest when coarseLevel > 0
    int32_t coarseLevel = 0;  // 0: a stored level; k > 0: coarse level k of tarn.h
    // 1, or (below tarn.h's last coarse level, with tiles under 256 pixels) 2, 4, ...: each pixel
    // the mean of the scale x scale pixels of the level above that it covers, inside its picture.
    int scale = 1;
};

struct SlideDescription {
    // Finest first; the pixel spacing of each level is the first level's scaled by the ratio of
    // the sizes, so that every level covers the same imaged area.
    std::vector<Level> levels;
    uint32_t tileSize = 256;  // frame width and height of the levels, 16 to 4096
    int jpegQuality = 90;     // of the frames that the caller encodes (Frames.h), 1 to 100
    // Millimetres per pixel of the first level, across (columns) and down (rows): both > 0.
    double pixelSpacingXMm = 0;
    double pixelSpacingYMm = 0;
    // Associated images present (each one frame of its own size, at most 65535 on a side).
    std::optional<PixelSize> label;
    std::optional<PixelSize> overview;
    std::optional<PixelSize> thumbnail;
    // Bytes that name exactly this slide's content (openslide.quickhash-1): the UIDs derive from
    // them. Required unless newUids.
    std::string identity;
    // Fresh random UIDs rather than the derived ones (a second, independent copy of a slide).
    bool newUids = false;
    // Optional: a JSON object whose keys are DICOM keywords (docs/dicom.md lists the accepted
    // ones) and whose values are strings, numbers or arrays of them (several values).
    std::string metadataJson;
    // When the instances' content was made, "YYYYMMDDHHMMSS" in UTC (ContentDate, ContentTime,
    // and AcquisitionDateTime unless the metadata gives it). Required.
    std::string contentDatetime;
    // The slide's objective power (openslide.objective-power), 0 when unknown.
    double objectivePower = 0;
    // The converting software's version, for the Contributing Equipment.
    std::string softwareVersion;
};

enum class ImageKind { Volume, Label, Overview, Thumbnail };

// Geometry of an instance: its total pixel matrix cut into frames.
struct FrameGrid {
    PixelSize total;           // TotalPixelMatrixColumns, TotalPixelMatrixRows
    uint32_t frameWidth = 0;   // Columns
    uint32_t frameHeight = 0;  // Rows
    int64_t columns = 0;       // frames across
    int64_t rows = 0;          // frames down

    int64_t FrameCount() const { return columns * rows; }
};

// The grid of a picture of `total` pixels cut into frames of `frame` pixels (both > 0).
FrameGrid GridOf(PixelSize total, uint32_t frameWidth, uint32_t frameHeight);
// Frame index (0-based; DICOM numbers frames from 1) of the frame at (column, row) of the grid,
// or -1 outside it.
int64_t FrameIndex(const FrameGrid& grid, int64_t column, int64_t row);
// The frame's top-left pixel in the total pixel matrix (0-based; the Column/Row Position In
// Total Image Pixel Matrix of a Plane Position (Slide) are these plus 1).
struct FramePosition {
    int64_t column = 0;  // of the grid
    int64_t row = 0;
    int64_t x = 0;  // pixels
    int64_t y = 0;
};
FramePosition PositionOf(const FrameGrid& grid, int64_t frameIndex);

struct Instance {
    ImageKind kind = ImageKind::Volume;
    int32_t level = -1;  // index into SlideDescription::levels (Volume), else -1
    FrameGrid grid;
    // Millimetres per pixel across and down; 0 for the label and the overview, whose scale is
    // not known.
    double spacingXMm = 0;
    double spacingYMm = 0;
    uint32_t instanceNumber = 0;  // 1, 2, ... in the order of PreparedSlide::instances
    std::string sopInstanceUid;
};

// A metadata value: the attribute's tag and its text as DICOM stores it (values joined by '\').
struct MetadataValue {
    uint16_t group = 0;
    uint16_t element = 0;
    std::string keyword;
    std::string value;
};

struct SlideUids {
    std::string study;
    std::string series;
    std::string frameOfReference;
    std::string dimensionOrganization;
    std::string specimen;
    std::string pyramid;  // the levels' and the thumbnail's PyramidUID
};

struct PreparedSlide {
    SlideDescription description;
    std::vector<MetadataValue> metadata;  // in tag order
    SlideUids uids;
    std::vector<Instance> instances;
};

// Checks the description, parses its metadata and plans the instances with their UIDs. false
// with the reason in *error for a description that cannot make valid instances.
bool PrepareSlide(const SlideDescription& description, PreparedSlide* prepared, std::string* error);

// The metadata value of `keyword`, or NULL.
const MetadataValue* FindMetadata(const PreparedSlide& slide, const std::string& keyword);

}  // namespace tarn::dicom
