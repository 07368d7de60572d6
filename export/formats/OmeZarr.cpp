// "ome-zarr": the slide as an OME-Zarr image (NGFF 0.4 on zarr v2), a folder that python3-zarr,
// Dask, napari and the OME tools open as it is. The image is the root group, its pyramid the
// arrays 0/, 1/, ...; the associated images are one-level images in groups of their own beside
// the levels. Chunks are written as they come from every thread, each under a temporary name;
// the metadata last, the root's .zgroup the very last, so a folder without it is not whole.
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../Files.h"
#include "../Format.h"
#include "../Registry.h"
#include "Conversion.h"
#include "ZarrChunks.h"

namespace tarnexport {
namespace {

constexpr const char* kHelp =
    "Writes the slide as an OME-Zarr image (NGFF 0.4 on zarr v2): the folder OUT (OUT/<name>"
    ".ome.zarr for each of several slides) holds every level the slide stores and the levels "
    "below it down to one tile, each half the one above, as the arrays OUT/0, OUT/1, ... of "
    "shape [3, height, width] (axes c, y, x) of bytes, in chunks of --tile pixels compressed "
    "without loss (--compression) and laid out as OUT/<level>/0/<row>/<column>; chunks of pure "
    "white are left out, as zarr reads the fill value 255 where no chunk is. Each level's scale "
    "is its pixel size in micrometres; the channels are named red, green and blue with their "
    "colours, so viewers show the slide in colour. The label, macrograph and thumbnail are "
    "one-level images in the groups OUT/label, OUT/macro and OUT/thumbnail. Pixels are the "
    "colour-corrected ones (sRGB), stored exactly; --quality, --metadata and --new-uids do not "
    "apply.";

// A number as JSON writes it: the shortest text that reads back as the same double.
std::string Number(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

struct Grid {
    int64_t width = 0;
    int64_t height = 0;
    int64_t chunk = 0;
    int64_t Rows() const { return (height + chunk - 1) / chunk; }
    int64_t Columns() const { return (width + chunk - 1) / chunk; }
};

std::string ArrayJson(const Grid& grid, const ChunkCodec& codec) {
    return "{\n"
           "    \"zarr_format\": 2,\n"
           "    \"shape\": [3, " +
           std::to_string(grid.height) + ", " + std::to_string(grid.width) +
           "],\n"
           "    \"chunks\": [3, " +
           std::to_string(grid.chunk) + ", " + std::to_string(grid.chunk) +
           "],\n"
           "    \"dtype\": \"|u1\",\n"
           "    \"compressor\": " +
           CompressorJson(codec) +
           ",\n"
           "    \"fill_value\": 255,\n"
           "    \"order\": \"C\",\n"
           "    \"filters\": null,\n"
           "    \"dimension_separator\": \"/\"\n"
           "}\n";
}

struct Dataset {
    std::string path;
    double scaleY = 1;
    double scaleX = 1;
};

// An image group's attributes: its multiscales (axes in micrometres when the scales are, bare
// pixels otherwise), the channels as viewers colour them, and `extra` members after.
std::string ImageJson(const std::string& name, const std::vector<Dataset>& datasets,
                      bool micrometres, const std::string& extra) {
    const std::string unit = micrometres ? ", \"unit\": \"micrometer\"" : "";
    std::string json =
        "{\n"
        "    \"multiscales\": [\n"
        "        {\n"
        "            \"version\": \"0.4\",\n"
        "            \"name\": " +
        Quoted(name) +
        ",\n"
        "            \"axes\": [\n"
        "                {\"name\": \"c\", \"type\": \"channel\"},\n"
        "                {\"name\": \"y\", \"type\": \"space\"" +
        unit +
        "},\n"
        "                {\"name\": \"x\", \"type\": \"space\"" +
        unit +
        "}\n"
        "            ],\n"
        "            \"datasets\": [\n";
    for (size_t i = 0; i < datasets.size(); ++i)
        json += "                {\"path\": " + Quoted(datasets[i].path) +
                ", \"coordinateTransformations\": [{\"type\": \"scale\", \"scale\": [1, " +
                Number(datasets[i].scaleY) + ", " + Number(datasets[i].scaleX) + "]}]}" +
                (i + 1 < datasets.size() ? ",\n" : "\n");
    json +=
        "            ]\n"
        "        }\n"
        "    ],\n"
        "    \"omero\": {\n"
        "        \"name\": " +
        Quoted(name) +
        ",\n"
        "        \"version\": \"0.4\",\n"
        "        \"rdefs\": {\"model\": \"color\"},\n"
        "        \"channels\": [\n";
    const char* const channels[3][2] = {{"red", "FF0000"}, {"green", "00FF00"}, {"blue", "0000FF"}};
    for (int c = 0; c < 3; ++c)
        json += std::string("            {\"label\": \"") + channels[c][0] + "\", \"color\": \"" +
                channels[c][1] +
                "\", \"active\": true, \"coefficient\": 1, \"family\": \"linear\", "
                "\"inverted\": false, \"window\": {\"min\": 0, \"max\": 255, \"start\": 0, "
                "\"end\": 255}}" +
                (c < 2 ? ",\n" : "\n");
    json +=
        "        ]\n"
        "    }" +
        (extra.empty() ? "" : ",\n" + extra) + "\n}\n";
    return json;
}

constexpr const char* kGroupJson = "{\n    \"zarr_format\": 2\n}\n";

bool PlanOmeZarr(const SlideExport& job, Plan* plan, std::string* error) {
    ConversionSettings settings;
    if (!ReadConversionSettings(job, &settings, error) ||
        !PlanConversion(job, settings, plan, error, TileEncoding::Rgb))
        return false;
    int64_t chunks = 0;
    for (const PlanLevel& level : plan->levels)
        chunks += level.columns * level.rows;
    const PlanLevel &top = plan->levels.front(), &bottom = plan->levels.back();
    plan->summary = job.shown + ": " + std::to_string(plan->levels.size()) + " levels from " +
                    std::to_string(top.width) + " x " + std::to_string(top.height) + " to " +
                    std::to_string(bottom.width) + " x " + std::to_string(bottom.height) +
                    " pixels, " + std::to_string(chunks) + " chunks of " +
                    std::to_string(settings.tileSize) + " pixels (" +
                    job.options->Text("compression") + ")";
    for (const AssociatedRequest& image : plan->associated)
        plan->summary += ", " + image.name;
    plan->summary += " into " + job.output;
    return true;
}

class OmeZarrWriter : public Writer {
  public:
    OmeZarrWriter(const SlideExport& job, const Plan& plan)
        : job_(job), plan_(plan), codec_(CodecNamed(job.options->Text("compression"))) {}

    bool Open(std::string* error) override {
        if (!ReadConversionSettings(job_, &settings_, error)) return false;
        if (!EnsureFolder(job_.output, error)) return false;
        // A whole image from an earlier run, being written over, is no longer whole.
        if (unlink(Path(".zgroup").c_str()) != 0 && errno != ENOENT) {
            *error = "cannot remove " + Path(".zgroup") + ": " + strerror(errno);
            return false;
        }
        for (size_t k = 0; k < plan_.levels.size(); ++k)
            if (!MakeChunkFolders(std::to_string(k), LevelGrid(k), error)) return false;
        return true;
    }

    bool PutAssociated(const AssociatedImage& image, std::string* error) override {
        const Grid grid{image.width, image.height, settings_.tileSize};
        const std::string array = image.name + "/0";
        if (!EnsureFolder(Path(image.name), error) || !MakeChunkFolders(array, grid, error))
            return false;
        NeverStop never;
        std::vector<uint8_t> planar, compressed;
        for (int64_t row = 0; row < grid.Rows(); ++row)
            for (int64_t column = 0; column < grid.Columns(); ++column) {
                const int64_t x = column * grid.chunk, y = row * grid.chunk;
                PlanarChunk(&image.rgb[static_cast<size_t>((y * image.width + x) * 3)], image.width,
                            std::min(grid.chunk, image.width - x),
                            std::min(grid.chunk, image.height - y), grid.chunk, &planar);
                if (PutChunk(ChunkPath(array, row, column), planar, never, &compressed, error) !=
                    PutResult::Written)
                    return false;
            }
        const std::vector<Dataset> datasets = {{"0", 1, 1}};
        if (!WriteText(array + "/.zarray", ArrayJson(grid, codec_), never, error) ||
            !WriteText(image.name + "/.zattrs", ImageJson(image.name, datasets, false, ""), never,
                       error) ||
            !WriteText(image.name + "/.zgroup", kGroupJson, never, error))
            return false;
        associated_.push_back(image.name);
        return true;
    }

    PutResult PutTile(const EncodedTile& tile, const Stop& stop, std::string* error) override {
        const Grid grid = LevelGrid(tile.at.level);
        const int64_t x = tile.at.column * grid.chunk, y = tile.at.row * grid.chunk;
        thread_local std::vector<uint8_t> planar, compressed;
        PlanarChunk(tile.data, tile.width, std::min(tile.width, grid.width - x),
                    std::min(tile.height, grid.height - y), grid.chunk, &planar);
        return PutChunk(ChunkPath(std::to_string(tile.at.level), tile.at.row, tile.at.column),
                        planar, stop, &compressed, error);
    }

    bool Finish(const Stop& stop, std::string* error) override {
        for (size_t k = 0; k < plan_.levels.size(); ++k)
            if (!WriteText(std::to_string(k) + "/.zarray", ArrayJson(LevelGrid(k), codec_), stop,
                           error))
                return false;
        return WriteText(".zattrs", RootJson(), stop, error) &&
               WriteText(".zgroup", kGroupJson, stop, error);
    }

  private:
    // The associated images come before any tile, when nothing can stop a file half-way.
    struct NeverStop : Stop {
        bool Requested() const override { return false; }
    };

    std::string Path(const std::string& relative) const { return job_.output + "/" + relative; }

    std::string ChunkPath(const std::string& array, int64_t row, int64_t column) const {
        return Path(array + "/0/" + std::to_string(row) + "/" + std::to_string(column));
    }

    Grid LevelGrid(size_t k) const {
        const PlanLevel& level = plan_.levels[k];
        return Grid{level.width, level.height, level.tileWidth};
    }

    // The array's folder and one per row of chunks (the channel index is always 0).
    bool MakeChunkFolders(const std::string& array, const Grid& grid, std::string* error) const {
        if (!EnsureFolder(Path(array), error) || !EnsureFolder(Path(array + "/0"), error))
            return false;
        for (int64_t row = 0; row < grid.Rows(); ++row)
            if (!EnsureFolder(Path(array + "/0/" + std::to_string(row)), error)) return false;
        return true;
    }

    PutResult PutChunk(const std::string& path, const std::vector<uint8_t>& planar,
                       const Stop& stop, std::vector<uint8_t>* compressed,
                       std::string* error) const {
        if (AllWhite(planar)) {
            // No file reads as white; one from an earlier run in its place would not.
            if (unlink(path.c_str()) != 0 && errno != ENOENT) {
                *error = "cannot remove " + path + ": " + strerror(errno);
                return PutResult::Failed;
            }
            return PutResult::Written;
        }
        if (!CompressChunk(codec_, planar, compressed, error)) return PutResult::Failed;
        return ReplaceFile(path, compressed->data(), compressed->size(), stop, error);
    }

    bool WriteText(const std::string& relative, const std::string& text, const Stop& stop,
                   std::string* error) const {
        return ReplaceFile(Path(relative), reinterpret_cast<const uint8_t*>(text.data()),
                           text.size(), stop, error) == PutResult::Written;
    }

    std::string RootJson() const {
        std::vector<Dataset> datasets;
        for (size_t k = 0; k < plan_.levels.size(); ++k) {
            Dataset dataset{std::to_string(k)};
            LevelPixelSize(job_.slide, settings_, plan_.levels[k], &dataset.scaleX,
                           &dataset.scaleY);
            datasets.push_back(dataset);
        }
        std::string images;
        for (size_t i = 0; i < associated_.size(); ++i)
            images += (i > 0 ? ", " : "") + Quoted(associated_[i]);
        const std::string extra = "    \"tarn\": {\"colorspace\": \"sRGB\", \"pixel_size\": " +
                                  Quoted(settings_.mppFromSlide ? "slide" : "given") +
                                  ", \"associated\": [" + images + "]}";
        return ImageJson(job_.name, datasets, true, extra);
    }

    const SlideExport& job_;
    const Plan& plan_;
    const ChunkCodec codec_;
    ConversionSettings settings_;
    std::vector<std::string> associated_;
};

std::unique_ptr<Writer> MakeOmeZarrWriter(const SlideExport& job, const Plan& plan) {
    return std::make_unique<OmeZarrWriter>(job, plan);
}

}  // namespace

const FormatEntry kOmeZarrFormat{
    "ome-zarr",
    kHelp,
    ConversionOptions({TextOption("compression", "zstd", "zstd|zlib",
                                  "the lossless compressor of the chunks: zstd (fast) or zlib "
                                  "(which every zarr reader knows)")}),
    OutputLayout::PerSlide,
    ".ome.zarr",
    PlanOmeZarr,
    MakeOmeZarrWriter,
};

}  // namespace tarnexport
