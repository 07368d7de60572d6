// The JPEG decoder on raw bytes: the exported decoder and the cropped tile path.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ColorCorrect/ColorTables.h"
#include "DecodeTarn.h"
#include "DecodeJpeg/JpegCodec.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tarnfuzz::PublishNeutralColours();
    // The first four bytes choose a tile size and a rectangle for the tile path.
    if (size < 4) return 0;
    const uint32_t width = 8 + data[0] % 120, height = 8 + data[1] % 120;
    const tarn::PixelRect needed{data[2] % width, data[3] % height, width / 2, height / 3};
    data += 4;
    size -= 4;

    unsigned char* pixels = nullptr;
    const int bytes = ZyDecodeJpeg(data, size, &pixels, JCS_EXT_BGR);
    if (pixels != nullptr && bytes > 0 && bytes <= (1 << 26))
        tarnfuzz::Touch(pixels, size_t(bytes));
    free(pixels);

    std::vector<uint8_t> tile(size_t{width} * height * 3);
    if (tarn::DecodeJpegBgr(data, size, width, height, needed, tile.data(), size_t{width} * 3)) {
        const uint32_t right = std::min(needed.x + needed.width, width);
        const uint32_t bottom = std::min(needed.y + needed.height, height);
        for (uint32_t row = needed.y; row < bottom; ++row)
            tarnfuzz::Touch(&tile[(size_t{row} * width + needed.x) * 3],
                            size_t{right - needed.x} * 3);
    }
    return 0;
}
