// What the conversion formats (DICOM, OME-TIFF, pyramidal TIFF, OME-Zarr: `tarn convert`) share:
// the options they all take, the settings read from them for one slide, and the plan they all
// make of it — every stored level, then the levels below the coarsest down to one tile, each
// half the one above, in square JPEG tiles, with the associated images.
#pragma once

#include <string>
#include <vector>

#include "../Format.h"

namespace tarnexport {

// The options every conversion format takes, followed by the format's own.
std::vector<OptionInfo> ConversionOptions(std::vector<OptionInfo> own = {});

struct ConversionSettings {
    int quality = 90;           // JPEG quality of the tiles
    int64_t tileSize = 256;     // tiles are tileSize x tileSize
    double mppX = 0, mppY = 0;  // micrometres per pixel of level 0: the slide's, or --mpp
    bool mppFromSlide = false;  // false: given with --mpp
    std::string metadataJson;   // the --metadata file's text ("" when none)
    bool includeLabel = true;   // false with --no-label: no label and no macrograph
    bool newUids = false;       // fresh identifiers instead of ones derived from the slide
    bool overwrite = false;     // an existing output is replaced instead of refused
    bool skipDamaged = false;   // a tile that cannot be read is white instead of a failure
};

// The settings of one slide's conversion: the options as given, the pixel size from the slide
// unless --mpp overrides it (a slide without one needs it), the metadata file read. False with
// a message.
bool ReadConversionSettings(const SlideExport& job, ConversionSettings* settings,
                            std::string* error);

// The plan every conversion format makes: AddPyramid at the settings' tile size and quality,
// in JPEG tiles or the pixels (`encoding`), and the associated images (the label and the
// macrograph left out unless included). Its output is staged (written under a temporary name,
// renamed when whole, an existing one refused unless overwrite) and, with skipDamaged, a tile
// that cannot be read is white: writers count EncodedTile::damaged in their output's metadata.
bool PlanConversion(const SlideExport& job, const ConversionSettings& settings, Plan* plan,
                    std::string* error, TileEncoding encoding = TileEncoding::Jpeg);

// Micrometres per pixel of a plan level along x and y: level 0's times the level-0 pixels one of
// its pixels spans, the nominal downsample (a power of the slide's layer ratio, times 2 for each
// halving below) where the level's size agrees with it within a pixel (sizes are rounded up at
// each halving), else what the sizes measure.
void LevelPixelSize(tarn_slide* slide, const ConversionSettings& settings, const PlanLevel& level,
                    double* x, double* y);

}  // namespace tarnexport
