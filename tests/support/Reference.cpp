#include "FixedApi/RecordViews.h"
#include "support/Reference.h"

#include <cstdio>
#include <cstring>

#include "ColorCorrect/ColorTables.h"
#include "HevcTestSupport.h"
#include "TarnWriter.h"

namespace tarntest {
namespace {

std::vector<uint8_t> StoredBytes(const ZyTarnInfo* slide, uint64_t offset, uint32_t size) {
    std::vector<uint8_t> bytes(size);
    FILE* file = fopen(slide->Path, "rb");
    if (file == nullptr) return {};
    const bool ok = fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 &&
                    fread(bytes.data(), 1, size, file) == size;
    fclose(file);
    return ok ? bytes : std::vector<uint8_t>{};
}

// Corrected (B', G', R') through the planes, the layout callers see.
void Correct(const ColorCorrectTable& table, uint8_t r, uint8_t g, uint8_t b, uint8_t* out) {
    const uint8_t ri = table.range[r], gi = table.range[g], bi = table.range[b];
    out[0] = table.plane[2][ri][gi][bi];
    out[1] = table.plane[1][ri][gi][bi];
    out[2] = table.plane[0][ri][gi][bi];
}

// A decoded tile, tileWidth x tileHeight corrected pixels, or empty.
Pixels DecodeTile(const ZyTarnInfo* slide, const std::vector<uint8_t>& stored,
                  const ColorCorrectTable& table) {
    const ZyPicHead& head = *slide->PicHead;
    const int tw = static_cast<int>(head.TileWidth), th = static_cast<int>(head.TileHeight);
    Pixels out(static_cast<size_t>(tw) * th * 3);
    if (head.CompressionType == ZY_COMPRESSION_JPEG) {
        int width = 0, height = 0;
        const Pixels raw = PlainJpegDecode(stored.data(), stored.size(), &width, &height);
        if (width != tw || height != th) return {};
        for (size_t i = 0; i < raw.size(); i += 3)
            Correct(table, raw[i + 2], raw[i + 1], raw[i], &out[i]);
        return out;
    }
    const hevctest::IndependentPicture picture = hevctest::DecodeIndependently(stored);
    if (!picture.ok || picture.width != tw || picture.height != th) return {};
    for (int y = 0; y < th; ++y)
        for (int x = 0; x < tw; ++x) {
            const auto rgb = hevctest::Bt601(picture.plane[0][y * picture.stride[0] + x],
                                             picture.plane[1][(y / 2) * picture.stride[1] + x / 2],
                                             picture.plane[2][(y / 2) * picture.stride[2] + x / 2]);
            Correct(table, rgb[0], rgb[1], rgb[2], &out[(static_cast<size_t>(y) * tw + x) * 3]);
        }
    return out;
}

}  // namespace

Pixels PlainJpegDecode(const uint8_t* jpeg, size_t size, int* width, int* height) {
    Pixels pixels;
    uint32_t w = 0, h = 0;
    if (!tarnwriter::DecodeJpeg(jpeg, size, &pixels, &w, &h)) pixels.clear();
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    return pixels;
}

Pixels ReferenceLayer(const ZyTarnInfo* slide, int layer) {
    const tarn::ColorLut* lut =
        tarn::AcquireColorLut(tarn::ColorParamsOf(tarn::AsCore(slide->ExtraInfo)));
    const ColorCorrectTable& table = *tarn::AsFixed(tarn::ExportedTable(lut));
    const ZyPicHead& head = *slide->PicHead;
    const ZyPicInfo& record = *slide->PicInfos[layer];
    const ZySliceInfo& tiles = *slide->SliceInfos[layer];
    const size_t tileStride = size_t{head.TileWidth} * 3, stride = tileStride * record.XCount;
    Pixels grid(stride * head.TileHeight * record.YCount, 0);
    for (uint32_t ty = 0; ty < record.YCount; ++ty)
        for (uint32_t tx = 0; tx < record.XCount; ++tx) {
            const size_t index = size_t{ty} * record.XCount + tx;
            const auto size = static_cast<int32_t>(tiles.Sizes[index]);
            Pixels tile;
            if (size <= 0)
                tile.assign(tileStride * head.TileHeight, 0xFF);
            else
                tile = DecodeTile(slide, StoredBytes(slide, tiles.Offsets[index], size), table);
            if (tile.empty()) continue;
            for (uint32_t row = 0; row < head.TileHeight; ++row)
                memcpy(&grid[(size_t{ty} * head.TileHeight + row) * stride + tx * tileStride],
                       &tile[row * tileStride], tileStride);
        }
    tarn::ReleaseColorLut(lut);
    return grid;
}

Pixels Crop(const Pixels& grid, uint32_t gridWidth, uint32_t gridHeight, uint32_t x, uint32_t y,
            uint32_t width, uint32_t height) {
    Pixels out(size_t{width} * height * 3, 0xFF);
    for (uint32_t row = 0; row < height && y + row < gridHeight; ++row)
        for (uint32_t col = 0; col < width && x + col < gridWidth; ++col)
            memcpy(&out[(size_t{row} * width + col) * 3],
                   &grid[((size_t{y} + row) * gridWidth + x + col) * 3], 3);
    return out;
}

}  // namespace tarntest
