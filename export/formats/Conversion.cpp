#include "Conversion.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tarnexport {
namespace {

// A metadata file is a few kilobytes of JSON: anything far larger is not one.
constexpr std::streamoff kMostMetadataBytes = std::streamoff{1} << 20;

// A positive number of micrometres per pixel from a property or an option; 0 when it is none.
double PixelSize(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    errno = 0;
    const double value = strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value <= 0) return 0;
    return value;
}

// Level-0 pixels that one pixel of the plan level spans, as nominal.
double NominalDownsample(tarn_slide* slide, const PlanLevel& level) {
    if (level.source == PixelSource::CoarseLevel) {
        const double coarsest = tarn_get_level_downsample(slide, tarn_get_level_count(slide) - 1);
        return std::ldexp(coarsest, level.level) * level.scale;
    }
    return tarn_get_level_downsample(slide, level.level) * level.scale;
}

// The span along one axis of `full` level-0 pixels over `size`.
double Span(double nominal, int64_t full, int64_t size) {
    return nominal > 0 &&
                   std::fabs(static_cast<double>(full) / nominal - static_cast<double>(size)) <= 1
               ? nominal
               : static_cast<double>(full) / static_cast<double>(size);
}

bool ReadMetadata(const std::string& path, std::string* text, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot read the metadata file " + path + ": " + strerror(errno);
        return false;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    if (size > kMostMetadataBytes) {
        *error = "the metadata file " + path + " is larger than 1 MiB";
        return false;
    }
    file.seekg(0);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    *text = bytes.str();
    return true;
}

}  // namespace

std::vector<OptionInfo> ConversionOptions(std::vector<OptionInfo> own) {
    std::vector<OptionInfo> options = {
        IntOption("quality", "90", 1, 100, "JPEG quality of the tiles"),
        IntOption("tile", "256", 16, 4096, "tile width and height in pixels"),
        TextOption("metadata", "", nullptr,
                   "a JSON file of values for the output's metadata (DICOM keywords as keys)"),
        TextOption("mpp", "", nullptr,
                   "micrometres per pixel of level 0, instead of the slide's own (needed when "
                   "the slide has none)"),
        FlagOption("no-label",
                   "leave out the label and the macrograph, which may show patient identifiers"),
        FlagOption("new-uids", "fresh identifiers instead of ones derived from the slide"),
        FlagOption("overwrite", "replace an existing output instead of refusing it"),
        FlagOption("skip-damaged",
                   "write a tile that cannot be read as white (counted in the message and the "
                   "output's metadata) instead of failing"),
    };
    options.insert(options.end(), own.begin(), own.end());
    return options;
}

bool ReadConversionSettings(const SlideExport& job, ConversionSettings* settings,
                            std::string* error) {
    const OptionValues& options = *job.options;
    settings->quality = static_cast<int>(options.Int("quality"));
    settings->tileSize = options.Int("tile");
    settings->includeLabel = !options.Flag("no-label");
    settings->newUids = options.Flag("new-uids");
    settings->overwrite = options.Flag("overwrite");
    settings->skipDamaged = options.Flag("skip-damaged");
    if (options.Given("mpp") && !options.Text("mpp").empty()) {
        const double mpp = PixelSize(options.Text("mpp").c_str());
        if (mpp == 0) {
            *error = "--mpp takes a positive number of micrometres per pixel, not '" +
                     options.Text("mpp") + "'";
            return false;
        }
        settings->mppX = settings->mppY = mpp;
        settings->mppFromSlide = false;
    } else {
        settings->mppX = PixelSize(tarn_get_property_value(job.slide, TARN_PROPERTY_NAME_MPP_X));
        settings->mppY = PixelSize(tarn_get_property_value(job.slide, TARN_PROPERTY_NAME_MPP_Y));
        if (settings->mppX == 0 || settings->mppY == 0) {
            *error = job.shown + " does not say its pixel size: give it with --mpp";
            return false;
        }
        settings->mppFromSlide = true;
    }
    settings->metadataJson.clear();
    if (options.Given("metadata") && !options.Text("metadata").empty())
        return ReadMetadata(options.Text("metadata"), &settings->metadataJson, error);
    return true;
}

bool PlanConversion(const SlideExport& job, const ConversionSettings& settings, Plan* plan,
                    std::string* error, TileEncoding encoding) {
    if (!AddPyramid(job.slide, settings.tileSize, encoding, settings.quality, plan, error))
        return false;
    AddAssociatedImages(job.slide, false, plan);
    // The library builds large slides' coarse levels in the background: started now, the build
    // runs beside the stored levels' tiles instead of holding up the first coarse tile.
    if (std::any_of(plan->levels.begin(), plan->levels.end(), [](const PlanLevel& level) {
            return level.source == PixelSource::CoarseLevel;
        }))
        tarn_wait_coarse_levels(job.slide, 0);
    plan->stagedOutput = true;
    plan->overwrite = settings.overwrite;
    plan->whiteForUnreadable = settings.skipDamaged;
    if (!settings.includeLabel)
        std::erase_if(plan->associated, [](const AssociatedRequest& image) {
            return image.name == "label" || image.name == "macro";
        });
    return true;
}

void LevelPixelSize(tarn_slide* slide, const ConversionSettings& settings, const PlanLevel& level,
                    double* x, double* y) {
    int64_t fullWidth = 0, fullHeight = 0;
    tarn_get_level_dimensions(slide, 0, &fullWidth, &fullHeight);
    const double nominal = NominalDownsample(slide, level);
    *x = settings.mppX * Span(nominal, fullWidth, level.width);
    *y = settings.mppY * Span(nominal, fullHeight, level.height);
}

}  // namespace tarnexport
