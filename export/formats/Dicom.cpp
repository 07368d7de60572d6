// "dicom": the slide as DICOM VL Whole Slide Microscopy Image instances, one file each in a
// folder, exactly as dicom/ defines them (the datasets `tarn serve` answers DICOMweb with). Levels
// are the conversion plan's, frames its tiles in plan order, streamed into each level's file as
// they come, so memory does not grow with the slide.
#include <string>
#include <vector>

#include "../Files.h"
#include "../Format.h"
#include "../Registry.h"
#include "Conversion.h"
#include "dicom/Frames.h"
#include "dicom/InstanceBytes.h"
#include "dicom/Slide.h"
#include "util/Names.h"

namespace tarnexport {
namespace {

constexpr const char* kHelp =
    "Writes the slide as DICOM whole-slide images (VL Whole Slide Microscopy Image, JPEG "
    "baseline frames) in the folder OUT, one study and one series: level-0.dcm for the finest "
    "level, level-1.dcm ... for every further level the slide stores and those below down to "
    "one tile, label.dcm, overview.dcm (the macrograph) and thumbnail.dcm. UIDs derive from the "
    "slide's content, so converting a slide again gives the same ones.";

// The slide as dicom/ describes it for the settings, its label and overview left out when the
// settings leave them out, prepared with its UIDs.
bool PrepareDicom(const SlideExport& job, const ConversionSettings& settings,
                  tarn::dicom::PreparedSlide* prepared, std::string* error) {
    tarn::dicom::DescribeOptions options;
    options.tileSize = static_cast<uint32_t>(settings.tileSize);
    options.jpegQuality = settings.quality;
    options.mppOverride = settings.mppFromSlide ? 0 : settings.mppX;
    options.metadataJson = settings.metadataJson;
    options.newUids = settings.newUids;
    // A slide file's modification time dates the content; a URL's or a caller's slide has none.
    const bool file = !tarn::IsUrl(job.shown) && tarn_detect_vendor(job.shown.c_str()) != nullptr;
    tarn::dicom::SlideDescription description;
    if (!tarn::dicom::DescribeSlide(job.slide, file ? job.shown.c_str() : nullptr, options,
                                    &description, error))
        return false;
    if (!settings.includeLabel) {
        description.label.reset();
        description.overview.reset();
    }
    if (tarn::dicom::PrepareSlide(description, prepared, error)) return true;
    *error = "cannot describe " + job.shown + " as DICOM: " + *error;
    return false;
}

// Whether the plan's levels are the description's, frame for tile.
bool SameLevels(const Plan& plan, const tarn::dicom::SlideDescription& description) {
    if (plan.levels.size() != description.levels.size()) return false;
    for (size_t i = 0; i < plan.levels.size(); ++i) {
        const PlanLevel& ours = plan.levels[i];
        const tarn::dicom::Level& theirs = description.levels[i];
        if (ours.width != theirs.size.width || ours.height != theirs.size.height ||
            ours.scale != theirs.scale)
            return false;
    }
    return true;
}

std::string FileName(const tarn::dicom::Instance& instance) {
    switch (instance.kind) {
        case tarn::dicom::ImageKind::Volume:
            return "level-" + std::to_string(instance.level) + ".dcm";
        case tarn::dicom::ImageKind::Label:
            return "label.dcm";
        case tarn::dicom::ImageKind::Overview:
            return "overview.dcm";
        case tarn::dicom::ImageKind::Thumbnail:
            return "thumbnail.dcm";
    }
    return "";
}

bool PlanDicom(const SlideExport& job, Plan* plan, std::string* error) {
    ConversionSettings settings;
    tarn::dicom::PreparedSlide prepared;
    if (!ReadConversionSettings(job, &settings, error) ||
        !PlanConversion(job, settings, plan, error) ||
        // The metadata and the pixel size are checked before any tile is read.
        !PrepareDicom(job, settings, &prepared, error))
        return false;
    if (!SameLevels(*plan, prepared.description)) {
        *error = "the conversion's levels are not the DICOM pyramid's";
        return false;
    }
    for (PlanLevel& level : plan->levels)
        level.encoding = TileEncoding::Jpeg422;  // YBR_FULL_422
    int64_t frames = 0;
    for (const PlanLevel& level : plan->levels)
        frames += level.columns * level.rows;
    const PlanLevel& finest = plan->levels.front();
    const PlanLevel& coarsest = plan->levels.back();
    std::string images;
    for (const AssociatedRequest& image : plan->associated)
        images += ", " + std::string(image.name == "macro" ? "overview" : image.name);
    plan->summary = job.shown + ": " + std::to_string(plan->levels.size()) + " levels from " +
                    std::to_string(finest.width) + " x " + std::to_string(finest.height) + " to " +
                    std::to_string(coarsest.width) + " x " + std::to_string(coarsest.height) +
                    ", " + std::to_string(frames) + " frames of " +
                    std::to_string(settings.tileSize) + " pixels" + images + ", as DICOM into " +
                    job.output;
    return true;
}

class DicomWriter : public Writer {
  public:
    DicomWriter(const SlideExport& job, const Plan& plan) : job_(job), plan_(plan) {}

