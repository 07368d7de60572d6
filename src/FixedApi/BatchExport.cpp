// Layer 0 cut into tiles of the caller's size, each written to its own JPEG file.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "Common/Geometry.h"
#include "Core/ExportName.h"
#include "DecodeJpeg/JpegCodec.h"
#include "FixedApi/Handles.h"
#include "FixedApi/ZyCommon.h"
#include "Service/Reads.h"

namespace {

constexpr size_t kNameBytes = 256;

// Writes the whole stream to `name`; a partly written file is removed.
bool WriteTileFile(const char* name, const unsigned char* jpeg, int size) {
    FILE* file = fopen(name, "wb");
    if (file == nullptr) return false;
    const bool written = fwrite(jpeg, static_cast<size_t>(size), 1, file) == 1;
    const bool closed = fclose(file) == 0;
    if (written && closed) return true;
    unlink(name);
    return false;
}

// Where tile `index` of the export starts along an axis, as the int the region call takes; false
// when it does not fit.
bool TileStart(uint64_t index, int tile, int* start) {
    uint64_t position = 0;
    if (!tarn::CheckedMultiply(index, static_cast<uint64_t>(tile), &position) ||
        position > static_cast<uint64_t>(INT_MAX))
        return false;
    *start = static_cast<int>(position);
    return true;
}

bool ExportTiles(ZyTarnInfo* slide, const char* directory, int tileWidth, int tileHeight) {
    const tarn::FixedRead read(slide);
    if (read.status() != ZY_OK) return false;
    // A bound area larger than the grid leaves no picture to cut: only a damaged file says so.
    const tarn::LayerGeometry layer = read.layout().layers[0].grid;
    if (!layer.hasPicture()) return false;
    // Sizes of zero or less give an empty grid.
    const uint64_t columns =
        tileWidth > 0 ? tarn::TilesToCover(layer.pictureWidth(), uint64_t(tileWidth)) : 0;
    const uint64_t rows =
        tileHeight > 0 ? tarn::TilesToCover(layer.pictureHeight(), uint64_t(tileHeight)) : 0;
    for (uint64_t r = 0; r < rows; ++r) {
        for (uint64_t c = 0; c < columns; ++c) {
            int x = 0, y = 0;
            if (!TileStart(c, tileWidth, &x) || !TileStart(r, tileHeight, &y)) return false;
            // Each file holds what GetRoiSliceJpeg gives for its rectangle.
            if (tileWidth > static_cast<int>(tarn::kMaxJpegSide) ||
                tileHeight > static_cast<int>(tarn::kMaxJpegSide) ||
                tarn::CheckRegion(read.layout(), tileWidth, tileHeight, static_cast<uint32_t>(x),
                                  static_cast<uint32_t>(y), 0) != ZY_OK)
                return false;
            int size = 0;
            unsigned char* jpeg = nullptr;
            if (tarn::ExportJpeg(read.context(), 0, static_cast<uint32_t>(x),
                                 static_cast<uint32_t>(y), static_cast<uint32_t>(tileWidth),
                                 static_cast<uint32_t>(tileHeight), &jpeg,
                                 &size) != tarn::Status::Ok)
                return false;
            char name[kNameBytes];
            const int prefix = snprintf(name, sizeof name, "%s/", directory);
            const int length =
                prefix < 0 || static_cast<size_t>(prefix) >= sizeof name
                    ? -1
                    : prefix + tarn::ExportTileName(name + prefix, sizeof name - prefix,
                                                    static_cast<int64_t>(c),
                                                    static_cast<int64_t>(r), tileWidth, tileHeight);
            const bool ok = length > 0 && static_cast<size_t>(length) < sizeof name &&
                            WriteTileFile(name, jpeg, size);
            free(jpeg);
            if (!ok) return false;
        }
    }
    return true;
}

}  // namespace

int GetAllSliceJpeg(char* slidePath, char* outputDirectory, int tileWidth, int tileHeight) {
    if (slidePath == nullptr || outputDirectory == nullptr) return 0;
    ZyTarnInfo* slide = tarn::OpenFixedSlide(slidePath);
    if (slide == nullptr) return 0;
    const bool ok = ExportTiles(slide, outputDirectory, tileWidth, tileHeight);
    tarn::CloseFixedSlide(slide);
    return ok ? 1 : 0;
}
