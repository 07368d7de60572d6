// Layer 0 cut into tiles of the caller's size, each written to its own JPEG file.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "DecodeTarn/ZyCommon.h"

namespace {

constexpr size_t kNameBytes = 256;

// Tiles needed to cover `picture` pixels; an empty grid for sizes of zero or less.
int TileCount(uint32_t picture, int tile) {
    if (tile <= 0) return 0;
    return static_cast<int>((uint64_t{picture} + static_cast<uint64_t>(tile) - 1) /
                            static_cast<uint64_t>(tile));
}

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

bool ExportTiles(ZyTarnInfo* slide, const char* directory, int tileWidth, int tileHeight) {
    const ZyPicInfo& layer = *slide->PicInfos[0];
    const uint32_t pictureWidth = layer.XCount * slide->PicHead->TileWidth - layer.BoundWidth;
    const uint32_t pictureHeight = layer.YCount * slide->PicHead->TileHeight - layer.BoundHeight;
    const int columns = TileCount(pictureWidth, tileWidth);
    const int rows = TileCount(pictureHeight, tileHeight);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            int size = 0;
            unsigned char* jpeg = GetRoiSliceJpeg(slide, 0, c * tileWidth, r * tileHeight,
                                                  tileWidth, tileHeight, &size);
            if (jpeg == nullptr) return false;
            char name[kNameBytes];
            const int length = snprintf(name, sizeof name, "%s/%d_%d_%d_%d.jpeg", directory, c, r,
                                        tileWidth, tileHeight);
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
    ZyTarnInfo* slide = ZyOpenTarn(slidePath);
    if (slide == nullptr) return 0;
    const bool ok = ExportTiles(slide, outputDirectory, tileWidth, tileHeight);
    ZyCloseTarn(slide);
    return ok ? 1 : 0;
}
