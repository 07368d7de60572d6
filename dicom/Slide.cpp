#include "dicom/Slide.h"

#include <algorithm>
#include <cmath>

#include "dicom/Metadata.h"
#include "dicom/Uids.h"

namespace tarn::dicom {
namespace {

// Rows, Columns and the JPEG frame header hold 16 bits.
constexpr int64_t kMaxFrameSide = 65535;
// TotalPixelMatrixColumns and Rows are 32-bit.
constexpr int64_t kMaxMatrixSide = 4294967295;
// NumberOfFrames is an IS (at most 2^31 - 1); far more than any slide needs.
constexpr int64_t kMaxFrames = 2147483647;

bool ValidDateTime(const std::string& text) {
    if (text.size() != 14) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

bool AddInstance(PreparedSlide* slide, ImageKind kind, int32_t level, PixelSize size,
                 uint32_t frameWidth, uint32_t frameHeight, const std::string& purpose,
                 std::string* error) {
    if (size.width <= 0 || size.height <= 0) {
        *error = "an image of the slide has no pixels";
        return false;
    }
    if (size.width > kMaxMatrixSide || size.height > kMaxMatrixSide) {
        *error = "an image of the slide is wider or taller than DICOM's total pixel matrix holds";
        return false;
    }
    Instance instance;
    instance.kind = kind;
    instance.level = level;
    instance.grid = GridOf(size, frameWidth, frameHeight);
    if (instance.grid.FrameCount() > kMaxFrames) {
        *error = "a level has more frames than an instance can hold";
        return false;
    }
    instance.instanceNumber = static_cast<uint32_t>(slide->instances.size() + 1);
    instance.sopInstanceUid = DerivedUid(slide->description.identity, purpose);
    if (instance.sopInstanceUid.empty()) {
        *error = "cannot compute the slide's UIDs";
        return false;
    }
    slide->instances.push_back(std::move(instance));
    return true;
}

}  // namespace

FrameGrid GridOf(PixelSize total, uint32_t frameWidth, uint32_t frameHeight) {
    FrameGrid grid;
    grid.total = total;
    grid.frameWidth = frameWidth;
    grid.frameHeight = frameHeight;
    if (frameWidth == 0 || frameHeight == 0 || total.width <= 0 || total.height <= 0) return grid;
    grid.columns = (total.width + frameWidth - 1) / frameWidth;
    grid.rows = (total.height + frameHeight - 1) / frameHeight;
    return grid;
}

int64_t FrameIndex(const FrameGrid& grid, int64_t column, int64_t row) {
    if (column < 0 || row < 0 || column >= grid.columns || row >= grid.rows) return -1;
    return row * grid.columns + column;
}

FramePosition PositionOf(const FrameGrid& grid, int64_t frameIndex) {
    FramePosition position;
    if (grid.columns <= 0 || frameIndex < 0 || frameIndex >= grid.FrameCount()) return position;
    position.column = frameIndex % grid.columns;
    position.row = frameIndex / grid.columns;
    position.x = position.column * grid.frameWidth;
    position.y = position.row * grid.frameHeight;
    return position;
}

const MetadataValue* FindMetadata(const PreparedSlide& slide, const std::string& keyword) {
    for (const MetadataValue& value : slide.metadata) {
        if (value.keyword == keyword) return &value;
    }
    return nullptr;
}

bool PrepareSlide(const SlideDescription& description, PreparedSlide* prepared,
                  std::string* error) {
    PreparedSlide slide;
    slide.description = description;
    const SlideDescription& d = slide.description;
    if (d.levels.empty()) {
        *error = "a slide needs at least one level";
        return false;
    }
    if (d.tileSize < 16 || d.tileSize > 4096) {
        *error = "the tile size must be 16 to 4096 pixels";
        return false;
    }
    if (d.jpegQuality < 1 || d.jpegQuality > 100) {
        *error = "the JPEG quality must be 1 to 100";
        return false;
    }
    if (!(d.pixelSpacingXMm > 0 && d.pixelSpacingYMm > 0 && std::isfinite(d.pixelSpacingXMm) &&
          std::isfinite(d.pixelSpacingYMm))) {
        *error = "the slide has no pixel size: give one (in micrometres per pixel)";
        return false;
    }
    if (!ValidDateTime(d.contentDatetime)) {
        *error = "the content date and time must be YYYYMMDDHHMMSS";
        return false;
    }
    if (d.newUids) {
        slide.description.identity = RandomIdentity();
        if (slide.description.identity.empty()) {
            *error = "the system's random generator failed";
            return false;
        }
    } else if (d.identity.empty()) {
        *error = "the slide has no identity to derive its UIDs from";
        return false;
    }
    if (!ParseMetadata(d.metadataJson, &slide.metadata, error)) return false;

    const std::string& identity = slide.description.identity;
    const MetadataValue* study = FindMetadata(slide, "StudyInstanceUID");
    slide.uids.study =
        study != nullptr && !study->value.empty() ? study->value : DerivedUid(identity, "study");
    slide.uids.series = DerivedUid(identity, "series");
    slide.uids.frameOfReference = DerivedUid(identity, "frame-of-reference");
    slide.uids.dimensionOrganization = DerivedUid(identity, "dimension-organization");
    slide.uids.specimen = DerivedUid(identity, "specimen");
    slide.uids.pyramid = DerivedUid(identity, "pyramid");

    const PixelSize first = d.levels.front().size;
    for (size_t i = 0; i < d.levels.size(); ++i) {
        const PixelSize size = d.levels[i].size;
        if (!AddInstance(&slide, ImageKind::Volume, static_cast<int32_t>(i), size, d.tileSize,
                         d.tileSize, "instance/level/" + std::to_string(i), error)) {
            return false;
        }
        Instance& level = slide.instances.back();
        level.spacingXMm =
            d.pixelSpacingXMm * static_cast<double>(first.width) / static_cast<double>(size.width);
        level.spacingYMm = d.pixelSpacingYMm * static_cast<double>(first.height) /
                           static_cast<double>(size.height);
    }
    struct Associated {
        const std::optional<PixelSize>& size;
        ImageKind kind;
        const char* name;
        const char* purpose;
    };
    const Associated associated[] = {
        {d.label, ImageKind::Label, "label", "instance/label"},
        {d.overview, ImageKind::Overview, "overview", "instance/overview"},
        {d.thumbnail, ImageKind::Thumbnail, "thumbnail", "instance/thumbnail"}};
    for (const Associated& image : associated) {
        if (!image.size) continue;
        if (image.size->width > kMaxFrameSide || image.size->height > kMaxFrameSide) {
            *error = std::string("the ") + image.name + " image is too large for one frame";
            return false;
        }
        if (!AddInstance(&slide, image.kind, -1, *image.size,
                         static_cast<uint32_t>(std::max<int64_t>(image.size->width, 0)),
                         static_cast<uint32_t>(std::max<int64_t>(image.size->height, 0)),
                         image.purpose, error)) {
            return false;
        }
        if (image.kind == ImageKind::Thumbnail) {
            // The thumbnail shows the whole first level.
            Instance& thumbnail = slide.instances.back();
            thumbnail.spacingXMm = d.pixelSpacingXMm * static_cast<double>(first.width) /
                                   static_cast<double>(image.size->width);
            thumbnail.spacingYMm = d.pixelSpacingYMm * static_cast<double>(first.height) /
                                   static_cast<double>(image.size->height);
        }
    }
    *prepared = std::move(slide);
    return true;
}

}  // namespace tarn::dicom
