// info, tile, region and image.
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <memory>
#include <sstream>

#include "Commands.h"
#include "Common.h"
#include "ImageFiles.h"

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
    const size_t colon = name.find("://");
    if (colon == std::string::npos) return false;
    std::string scheme = name.substr(0, colon);
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "http" || scheme == "https" || scheme == "s3";
}

std::string Shown(const std::string& name) {
    if (!IsUrl(name)) return name;
    std::string shown = name.substr(0, name.find_first_of("?#"));
    const size_t authority = shown.find("://") + 3;
    const size_t path = shown.find('/', authority);
    const size_t at = shown.rfind('@', path == std::string::npos ? std::string::npos : path);
    if (at != std::string::npos && at >= authority) shown.erase(authority, at + 1 - authority);
    return shown;
}

std::string SlideName(const std::string& path) {
    const std::string shown = Shown(path);
    std::string name = shown.substr(shown.find_last_of('/') + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            c = '_';
    if (name.find_first_not_of('.') == std::string::npos) name = "slide";  // "", ".", ".."
    return name;
}

int Fail(const std::string& message) {
    fprintf(stderr, "tarn: %s\n", message.c_str());
    return kExitFailed;
}

std::string Slide::Failure() const {
    if (IsUrl(path_))
        return "this command reads slide files, not URLs (" + Shown(path_) +
               "); info, region, export and serve read URLs";
    if (error_ == ENOMEM) return "not enough memory to open " + path_;
    // What the path names is told from the file system itself, whatever the library said.
    struct stat status {};
    if (stat(path_.c_str(), &status) != 0) return "cannot open " + path_ + ": " + strerror(errno);
    if (S_ISDIR(status.st_mode)) return path_ + " is a directory, not a slide";
    if (!S_ISREG(status.st_mode)) return path_ + " is not a regular file";
    // A regular file that no system call failed on: its content is at fault.
    if (error_ == EINVAL || error_ == 0)
        return path_ + " is not a readable Tarn slide (damaged or another format)";
    return "cannot read " + path_ + ": " + strerror(error_);
}

namespace {

using Buffer = std::unique_ptr<unsigned char, void (*)(void*)>;

Buffer Own(unsigned char* p) {
    return Buffer(p, Dispose);
}

// Splits "key=value|key=value" into lines.
void PrintPairs(const char* text, const char* indent) {
    std::stringstream stream(text);
    std::string pair;
    while (std::getline(stream, pair, '|')) {
        const size_t equals = pair.find('=');
        printf("%s%-16s %s\n", indent, pair.substr(0, equals).c_str(),
               equals == std::string::npos ? "" : pair.substr(equals + 1).c_str());
    }
}

// Writes a JPEG stream as it is, or its decoded pixels as PNG.
int WriteOutput(const std::string& path, Buffer jpeg, int jpegSize, Buffer pixels, int width,
                int height, int channels) {
    std::string error;
    const bool ok = FormatOf(path) == FileFormat::Jpeg
                        ? WriteBytes(path, jpeg.get(), static_cast<size_t>(jpegSize), &error)
                        : WritePng(path, pixels.get(), width, height, channels, &error);
    if (!ok) return Fail(error);
    printf("wrote %s (%d x %d)\n", path.c_str(), width, height);
    return kExitOk;
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

constexpr const char* kInfoHelp =
    "usage: tarn info SLIDE [--properties]\n"
    "\n"
    "Shows the slide's description (compression, resolution, tile size, associated image sizes)\n"
    "and the tile grid of every layer. With --properties, shows instead every property as\n"
    "tarn.h and the Python package name it: the slide's fields under tarn. names and OpenSlide's\n"
    "standard ones (openslide.mpp-x, openslide.level[0].downsample, ...).\n"
    "\n"
    "SLIDE may be a URL: http://, https:// or s3://BUCKET/KEY (see the README for credentials).\n";

constexpr const char* kTileHelp =
    "usage: tarn tile SLIDE --layer L --column C --row R --output FILE\n"
    "\n"
    "Writes tile (C, R) of layer L. A .jpg output holds the tile's JPEG as the library hands it\n"
    "out (the stored bytes of a JPEG slide); a .png output holds its colour-corrected pixels.\n";

constexpr const char* kRegionHelp =
    "usage: tarn region SLIDE --layer L --x X --y Y --width W --height H --output FILE\n"
    "\n"
    "Writes the W x H rectangle at (X, Y) of layer L, in layer pixels, as JPEG (quality 75) or\n"
    "PNG. The rectangle may reach past the layer's right and bottom edge; that part is white.\n"
    "\n"
    "SLIDE may be a URL (http://, https://, s3://BUCKET/KEY), read through tarn.h: the same\n"
    "pixels, except that the margin of the layer's tile grid past its picture is white too.\n";

constexpr const char* kImageHelp =
    "usage: tarn image SLIDE label|macrograph|thumbnail --output FILE\n"
    "\n"
    "Writes an associated image. A .jpg output of the label or macrograph holds the stored JPEG\n"
    "bytes; the thumbnail is encoded anew. A .png output holds the decoded pixels.\n";

}  // namespace

namespace {

int PrintProperties(const std::string& path) {
    const ModernSlide slide(path);
    if (!slide) return Fail(slide.Failure());
    const char* const* names = tarn_get_property_names(slide.get());
    for (size_t i = 0; names != nullptr && names[i] != nullptr; ++i)
        printf("%s = %s\n", names[i], tarn_get_property_value(slide.get(), names[i]));
    return kExitOk;
}

// The fixed interface's description printed from tarn.h's properties, which carry its fields
// with the same texts: what `info` shows for a URL.
int PrintDescription(const std::string& url) {
    static const char* const kSlideKeys[] = {
        "CompressionType", "Quality",     "MPP",        "AppMag",     "ImageWidth", "ImageHeight",
        "TileWidth",       "TileHeight",  "Layer",      "Ratio",      "ThumbWidth", "ThumbHeight",
        "LabelWidth",      "LabelHeight", "MacroWidth", "MacroHeight"};
    static const char* const kLayerKeys[] = {"LayerWidth",  "LayerHeight", "BoundWidth",
                                             "BoundHeight", "XCount",      "YCount"};
    const ModernSlide slide(url);
    if (!slide) return Fail(slide.Failure());
    auto print = [&](const std::string& prefix, const char* key) {
        const char* value = tarn_get_property_value(slide.get(), (prefix + key).c_str());
        printf("  %-16s %s\n", key, value != nullptr ? value : "");
    };
    printf("%s\n", Shown(url).c_str());
    for (const char* key : kSlideKeys)
        print("tarn.", key);
    for (int32_t layer = 0; layer < tarn_get_level_count(slide.get()); ++layer) {
        printf("layer %d\n", layer);
        for (const char* key : kLayerKeys)
            print("tarn.layer[" + std::to_string(layer) + "].", key);
    }
    return kExitOk;
}

// Whether the region lies where the fixed interface reads regions: its origin inside the layer's
// tile grid, its size not larger than the grid.
bool InsideGrid(tarn_slide* slide, int layer, long x, long y, int width, int height) {
    const std::string prefix = "tarn.layer[" + std::to_string(layer) + "].";
    const char* gridWidth = tarn_get_property_value(slide, (prefix + "LayerWidth").c_str());
    const char* gridHeight = tarn_get_property_value(slide, (prefix + "LayerHeight").c_str());
    return gridWidth != nullptr && gridHeight != nullptr && x < atol(gridWidth) &&
           y < atol(gridHeight) && width <= atol(gridWidth) && height <= atol(gridHeight);
}

// The level-0 coordinate that maps to `at` on a level of `downsample` (tarn_read_region rounds
// down).
int64_t Level0(long at, double downsample) {
    auto value = static_cast<int64_t>(std::llround(static_cast<double>(at) * downsample));
    while (value > 0 &&
           static_cast<int64_t>(std::floor(static_cast<double>(value) / downsample)) > at)
        --value;
    while (static_cast<int64_t>(std::floor(static_cast<double>(value) / downsample)) < at)
        ++value;
    return value;
}

// `region` for a URL, read through tarn.h: the same output as for a file, but for the margin of
// the grid past the picture, which tarn.h shows as outside (white).
int RegionFromUrl(const std::string& url, const std::string& path, int layer, long x, long y,
                  int width, int height) {
    const ModernSlide slide(url);
    if (!slide) return Fail(slide.Failure());
    const std::string what = "cannot read that region of layer " + std::to_string(layer);
    if (!InsideGrid(slide.get(), layer, x, y, width, height))
        return Fail(what +
                    ": the origin must lie inside the layer and the size must not exceed it");
    const double downsample = tarn_get_level_downsample(slide.get(), layer);
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    if (tarn_read_region(slide.get(), pixels.data(), Level0(x, downsample), Level0(y, downsample),
                         layer, width, height, TARN_FORMAT_BGR) != 0) {
        const char* why = tarn_get_error(slide.get());
        return Fail(what + ": " + (why != nullptr ? why : "unknown failure"));
    }
    std::string error;
    if (FormatOf(path) != FileFormat::Jpeg) {
        if (!WritePng(path, pixels.data(), width, height, 3, &error)) return Fail(error);
    } else {
        unsigned char* jpeg = nullptr;
        const int size = ZyEncodeJpeg(pixels.data(), &jpeg, 75, static_cast<unsigned>(width),
                                      static_cast<unsigned>(height), JCS_EXT_BGR);
        if (size <= 0) return Fail("the JPEG encoder failed");
        const bool written = WriteBytes(path, jpeg, static_cast<size_t>(size), &error);
        free(jpeg);
        if (!written) return Fail(error);
    }
    printf("wrote %s (%d x %d)\n", path.c_str(), width, height);
    return kExitOk;
}

}  // namespace

int RunInfo(int argc, char** argv) {
    Args args;
    int exitCode = 0;
    if (!ParseCommand(argc, argv, kInfoHelp, {}, {"properties"}, 1, &args, &exitCode))
        return exitCode;
    if (args.Has("properties")) return PrintProperties(args.positional[0]);
    if (IsUrl(args.positional[0])) return PrintDescription(args.positional[0]);
    const Slide slide(args.positional[0]);
    if (!slide) return Fail(slide.Failure());
    char* description = GetDescription(slide.get());
    if (description == nullptr) return Fail("the slide's header cannot be described");
    printf("%s\n", args.positional[0].c_str());
    PrintPairs(description, "  ");
    Dispose(description);
    for (int layer = 0;; ++layer) {
        char* info = GetLayerInfo(slide.get(), layer);
        if (info == nullptr) break;
        printf("layer %d\n", layer);
        PrintPairs(info, "  ");
        Dispose(info);
    }
    return kExitOk;
}

int RunTile(int argc, char** argv) {
    Args args;
    int exitCode = 0;
    if (!ParseCommand(argc, argv, kTileHelp, {"layer", "column", "row", "output"}, {}, 1, &args,
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
    if (!OutputPath(args, kTileHelp, &path, &exitCode)) return exitCode;
    const Slide slide(args.positional[0]);
    if (!slide) return Fail(slide.Failure());

    const int l = static_cast<int>(layer), c = static_cast<int>(column), r = static_cast<int>(row);
    int width = 0, height = 0, size = 0;
    Buffer jpeg = Own(nullptr), pixels = Own(nullptr);
    if (FormatOf(path) == FileFormat::Jpeg)
        jpeg = Own(GetSliceJpeg(slide.get(), l, c, r, &width, &height, &size));
    else
        pixels = Own(GetSliceBgr(slide.get(), l, c, r, &width, &height));
    if (!jpeg && !pixels) {
        char* info = GetLayerInfo(slide.get(), l);
        const std::string where =
            info != nullptr ? std::string(" (") + info + ")" : " (no such layer)";
        Dispose(info);
        return Fail("cannot read tile " + std::to_string(c) + "," + std::to_string(r) +
                    " of layer " + std::to_string(l) + where);
    }
    return WriteOutput(path, std::move(jpeg), size, std::move(pixels), width, height, 3);
}

int RunRegion(int argc, char** argv) {
    Args args;
    int exitCode = 0;
    if (!ParseCommand(argc, argv, kRegionHelp, {"layer", "x", "y", "width", "height", "output"}, {},
                      1, &args, &exitCode))
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
    if (!OutputPath(args, kRegionHelp, &path, &exitCode)) return exitCode;
    const int l = static_cast<int>(layer), w = static_cast<int>(width),
              h = static_cast<int>(height);
    if (IsUrl(args.positional[0])) return RegionFromUrl(args.positional[0], path, l, x, y, w, h);
    const Slide slide(args.positional[0]);
    if (!slide) return Fail(slide.Failure());

    int size = 0;
    Buffer jpeg = Own(nullptr), pixels = Own(nullptr);
    if (FormatOf(path) == FileFormat::Jpeg)
        jpeg = Own(
            GetRoiSliceJpeg(slide.get(), l, static_cast<int>(x), static_cast<int>(y), w, h, &size));
    else
        pixels =
            Own(GetRoiSliceBgr(slide.get(), l, static_cast<int>(x), static_cast<int>(y), w, h));
    if (!jpeg && !pixels)
        return Fail("cannot read that region of layer " + std::to_string(l) +
                    ": the origin must lie inside the layer, the size must not exceed it, and "
                    "every tile under it must decode");
    return WriteOutput(path, std::move(jpeg), size, std::move(pixels), w, h, 3);
}

int RunImage(int argc, char** argv) {
    Args args;
    int exitCode = 0;
    if (!ParseCommand(argc, argv, kImageHelp, {"output"}, {}, 2, &args, &exitCode)) return exitCode;
    const std::string which = args.positional[1];
    if (which != "label" && which != "macrograph" && which != "thumbnail") {
        fprintf(stderr, "tarn: the image is label, macrograph or thumbnail, not '%s'\n\n%s",
                which.c_str(), kImageHelp);
        return kExitUsage;
    }
    std::string path;
    if (!OutputPath(args, kImageHelp, &path, &exitCode)) return exitCode;
    const Slide slide(args.positional[0]);
    if (!slide) return Fail(slide.Failure());

    int width = 0, height = 0, size = 0;
    Buffer jpeg = Own(nullptr), pixels = Own(nullptr);
    const bool asJpeg = FormatOf(path) == FileFormat::Jpeg;
    if (which == "label")
        (asJpeg ? jpeg : pixels) = Own(asJpeg ? GetLabelJpeg(slide.get(), &width, &height, &size)
                                              : GetLabelAbgr(slide.get(), &width, &height));
    else if (which == "macrograph")
        (asJpeg ? jpeg : pixels) =
            Own(asJpeg ? GetMacrographJpeg(slide.get(), &width, &height, &size)
                       : GetMacrographAbgr(slide.get(), &width, &height));
    else
        (asJpeg ? jpeg : pixels) =
            Own(asJpeg ? GetThumbnailJpeg(slide.get(), &width, &height, &size)
                       : GetThumbnailAbgr(slide.get(), &width, &height));
    if (!jpeg && !pixels)
        return Fail("the slide has no " + which + " that can be shown (absent or not decodable)");
    return WriteOutput(path, std::move(jpeg), size, std::move(pixels), width, height, 4);
}

}  // namespace tarncli