    TileOrder Order() const override { return TileOrder::Plan; }

    bool Open(std::string* error) override {
        ConversionSettings settings;
        if (!ReadConversionSettings(job_, &settings, error) ||
            !PrepareDicom(job_, settings, &prepared_, error))
            return false;
        if (!SameLevels(plan_, prepared_.description)) {
            *error = "the conversion's levels are not the DICOM pyramid's";
            return false;
        }
        options_.countDamagedFrames = settings.skipDamaged;
        return EnsureFolder(job_.output, error);
    }

    bool PutAssociated(const AssociatedImage& image, std::string* error) override {
        size_t index = 0;
        while (index < prepared_.instances.size() &&
               (prepared_.instances[index].kind == tarn::dicom::ImageKind::Volume ||
                image.name != Named(prepared_.instances[index].kind)))
            ++index;
        const tarn::dicom::Instance* instance =
            index < prepared_.instances.size() ? &prepared_.instances[index] : nullptr;
        if (instance == nullptr || instance->grid.total.width != image.width ||
            instance->grid.total.height != image.height) {
            *error = "the " + image.name + " image of " + job_.shown +
                     " is not the one its description announced";
            return false;
        }
        std::vector<uint8_t> jpeg;
        if (!tarn::dicom::EncodeFrameJpeg(image.rgb.data(), static_cast<uint32_t>(image.width),
                                          static_cast<uint32_t>(image.height),
                                          prepared_.description.jpegQuality, &jpeg, error) ||
            !Begin(index, error) || !Add(jpeg.data(), jpeg.size(), false, error) || !End(error)) {
            file_.Abort();
            return false;
        }
        return true;
    }

    PutResult PutTile(const EncodedTile& tile, const Stop& /*stop*/, std::string* error) override {
        // Levels come whole and in order: a level's first frame begins its instance.
        if (tile.at.index == levelStart_) {
            const size_t index = InstanceOfLevel(tile.at.level);
            if (index == prepared_.instances.size() || !Begin(index, error)) {
                if (error->empty())
                    *error = "no instance for plan level " + std::to_string(tile.at.level);
                return PutResult::Failed;
            }
            levelStart_ += prepared_.instances[index].grid.FrameCount();
        }
        if (!Add(tile.data, tile.size, tile.damaged, error)) return PutResult::Failed;
        if (tile.at.index + 1 == levelStart_ && !End(error)) return PutResult::Failed;
        return PutResult::Written;
    }

    bool Finish(const Stop& /*stop*/, std::string* error) override {
        if (written_ == prepared_.instances.size()) return true;
        *error = "only " + std::to_string(written_) + " of the " +
                 std::to_string(prepared_.instances.size()) + " instances of " + job_.shown +
                 " were written";
        return false;
    }

    // The engine removes the staged folder; the file being written goes first.
    void Abandon() override { file_.Abort(); }

  private:
    static const char* Named(tarn::dicom::ImageKind kind) {
        return kind == tarn::dicom::ImageKind::Label      ? "label"
               : kind == tarn::dicom::ImageKind::Overview ? "macro"
                                                          : "thumbnail";
    }

    size_t InstanceOfLevel(size_t level) const {
        size_t index = 0;
        while (index < prepared_.instances.size() &&
               !(prepared_.instances[index].kind == tarn::dicom::ImageKind::Volume &&
                 prepared_.instances[index].level == static_cast<int32_t>(level)))
            ++index;
        return index;
    }

    bool Begin(size_t index, std::string* error) {
        current_ = job_.output + "/" + FileName(prepared_.instances[index]);
        return Explained(file_.Begin(prepared_, index, current_, options_, error), error);
    }
    bool Add(const uint8_t* jpeg, size_t size, bool damaged, std::string* error) {
        return Explained(file_.AddFrame(jpeg, size, error, damaged), error);
    }
    bool End(std::string* error) {
        if (!Explained(file_.Finish(error), error)) return false;
        ++written_;
        return true;
    }
    // dicom/'s messages name no file: the output's does.
    bool Explained(bool ok, std::string* error) const {
        if (ok) return true;
        const std::string said = "cannot write: ";
        if (error->rfind(said, 0) == 0) error->erase(0, said.size());
        *error = "cannot write " + current_ + ": " + *error;
        return false;
    }

    const SlideExport& job_;
    const Plan& plan_;
    tarn::dicom::PreparedSlide prepared_;
    tarn::dicom::FileOptions options_;
    tarn::dicom::InstanceFileWriter file_;
    std::string current_;
    int64_t levelStart_ = 0;  // plan number of the next level's first tile
    size_t written_ = 0;      // instances finished
};

std::unique_ptr<Writer> MakeDicomWriter(const SlideExport& job, const Plan& plan) {
    return std::make_unique<DicomWriter>(job, plan);
}

}  // namespace

const FormatEntry kDicomFormat{
    "dicom", kHelp, ConversionOptions(), OutputLayout::PerSlide, "", PlanDicom, MakeDicomWriter,
};

}  // namespace tarnexport
