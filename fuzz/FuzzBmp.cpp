// BMP data: the bounded reader the thumbnail uses, and the exported reader within its contract.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "DecodeTarn.h"
#include "DecodeTarnCxx.h"
#include "FuzzSupport.h"
#include "DecodeBmp/BmpReader.h"

namespace {

// Bytes the exported reader reads for the header it is given, or 0 when it refuses such headers.
uint64_t BytesPromised(const BmpInfo& info) {
    const uint64_t n = info.biBitCount / 8;
    const uint64_t width = static_cast<uint32_t>(info.biWidth);
    const uint64_t height = static_cast<uint32_t>(info.biHeight);
    const uint64_t stride = (n * width + 3) & ~uint64_t{3};
    return 54 + stride * height;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 54) return 0;
    BmpInfo info;
    memcpy(&info, data + 14, sizeof info);
    const auto width = static_cast<uint32_t>(info.biWidth);
    const auto height = static_cast<uint32_t>(info.biHeight);
    if (uint64_t{width} * height > (1U << 24)) return 0;  // keep runs small

    uint8_t* pixels = nullptr;
    if (tarn::ReadBmpBgr(data, size, width, height, &pixels))
        tarnfuzz::Touch(pixels, size_t{width} * height * 3);
    free(pixels);

    // The exported reader trusts the header: it is only given inputs as long as it promises.
    if (BytesPromised(info) <= size) {
        BmpInfo out{};
        unsigned char* rgb = GetRgb24FromBmp(const_cast<uint8_t*>(data), &out);
        if (rgb != nullptr) tarnfuzz::Touch(rgb, size_t{width} * height * 3);
        free(rgb);
    }
    return 0;
}
