// "tiles": one level cut into JPEG tiles of any size in a folder, named and filled as
// tarn_export_tile_name and tarn_read_export_tile_jpeg make them (the files of the library's own
// sequential export, byte for byte). Resumable: a tile's file is whole once it has its name.
#include <string>

#include "../Files.h"
#include "../Format.h"
#include "../Registry.h"

namespace tarnexport {
namespace {

constexpr const char* kHelp =
    "Cuts the picture of one layer into W x H tiles and writes each as a JPEG (quality 75) named "
    "OUT/<column>_<row>_<W>_<H>.jpeg. Tiles of the last column and row reach past the picture, "
    "and are white beyond the layer's tile grid; a tile may be larger than the whole layer. OUT "
    "is a folder, made if needed once the slide has opened.";

bool PlanTiles(const SlideExport& job, Plan* plan, std::string* error) {
    const OptionValues& options = *job.options;
    const auto layer = static_cast<int32_t>(options.Int("layer"));
    const int32_t layers = tarn_get_level_count(job.slide);
    if (layer >= layers) {
        *error = job.shown + " has no layer " + std::to_string(layer) + " (it has " +
                 std::to_string(layers) + " layers)";
        return false;
    }
    int64_t width = 0, height = 0;
    tarn_get_level_dimensions(job.slide, layer, &width, &height);
    const int64_t tileWidth = options.Int("tile-width"), tileHeight = options.Int("tile-height");
    const PlanLevel grid = GridLevel(PixelSource::ExportTile, layer, width, height, tileWidth,
                                     tileHeight, TileEncoding::Jpeg, 75);
    plan->levels.push_back(grid);
    plan->summary = job.shown + ": layer " + std::to_string(layer) + " is " +
                    std::to_string(width) + " x " + std::to_string(height) +
                    " pixels: " + std::to_string(grid.columns) + " x " + std::to_string(grid.rows) +
                    " tiles of " + std::to_string(tileWidth) + " x " + std::to_string(tileHeight) +
                    " into " + job.output;
    return true;
}

class TilesWriter : public Writer {
  public:
    TilesWriter(const SlideExport& job, const Plan& plan)
        : folder_(job.output), level_(plan.levels[0]), resume_(job.options->Flag("resume")) {}

    bool Open(std::string* error) override { return EnsureFolder(folder_, error); }

    bool HasTile(const TileAddress& at) override { return resume_ && FileExists(Name(at)); }

    PutResult PutTile(const EncodedTile& tile, const Stop& stop, std::string* error) override {
        return ReplaceFile(Name(tile.at), tile.data, tile.size, stop, error);
    }

    bool Finish(const Stop& /*stop*/, std::string* /*error*/) override { return true; }

  private:
    std::string Name(const TileAddress& at) const {
        char file[128];
        tarn_export_tile_name(at.column, at.row, level_.tileWidth, level_.tileHeight, file,
                              sizeof file);
        return folder_ + "/" + file;
    }

    const std::string folder_;
    const PlanLevel level_;
    const bool resume_;
};

std::unique_ptr<Writer> MakeTilesWriter(const SlideExport& job, const Plan& plan) {
    return std::make_unique<TilesWriter>(job, plan);
}

}  // namespace

const FormatEntry kTilesFormat{
    "tiles",
    kHelp,
    {IntOption("layer", "0", 0, INT32_MAX, "the layer to cut"),
     IntOption("tile-width", "512", 1, 65500, "tile width W in pixels"),
     IntOption("tile-height", "512", 1, 65500, "tile height H in pixels"),
     FlagOption("resume", "keep the tiles an earlier run wrote and write the rest")},
    OutputLayout::PerSlide,
    "",
    PlanTiles,
    MakeTilesWriter,
};

}  // namespace tarnexport
