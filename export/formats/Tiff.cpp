// "tiff" and "ome-tiff": the slide as one TIFF file of JPEG tiles, written through libtiff in
// the plan's order, each level's tiles streamed into the file as they come so memory does not
// grow with the slide; a BigTIFF when the file may pass 4 GiB.
//  - tiff: a pyramidal TIFF as OpenSlide (generic-tiff) and libvips read it: one tiled IFD per
//    level, the first the finest, the others marked as reduced images; then the label, the
//    macrograph and the thumbnail as stripped IFDs that are not, which OpenSlide passes over.
//  - ome-tiff: the pyramid's first level in the first IFD with the others as its SubIFDs, and
//    the OME-XML that names it (PhysicalSizeX/Y in micrometres), then the label and the
//    macrograph as images (series) of their own.
// Every level has its pixel size in the resolution tags and the sRGB profile.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "../Format.h"
#include "../Jpeg.h"
#include "../Registry.h"
#include "Conversion.h"
#include "OmeXml.h"
#include "TiffFile.h"

namespace tarnexport {
namespace {

constexpr const char* kTiffHelp =
    "Writes the slide as one pyramidal TIFF file OUT (OUT/<name>.tiff for each of several "
    "slides) of JPEG tiles of --tile pixels, as OpenSlide and libvips read it: one tiled IFD "
    "per level, the finest first, for every level the slide stores and those below down to one "
    "tile, each half the one above; then the label, the macrograph and the thumbnail, one "
    "JPEG strip each (described as such). Each level has its pixel size in the resolution tags "
    "and lcms2's sRGB profile; a BigTIFF when the file may pass 4 GiB.";

constexpr const char* kOmeTiffHelp =
    "Writes the slide as one OME-TIFF file OUT (OUT/<name>.ome.tiff for each of several slides) "
    "as Bio-Formats, QuPath and tifffile read it: the finest level in the first IFD with the "
    "levels below as its SubIFDs (every level the slide stores and those below down to one "
    "tile, each half the one above), tiled JPEG of --tile pixels; the OME-XML in its "
    "description gives the pixel size (PhysicalSizeX/Y in micrometres) and names the label and "
    "the macrograph, written after it as images of their own. Every image has lcms2's sRGB "
    "profile; a BigTIFF when the file may pass 4 GiB.";

constexpr double kMicrometresPerCm = 1e4;

bool PlanTiff(const SlideExport& job, Plan* plan, std::string* error, bool ome) {
    ConversionSettings settings;
    if (!ReadConversionSettings(job, &settings, error)) return false;
    // TIFF tiles are whole multiples of 16 pixels across and down.
    if (settings.tileSize % 16 != 0) {
        *error = "TIFF tiles are a multiple of 16 pixels: --tile " +
                 std::to_string(settings.tileSize) + " is not";
        return false;
    }
    if (!PlanConversion(job, settings, plan, error)) return false;
    // The thumbnail is the pyramid's own business in OME-TIFF: readers make theirs from it.
    if (ome)
        std::erase_if(plan->associated,
                      [](const AssociatedRequest& image) { return image.name == "thumbnail"; });
    int64_t tiles = 0;
    for (const PlanLevel& level : plan->levels)
        tiles += level.columns * level.rows;
    const PlanLevel &finest = plan->levels.front(), &coarsest = plan->levels.back();
    plan->summary = job.shown + ": " + std::to_string(plan->levels.size()) + " levels from " +
                    std::to_string(finest.width) + " x " + std::to_string(finest.height) + " to " +
                    std::to_string(coarsest.width) + " x " + std::to_string(coarsest.height) +
                    ", " + std::to_string(tiles) + " tiles of " +
                    std::to_string(settings.tileSize) + " pixels";
    for (const AssociatedRequest& image : plan->associated)
        plan->summary += ", " + image.name;
    plan->summary += std::string(ome ? ", as OME-TIFF into " : ", as TIFF into ") + job.output;
    return true;
}

bool PlanPyramidTiff(const SlideExport& job, Plan* plan, std::string* error) {
    return PlanTiff(job, plan, error, false);
}

bool PlanOmeTiff(const SlideExport& job, Plan* plan, std::string* error) {
    return PlanTiff(job, plan, error, true);
}

class TiffWriter : public Writer {
  public:
    TiffWriter(const SlideExport& job, const Plan& plan, bool ome)
        : job_(job), plan_(plan), ome_(ome) {}

    TileOrder Order() const override { return TileOrder::Plan; }

    bool Open(std::string* error) override {
        if (!ReadConversionSettings(job_, &settings_, error)) return false;
        uint64_t associated = 0;
        for (const AssociatedRequest& image : plan_.associated) {
            int64_t width = 0, height = 0;
            tarn_get_associated_image_dimensions(job_.slide, image.name.c_str(), &width, &height);
            if (width > 0 && height > 0)
                associated += static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3;
        }
        return file_.Open(job_.output, NeedsBigTiff(plan_.levels, associated), error);
    }

    // Held, as JPEG, until the pyramid is written: its first level has to be the first image.
    bool PutAssociated(const AssociatedImage& image, std::string* error) override {
        Associated kept{image.name, image.width, image.height, {}};
        if (!EncodeJpeg(image.rgb.data(), image.width, image.height, settings_.quality, &kept.jpeg,
                        error)) {
            *error = "cannot encode the " + image.name + " image of " + job_.shown + ": " + *error;
            return false;
        }
        associated_.push_back(std::move(kept));
        return true;
    }

