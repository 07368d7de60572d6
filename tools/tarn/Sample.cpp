// sample: writes a tissue-like slide with the test-slide writer.
#include <climits>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "Commands.h"
#include "Common.h"
#include "HevcEncoder.h"
#include "TarnWriter.h"

namespace tarncli {
namespace {

constexpr const char* kSampleHelp =
    "usage: tarn sample FILE [--columns C] [--rows R] [--layers L] [--tile-size S] [--hevc]\n"
    "                        [--empty-margin M] [--stored-tiles N]\n"
    "\n"
    "Writes a sample slide: a layer 0 picture as large as C x R tiles of 256 pixels (default\n"
    "8 x 6), cut into S x S tiles (default 256), with L layers (default 3) halving in size,\n"
    "tissue-like content, a label, a macrograph and a thumbnail. Tiles are JPEG, or HEVC with\n"
    "--hevc. With --empty-margin the first M columns and rows of layer 0's tiles are left empty,\n"
    "as a scanner leaves glass without tissue. With --stored-tiles only N tiles of layer 0 are\n"
    "stored, spread evenly from the first to the last (N >= 2 spans the whole slide), the others\n"
    "left empty.\n"
    "\n"
    "The slide may store at most 100000 tiles over all layers, and at most as many pixels as\n"
    "100000 tiles of 256 x 256: larger ones would take hours to write. Empty tiles do not\n"
    "count.\n";

// The header's compression type of HEVC tiles (0 is JPEG).
constexpr uint32_t kHevcCompression = 4;

// Bounds that keep a sample to minutes: the writer renders and encodes some 50 to 100 JPEG tiles
// of 256 x 256 a second on one core, HEVC tiles a third as fast.
constexpr uint64_t kMaxTiles = 100000;
constexpr uint64_t kMaxPixels = kMaxTiles * 256 * 256;

// False with a message when the slide would take hours to write.
bool SmallEnough(const tarnwriter::SlideSpec& spec, std::string* error) {
    uint64_t tiles = 0;  // stored: empty tiles cost nothing to write
    for (const tarnwriter::LayerSpec& layer : spec.layers)
        tiles += uint64_t{layer.xCount} * layer.yCount - layer.emptyTiles.size();
    const uint64_t pixels = tiles * spec.tileWidth * spec.tileHeight;
    if (tiles <= kMaxTiles && pixels <= kMaxPixels) return true;
    *error = "that sample would hold " + std::to_string(tiles) + " tiles of " +
             std::to_string(spec.tileWidth) + " x " + std::to_string(spec.tileHeight) +
             " over all layers and take hours to write; at most " + std::to_string(kMaxTiles) +
             " tiles, and at most as many pixels as " + std::to_string(kMaxTiles) +
             " tiles of 256 x 256";
    return false;
}

}  // namespace

int RunSample(int argc, char** argv) {
    Args args;
    int exitCode = 0;
    if (!ParseCommand(argc, argv, kSampleHelp,
                      {"columns", "rows", "layers", "tile-size", "empty-margin", "stored-tiles"},
                      {"hevc"}, 1, &args, &exitCode))
        return exitCode;
    long columns = 0, rows = 0, layers = 0, tileSize = 0, margin = 0, stored = 0;
    std::string error;
    if (!IntOption(args, "columns", 1, 4096, 8, &columns, &error) ||
        !IntOption(args, "rows", 1, 4096, 6, &rows, &error) ||
        !IntOption(args, "layers", 1, 16, 3, &layers, &error) ||
        !IntOption(args, "tile-size", 16, 4096, 256, &tileSize, &error) ||
        !IntOption(args, "empty-margin", 0, 4096, 0, &margin, &error) ||
        !IntOption(args, "stored-tiles", 0, 1 << 24, 0, &stored, &error)) {
        fprintf(stderr, "tarn: %s\n", error.c_str());
        return kExitUsage;
    }

    tarnwriter::SlideSpec spec = tarnwriter::SampleSpec(
        static_cast<uint32_t>(columns), static_cast<uint32_t>(rows), static_cast<uint32_t>(layers));
    if (tileSize != 256) {
        // SampleSpec lays out 256-pixel tiles; keep its picture sizes for other tile sizes.
        for (tarnwriter::LayerSpec& layer : spec.layers) {
            const uint32_t width = layer.xCount * 256 - layer.boundWidth;
            const uint32_t height = layer.yCount * 256 - layer.boundHeight;
            const auto size = static_cast<uint32_t>(tileSize);
            layer.xCount = (width + size - 1) / size;
            layer.yCount = (height + size - 1) / size;
            layer.boundWidth = layer.xCount * size - width;
            layer.boundHeight = layer.yCount * size - height;
        }
        spec.tileWidth = spec.tileHeight = static_cast<uint32_t>(tileSize);
    }
    tarnwriter::LayerSpec& base = spec.layers[0];
    const uint32_t count = base.xCount * base.yCount;
    std::vector<bool> keep(count, stored == 0);
    for (long i = 0; i < stored && i < count; ++i)
        keep[stored > 1 ? static_cast<size_t>(i * (count - 1) / (stored - 1)) : 0] = true;
    for (uint32_t row = 0; row < base.yCount; ++row)
        for (uint32_t column = 0; column < base.xCount; ++column)
            if (column < margin || row < margin || !keep[column + base.xCount * row])
                base.emptyTiles.push_back(column + base.xCount * row);
    if (!SmallEnough(spec, &error)) {
        fprintf(stderr, "tarn: %s\n", error.c_str());
        return kExitUsage;
    }
    if (args.Has("hevc")) {
        spec.compressionType = kHevcCompression;
        spec.tileEncoder = tarnwriter::HevcTiles(tarnwriter::HevcStream::Default);
    }
    try {
        tarnwriter::WriteFile(args.positional[0], tarnwriter::BuildSlide(spec).bytes);
    } catch (const std::bad_alloc&) {
        return Fail("not enough memory to build the sample");
    } catch (const std::exception& e) {
        return Fail(std::string("cannot write the sample: ") + e.what());
    }
    printf("wrote %s: %ld layers, layer 0 of %u x %u tiles of %ld x %ld pixels (%s)\n",
           args.positional[0].c_str(), layers, spec.layers[0].xCount, spec.layers[0].yCount,
           tileSize, tileSize, args.Has("hevc") ? "HEVC" : "JPEG");
    return kExitOk;
}

}  // namespace tarncli
