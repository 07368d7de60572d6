// "deepzoom": the slide's Deep Zoom pyramid as `tarn serve` serves it, byte for byte, for any web
// server to host: OUT/<name>.dzi and OUT/<name>_files/<level>/<column>_<row>.jpeg. Resumable; the
// descriptor is written last, so where it is every tile it announces is there too.
#include <cstring>
#include <string>

#include "../Files.h"
#include "../Format.h"
#include "../Registry.h"

namespace tarnexport {
namespace {

constexpr const char* kHelp =
    "Writes the slide's Deep Zoom pyramid as `tarn serve` serves it, byte for byte: "
    "OUT/<name>.dzi and every tile of every level as OUT/<name>_files/<level>/<column>_<row>.jpeg, "
    "where <name> is the slide's file name without extension. The descriptor is written last.";

std::string FilesFolder(const SlideExport& job) {
    return job.output + "/" + job.name + "_files";
}

bool PlanDeepZoom(const SlideExport& job, Plan* plan, std::string* error) {
    const OptionValues& options = *job.options;
    const int64_t tileSize = options.Int("tile-size");
    plan->deepZoom.reset(tarn_deepzoom_create(job.slide, static_cast<int32_t>(tileSize),
                                              static_cast<int32_t>(options.Int("overlap")),
                                              options.Flag("limit-bounds") ? 1 : 0));
    if (plan->deepZoom == nullptr) {
        const char* why = tarn_get_error(job.slide);
        *error = std::string("cannot make the Deep Zoom view: ") +
                 (why != nullptr ? why : "unknown failure");
        return false;
    }
    AddDeepZoomLevels(TileEncoding::Jpeg, static_cast<int>(options.Int("quality")), plan);
    int64_t tiles = 0;
    for (const PlanLevel& level : plan->levels)
        tiles += level.columns * level.rows;
    plan->summary = job.shown + ": " + std::to_string(plan->levels.size()) + " Deep Zoom levels, " +
                    std::to_string(tiles) + " tiles of " + std::to_string(tileSize) +
                    " pixels into " + job.output + "/" + job.name + ".dzi and " + FilesFolder(job);
    return true;
}

class DeepZoomWriter : public Writer {
  public:
    DeepZoomWriter(const SlideExport& job, const Plan& plan)
        : job_(job), plan_(plan), files_(FilesFolder(job)), resume_(job.options->Flag("resume")) {}

    bool Open(std::string* error) override {
        if (!EnsureFolder(job_.output, error) || !EnsureFolder(files_, error)) return false;
        for (const PlanLevel& level : plan_.levels)
            if (!EnsureFolder(files_ + "/" + std::to_string(level.level), error)) return false;
        return true;
    }

    bool HasTile(const TileAddress& at) override { return resume_ && FileExists(Name(at)); }

    PutResult PutTile(const EncodedTile& tile, const Stop& stop, std::string* error) override {
        return ReplaceFile(Name(tile.at), tile.data, tile.size, stop, error);
    }

    bool Finish(const Stop& stop, std::string* error) override {
        char* dzi = tarn_deepzoom_get_dzi(plan_.deepZoom.get(), "jpeg");
        if (dzi == nullptr) {
            const char* why = tarn_get_error(job_.slide);
            *error = std::string("cannot describe the Deep Zoom view: ") +
                     (why != nullptr ? why : "unknown failure");
            return false;
        }
        const PutResult result =
            ReplaceFile(job_.output + "/" + job_.name + ".dzi", reinterpret_cast<uint8_t*>(dzi),
                        strlen(dzi), stop, error);
        tarn_free(dzi);
        return result == PutResult::Written;
    }

  private:
    std::string Name(const TileAddress& at) const {
        return files_ + "/" + std::to_string(plan_.levels[at.level].level) + "/" +
               std::to_string(at.column) + "_" + std::to_string(at.row) + ".jpeg";
    }

    const SlideExport& job_;
    const Plan& plan_;
    const std::string files_;
    const bool resume_;
};

std::unique_ptr<Writer> MakeDeepZoomWriter(const SlideExport& job, const Plan& plan) {
    return std::make_unique<DeepZoomWriter>(job, plan);
}

}  // namespace

const FormatEntry kDeepZoomFormat{
    "deepzoom",
    kHelp,
    {IntOption("tile-size", "254", 1, 8192, "tile size S in pixels, before the overlap"),
     IntOption("overlap", "1", 0, 8192, "pixels of overlap O added on inner sides"),
     IntOption("quality", "75", 1, 100, "JPEG quality Q"),
     FlagOption("limit-bounds", "show only the part of the slide that holds tissue tiles"),
     FlagOption("resume", "keep the tiles an earlier run wrote and write the rest")},
    OutputLayout::SharedFolder,
    "",
    PlanDeepZoom,
    MakeDeepZoomWriter,
};

}  // namespace tarnexport