    PutResult PutTile(const EncodedTile& tile, const Stop& /*stop*/, std::string* error) override {
        // Levels come whole and in order: a level's first tile begins its image.
        const PlanLevel& level = plan_.levels[tile.at.level];
        if (tile.at.index == levelStart_) {
            if (!file_.BeginTiled(LevelImage(tile.at.level), error)) return PutResult::Failed;
            levelStart_ += level.columns * level.rows;
        }
        if (!file_.AddTile(tile.at.column, tile.at.row, tile.data, tile.size, error))
            return PutResult::Failed;
        if (tile.damaged) ++damaged_;
        if (tile.at.index + 1 == levelStart_ && !file_.EndImage(error)) return PutResult::Failed;
        return PutResult::Written;
    }

    bool Finish(const Stop& /*stop*/, std::string* error) override {
        if (levelStart_ != plan_.TileCount()) {
            *error = "the pyramid of " + job_.shown + " was not written whole";
            return false;
        }
        for (const Associated& image : associated_) {
            TiffImage tags;
            tags.width = image.width;
            tags.height = image.height;
            tags.description = ome_ ? "" : image.name;
            tags.colourProfile = true;
            if (!file_.AddStripped(tags, image.jpeg.data(), image.jpeg.size(), error)) return false;
        }
        if (!file_.Close(error)) return false;
        return !settings_.skipDamaged ||
               PatchFirstDescription(job_.output, DamagedCount(0), DamagedCount(damaged_), error);
    }

    void Abandon() override { file_.Abort(); }

  private:
    struct Associated {
        std::string name;
        int64_t width = 0;
        int64_t height = 0;
        std::vector<uint8_t> jpeg;
    };

    TiffImage LevelImage(size_t k) const {
        const PlanLevel& level = plan_.levels[k];
        TiffImage image;
        image.width = level.width;
        image.height = level.height;
        image.tileSize = level.tileWidth;
        image.reduced = k > 0;
        double mppX = 0, mppY = 0;
        LevelPixelSize(job_.slide, settings_, level, &mppX, &mppY);
        image.pixelsPerCmX = kMicrometresPerCm / mppX;
        image.pixelsPerCmY = kMicrometresPerCm / mppY;
        image.colourProfile = true;
        if (ome_ && k == 0) {
            image.subImages = static_cast<uint16_t>(plan_.levels.size() - 1);
            image.description = Description(mppX, mppY);
        } else if (k == 0 && settings_.skipDamaged) {
            image.description = DamagedCount(0);
        }
        return image;
    }

    // With --skip-damaged, the first image says how many tiles are white. The count is known
    // only once every tile is written, long after that image: Finish writes it over the
    // placeholder for 0, which is as long as the text for any count (the padding is spaces,
    // which OME-XML passes over between elements).
    std::string DamagedCount(int64_t damaged) const {
        const auto text = [this](int64_t n) {
            return ome_ ? "<M K=\"tarn.damaged-tiles\">" + std::to_string(n) + "</M>"
                        : std::to_string(n) + " of " + std::to_string(plan_.TileCount()) +
                              " tiles could not be read from the source slide and are white";
        };
        std::string padded = text(damaged);
        padded.resize(text(plan_.TileCount()).size(), ' ');
        return padded;
    }

    std::string Description(double mppX, double mppY) const {
        std::vector<OmeImage> images = {
            {job_.name, plan_.levels[0].width, plan_.levels[0].height, mppX, mppY}};
        for (const Associated& image : associated_)
            images.push_back({image.name, image.width, image.height, 0, 0});
        std::vector<std::pair<std::string, std::string>> annotations = {
            {"tarn.colorspace", "sRGB"},
            {"tarn.pixel-size", settings_.mppFromSlide ? "slide" : "given"}};
        if (!settings_.skipDamaged) return OmeXml(images, annotations);
        annotations.emplace_back("tarn.damaged-tiles", "0");
        std::string xml = OmeXml(images, annotations);
        const std::string unpadded = "<M K=\"tarn.damaged-tiles\">0</M>";
        xml.replace(xml.find(unpadded), unpadded.size(), DamagedCount(0));
        return xml;
    }

    const SlideExport& job_;
    const Plan& plan_;
    const bool ome_;
    ConversionSettings settings_;
    TiffFile file_;
    std::vector<Associated> associated_;
    int64_t levelStart_ = 0;  // plan number of the next level's first tile
    int64_t damaged_ = 0;     // tiles written white
};

std::unique_ptr<Writer> MakeTiffWriter(const SlideExport& job, const Plan& plan) {
    return std::make_unique<TiffWriter>(job, plan, false);
}

std::unique_ptr<Writer> MakeOmeTiffWriter(const SlideExport& job, const Plan& plan) {
    return std::make_unique<TiffWriter>(job, plan, true);
}

}  // namespace

const FormatEntry kTiffFormat{
    "tiff",  kTiffHelp,       ConversionOptions(), OutputLayout::PerSlide,
    ".tiff", PlanPyramidTiff, MakeTiffWriter,
};

const FormatEntry kOmeTiffFormat{
    "ome-tiff",  kOmeTiffHelp, ConversionOptions(), OutputLayout::PerSlide,
    ".ome.tiff", PlanOmeTiff,  MakeOmeTiffWriter,
};

}  // namespace tarnexport
