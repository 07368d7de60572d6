// info, tile, region and image, over tarn.h, for slide files and URLs alike.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Commands.h"
#include "Common.h"
#include "ImageFiles.h"
#include "util/Names.h"

namespace tarncli {

bool ParseCommand(int argc, char** argv, const char* help, const std::vector<std::string>& valued,
                  const std::vector<std::string>& flags, size_t positional, Args* args,
                  int* exitCode) {
    return ParseCommandRange(argc, argv, help, valued, flags, positional, positional, args,
                             exitCode);
}

bool ParseCommandRange(int argc, char** argv, const char* help,
                       const std::vector<std::string>& valued,
                       const std::vector<std::string>& flags, size_t least, size_t most, Args* args,
                       int* exitCode) {
    std::vector<std::string> allFlags = flags;
    allFlags.emplace_back("help");
    std::string error;
    if (!ParseArgs(argc, argv, valued, allFlags, args, &error)) {
        fprintf(stderr, "tarn: %s\n\n%s", error.c_str(), help);
        *exitCode = kExitUsage;
        return false;
    }
    if (args->Has("help")) {
        fputs(help, stdout);
        *exitCode = kExitOk;
        return false;
    }
    const size_t given = args->positional.size();
    if (given < least || given > most) {
        fprintf(stderr, "tarn: expected %s%zu argument%s, got %zu\n\n%s",
                least == most   ? ""
                : given < least ? "at least "
                                : "at most ",
                given < least ? least : most, (given < least ? least : most) == 1 ? "" : "s", given,
                help);
        *exitCode = kExitUsage;
        return false;
    }
    return true;
}

bool IsUrl(const std::string& name) {
    return tarn::IsUrl(name);
}

std::string Shown(const std::string& name) {
    return tarn::ShownName(name);
}

std::string SlideName(const std::string& path) {
    return tarn::SlideStem(path);
}

int Fail(const std::string& message) {
    fprintf(stderr, "tarn: %s\n", message.c_str());
    return kExitFailed;
}

Slide::Slide(const std::string& path) : slide_(tarn_open(path.c_str())) {
    if (slide_ != nullptr) return;
    const char* why = tarn_get_error(nullptr);
    failure_ = why != nullptr ? why : "cannot open " + Shown(path);
    if (IsUrl(path)) return;
    // What the path names is told from the file system itself, whatever the library said.
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        failure_ = "cannot open " + path + ": " + strerror(errno);
    else if (S_ISDIR(status.st_mode))
        failure_ = path + " is a directory, not a slide";
    else if (!S_ISREG(status.st_mode))
        failure_ = path + " is not a regular file";
}

std::string Slide::Why() const {
    const char* why = tarn_get_error(slide_);
    return why != nullptr ? why : "unknown failure";
}

namespace {

struct LibraryFree {
    void operator()(uint8_t* buffer) const { tarn_free(buffer); }
};
using LibraryBuffer = std::unique_ptr<uint8_t, LibraryFree>;

int Wrote(const std::string& path, int64_t width, int64_t height) {
    printf("wrote %s (%lld x %lld)\n", path.c_str(), static_cast<long long>(width),
           static_cast<long long>(height));
    return kExitOk;
}

// Writes RGB pixels as the output's extension says.
int WritePixels(const std::string& path, const std::vector<uint8_t>& rgb, int64_t width,
                int64_t height) {
    std::string error;
    if (!WritePicture(path, rgb.data(), static_cast<int>(width), static_cast<int>(height), &error))
        return Fail(error);
    return Wrote(path, width, height);
}

bool OutputPath(const Args& args, const char* help, std::string* path, int* exitCode) {
    const std::optional<std::string> out = args.Option("output");
    if (!out || FormatOf(*out) == FileFormat::Unknown) {
        fprintf(stderr, "tarn: --output must name a .jpg, .jpeg or .png file\n\n%s", help);
        *exitCode = kExitUsage;
        return false;
    }
    *path = *out;
    return true;
}

constexpr const char* kUrlNote =
    "SLIDE may be a URL: http://, https:// or s3://BUCKET/KEY (see the README for credentials).\n";

constexpr const char* kInfoHelp =
    "usage: tarn info SLIDE [--properties]\n"
    "\n"
    "Shows the slide's description (compression, resolution, tile size, associated image sizes)\n"
    "and the tile grid of every layer. With --properties, shows instead every property as\n"
    "tarn.h and the Python package name it: the slide's fields under tarn. names and OpenSlide's\n"
    "standard ones (openslide.mpp-x, openslide.level[0].downsample, ...).\n"
    "\n";

constexpr const char* kTileHelp =
    "usage: tarn tile SLIDE --layer L --column C --row R --output FILE\n"
    "\n"
    "Writes tile (C, R) of layer L's stored grid. A .jpg output of a JPEG slide holds the tile's\n"
    "bytes as stored; of an HEVC slide (or a tile the slide leaves empty), its decoded pixels\n"
    "encoded at quality 75. A .png output holds its colour-corrected pixels.\n"
    "\n";

constexpr const char* kRegionHelp =
    "usage: tarn region SLIDE --layer L --x X --y Y --width W --height H --output FILE\n"
    "\n"
    "Writes the W x H rectangle at (X, Y) of layer L, in layer pixels, as JPEG (quality 75) or\n"
    "PNG. The origin must lie inside the layer's tile grid and the size must not exceed it; the\n"
    "rectangle may reach past the layer's picture at the right and bottom, and that part is\n"
    "white (the margin of the tile grid past the picture included).\n"
    "\n";

constexpr const char* kImageHelp =
    "usage: tarn image SLIDE label|macrograph|thumbnail --output FILE\n"
    "\n"
    "Writes an associated image. A .jpg output of the label or macrograph holds the stored JPEG\n"
    "bytes; the thumbnail is encoded anew (quality 75). A .png output holds the decoded pixels.\n"
    "\n";

// A command's help with the note on URLs, which every command takes.
std::string Help(const char* text) {
    return std::string(text) + kUrlNote;
}

int PrintProperties(const std::string& path) {
    const Slide slide(path);
    if (!slide) return Fail(slide.Failure());
    const char* const* names = tarn_get_property_names(slide.get());
    for (size_t i = 0; names != nullptr && names[i] != nullptr; ++i)
        printf("%s = %s\n", names[i], tarn_get_property_value(slide.get(), names[i]));
    return kExitOk;
}

// The slide's description and each layer's grid, from the tarn.* properties, which carry the
// slide's fields under the description's names and with its texts.
int PrintDescription(const std::string& path) {
    static const char* const kSlideKeys[] = {
        "CompressionType", "Quality",     "MPP",        "AppMag",     "ImageWidth", "ImageHeight",
        "TileWidth",       "TileHeight",  "Layer",      "Ratio",      "ThumbWidth", "ThumbHeight",
        "LabelWidth",      "LabelHeight", "MacroWidth", "MacroHeight"};
    static const char* const kLayerKeys[] = {"LayerWidth",  "LayerHeight", "BoundWidth",
                                             "BoundHeight", "XCount",      "YCount"};
    const Slide slide(path);
    if (!slide) return Fail(slide.Failure());
    auto print = [&](const std::string& prefix, const char* key) {
        const char* value = tarn_get_property_value(slide.get(), (prefix + key).c_str());
        printf("  %-16s %s\n", key, value != nullptr ? value : "");
    };
    printf("%s\n", Shown(path).c_str());
    for (const char* key : kSlideKeys)
        print("tarn.", key);
    for (int32_t layer = 0; layer < tarn_get_level_count(slide.get()); ++layer) {
        printf("layer %d\n", layer);
        for (const char* key : kLayerKeys)
            print("tarn.layer[" + std::to_string(layer) + "].", key);
    }
    return kExitOk;
}

struct TileGrid {
    int64_t tileWidth = -1, tileHeight = -1, columns = -1, rows = -1;
};

// The layer's stored grid; false when the slide has no such layer.
bool GridOf(const Slide& slide, int layer, TileGrid* grid) {
    return tarn_get_level_tile_grid(slide.get(), layer, &grid->tileWidth, &grid->tileHeight,
                                    &grid->columns, &grid->rows) == 0;
}

}  // namespace

int RunInfo(int argc, char** argv) {
    Args args;
    int exitCode = 0;
    const std::string help = Help(kInfoHelp);
    if (!ParseCommand(argc, argv, help.c_str(), {}, {"properties"}, 1, &args, &exitCode))
        return exitCode;
    if (args.Has("properties")) return PrintProperties(args.positional[0]);
    return PrintDescription(args.positional[0]);
}

int RunTile(int argc, char** argv) {
    Args args;
    int exitCode = 0;
    const std::string help = Help(kTileHelp);
    if (!ParseCommand(argc, argv, help.c_str(), {"layer", "column", "row", "output"}, {}, 1, &args,
                      &exitCode))
        return exitCode;
    long layer = 0, column = 0, row = 0;
    std::string error, path;
    if (!IntOption(args, "layer", 0, INT_MAX, 0, &layer, &error) ||
        !IntOption(args, "column", 0, INT_MAX, 0, &column, &error) ||
        !IntOption(args, "row", 0, INT_MAX, 0, &row, &error)) {
        fprintf(stderr, "tarn: %s\n", error.c_str());
        return kExitUsage;
    }
    if (!OutputPath(args, help.c_str(), &path, &exitCode)) return exitCode;
    const Slide slide(args.positional[0]);
    if (!slide) return Fail(slide.Failure());

    const auto l = static_cast<int32_t>(layer);
    const std::string what = "cannot read tile " + std::to_string(column) + "," +
                             std::to_string(row) + " of layer " + std::to_string(l);
    TileGrid grid;
    if (!GridOf(slide, l, &grid)) return Fail(what + " (no such layer)");
    if (column >= grid.columns || row >= grid.rows)
        return Fail(what + " (its grid is " + std::to_string(grid.columns) + " x " +
                    std::to_string(grid.rows) + " tiles)");
    // A JPEG slide's stored tile is the JPEG; a tile it leaves empty has no bytes to show.
    if (FormatOf(path) == FileFormat::Jpeg && tarn_get_tile_codec(slide.get()) == TARN_CODEC_JPEG) {
        uint8_t* bytes = nullptr;
        size_t size = 0;
        if (tarn_read_stored_tile(slide.get(), l, column, row, &bytes, &size) != 0)
            return Fail(what + ": " + slide.Why());
        const LibraryBuffer stored(bytes);
        if (stored) {
            if (!WriteBytes(path, stored.get(), size, &error)) return Fail(error);
            return Wrote(path, grid.tileWidth, grid.tileHeight);
        }
    }
    std::vector<uint8_t> rgb(static_cast<size_t>(grid.tileWidth * grid.tileHeight * 3));
    if (tarn_read_tile(slide.get(), l, column, row, rgb.data(), TARN_FORMAT_RGB) != 0)
        return Fail(what + ": " + slide.Why());
    return WritePixels(path, rgb, grid.tileWidth, grid.tileHeight);
}

int RunRegion(int argc, char** argv) {
    Args args;
    int exitCode = 0;
    const std::string help = Help(kRegionHelp);
    if (!ParseCommand(argc, argv, help.c_str(), {"layer", "x", "y", "width", "height", "output"},
                      {}, 1, &args, &exitCode))
        return exitCode;
    long layer = 0, x = 0, y = 0, width = 0, height = 0;
    std::string error, path;
    if (!IntOption(args, "layer", 0, INT_MAX, 0, &layer, &error) ||
        !IntOption(args, "x", 0, INT_MAX, 0, &x, &error) ||
        !IntOption(args, "y", 0, INT_MAX, 0, &y, &error) ||
        !IntOption(args, "width", 1, 65500, 512, &width, &error) ||
        !IntOption(args, "height", 1, 65500, 512, &height, &error)) {
        fprintf(stderr, "tarn: %s\n", error.c_str());
        return kExitUsage;
    }
    if (!OutputPath(args, help.c_str(), &path, &exitCode)) return exitCode;
    const Slide slide(args.positional[0]);
    if (!slide) return Fail(slide.Failure());

    const auto l = static_cast<int32_t>(layer);
    const std::string what = "cannot read that region of layer " + std::to_string(l);
    TileGrid grid;
    if (!GridOf(slide, l, &grid)) return Fail(what + ": the slide has no such layer");
    const int64_t gridWidth = grid.columns * grid.tileWidth;
    const int64_t gridHeight = grid.rows * grid.tileHeight;
    if (x >= gridWidth || y >= gridHeight || width > gridWidth || height > gridHeight)
        return Fail(what +
                    ": the origin must lie inside the layer and the size must not exceed it");
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    if (tarn_read_level_region(slide.get(), rgb.data(), l, x, y, width, height, TARN_FORMAT_RGB) !=
        0)
        return Fail(what + ": " + slide.Why());
    return WritePixels(path, rgb, width, height);
}

int RunImage(int argc, char** argv) {
    Args args;
    int exitCode = 0;
    const std::string help = Help(kImageHelp);
    if (!ParseCommand(argc, argv, help.c_str(), {"output"}, {}, 2, &args, &exitCode))
        return exitCode;
    const std::string which = args.positional[1];
    if (which != "label" && which != "macrograph" && which != "thumbnail") {
        fprintf(stderr, "tarn: the image is label, macrograph or thumbnail, not '%s'\n\n%s",
                which.c_str(), help.c_str());
        return kExitUsage;
    }
    std::string path, error;
    if (!OutputPath(args, help.c_str(), &path, &exitCode)) return exitCode;
    const Slide slide(args.positional[0]);
    if (!slide) return Fail(slide.Failure());

    const char* name = which == "macrograph" ? "macro" : which.c_str();
    int64_t width = -1, height = -1;
    tarn_get_associated_image_dimensions(slide.get(), name, &width, &height);
    if (width <= 0 || height <= 0)
        return Fail("the slide has no " + which + " that can be shown (absent or not decodable)");
    // The label and macrograph are stored as JPEGs: those bytes are the .jpg.
    if (FormatOf(path) == FileFormat::Jpeg && which != "thumbnail") {
        uint8_t* bytes = nullptr;
        size_t size = 0;
        tarn_codec codec = TARN_CODEC_UNKNOWN;
        if (tarn_read_associated_image_stored(slide.get(), name, &bytes, &size, &codec) != 0)
            return Fail("cannot read the " + which + ": " + slide.Why());
        const LibraryBuffer stored(bytes);
        if (codec == TARN_CODEC_JPEG) {
            if (!WriteBytes(path, stored.get(), size, &error)) return Fail(error);
            return Wrote(path, width, height);
        }
    }
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    if (tarn_read_associated_image(slide.get(), name, rgb.data(), TARN_FORMAT_RGB) != 0)
        return Fail("cannot read the " + which + ": " + slide.Why());
    return WritePixels(path, rgb, width, height);
}

}  // namespace tarncli
