// The HEVC decoder on raw bytes.
#include <cstdint>
#include <vector>

#include "ColorCorrect/ColorTables.h"
#include "DecodeHevc/HevcDecoder.h"
#include "DecodeTarn.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tarnfuzz::PublishNeutralColours();
    // The first two bytes choose the tile size the stream must have.
    if (size < 2) return 0;
    const int width = 16 + data[0] % 240, height = 16 + data[1] % 240;
    data += 2;
    size -= 2;

    std::vector<uint8_t> out(size_t(width) * height * 4);
    if (DecodeHevc(data, width, height, static_cast<int>(size), out.data(), CS_BGRA) > 0)
        tarnfuzz::Touch(out.data(), out.size());

    tarn::YuvView picture;
    if (tarn::DecodeHevcPicture(data, size, width, height, &picture)) {
        std::vector<uint8_t> part(size_t(width / 2) * (height / 2) * 3);
        const tarn::PinnedGlobalTable table;
        tarn::ConvertYuvRect(picture, table.lookup(), width / 3, height / 4, width / 2, height / 2,
                             tarn::PackedLayout::Bgr24, part.data(), size_t(width / 2) * 3);
        tarnfuzz::Touch(part.data(), part.size());
    }
    return 0;
}
