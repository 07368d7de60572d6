// Building a colour table: the correction chain evaluated for all 2^24 inputs, written in one
// pass into the packed entries and the rows behind the exported planes.
#include <sys/mman.h>

#include <cstring>
#include <new>

#include "ColorCorrect/ColorChain.h"
#include "ColorCorrect/ColorLut.h"
#include "DecodeTarn/Parallel.h"
#include "DecodeTarn/ZyCommon.h"

namespace tarn {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kPackedBytes = kLutEntries * sizeof(uint32_t);
constexpr size_t kRowBytes = 256 * 256 * kRowTripleBytes;
constexpr size_t kSecondLevelCount = 3 * 256 * 256;
constexpr size_t kTopLevelCount = 3 * 256;
constexpr size_t kStorageBytes =
    kPackedBytes + kRowBytes + (kSecondLevelCount + kTopLevelCount) * sizeof(unsigned char*);

// One anonymous mapping aligned to a huge page, so transparent huge pages can back it: the
// table is written once, and 4 KiB page faults would cost as much as the arithmetic.
bool MapStorage(ColorLut* lut) {
    const size_t size = kStorageBytes + kHugePage;
    void* raw = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return false;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    const size_t head = aligned - start;
    const size_t tail = size - head - kStorageBytes;
    if (head > 0) munmap(raw, head);
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + kStorageBytes), tail);
    madvise(reinterpret_cast<void*>(aligned), kStorageBytes, MADV_HUGEPAGE);

    auto* base = reinterpret_cast<uint8_t*>(aligned);
    lut->mapping = base;
    lut->mappingSize = kStorageBytes;
    lut->packed = reinterpret_cast<uint32_t*>(base);
    lut->rows = base + kPackedBytes;
    auto** secondLevel = reinterpret_cast<unsigned char**>(base + kPackedBytes + kRowBytes);
    auto*** topLevel = reinterpret_cast<unsigned char***>(secondLevel + kSecondLevelCount);
    for (int c = 0; c < 3; ++c)
        lut->table.plane[c] = topLevel + c * 256;
    return true;
}

// Points the exported planes of red value `r` at their rows.
void LinkPlanes(ColorLut* lut, int r) {
    auto** secondLevel = reinterpret_cast<unsigned char**>(lut->rows + kRowBytes);
    for (int c = 0; c < 3; ++c) {
        unsigned char** greens = secondLevel + (static_cast<size_t>(c) * 256 + r) * 256;
        lut->table.plane[c][r] = greens;
        for (int g = 0; g < 256; ++g)
            greens[g] = lut->rows + (static_cast<size_t>(r) * 256 + g) * kRowTripleBytes + c * 256;
    }
}

// The constants of one build.
struct Chain {
    float gains[3];
    float hsvScale[3];
    float matrix[9];
    uint8_t gamma[256];
};

// Matrix and gains for one output channel, clamped and truncated to a byte.
int MatrixByte(const Chain& chain, int c, float r, float g, float b) {
    const float* row = chain.matrix + 3 * c;
    const float x = chain.gains[c] * ((row[0] * r + row[1] * g) + row[2] * b);
    if (x < 0.0f) return 0;
    if (x > 255.0f) return 255;
    return TruncateToInt(x);
}

// Fills the entries of red value `r`.
void BuildRedSlab(const Chain& chain, ColorLut* lut, int r) {
    float hsvScale[3] = {chain.hsvScale[0], chain.hsvScale[1], chain.hsvScale[2]};
    float unit[3] = {1.0f, 1.0f, 1.0f};
    for (int g = 0; g < 256; ++g) {
        uint8_t* rows = lut->rows + (static_cast<size_t>(r) * 256 + g) * kRowTripleBytes;
        uint32_t* packed = lut->packed + ((static_cast<size_t>(r) << 16) | (g << 8));
        for (int b = 0; b < 256; ++b) {
            unsigned char in[3], out[3];
            for (int c = 0; c < 3; ++c)
                in[c] = chain.gamma[MatrixByte(chain, c, static_cast<float>(r),
                                               static_cast<float>(g), static_cast<float>(b))];
            float hsv[3];
            Rgb2Hsv(in, hsvScale, hsv);
            Hsv2Rgb(hsv, unit, out);
            rows[b] = out[0];
            rows[256 + b] = out[1];
            rows[512 + b] = out[2];
            packed[b] = out[2] | (out[1] << 8) | (static_cast<uint32_t>(out[0]) << 16);
        }
    }
}

}  // namespace

ColorLut* BuildColorLut(const ColorParams& params) {
    auto* lut = new (std::nothrow) ColorLut;
    if (lut == nullptr) return nullptr;
    if (!MapStorage(lut)) {
        delete lut;
        return nullptr;
    }
    lut->params = params;
    InitColorRangeTable(lut->table.range);

    Chain chain{};
    memcpy(chain.gains, params.gains, sizeof chain.gains);
    memcpy(chain.hsvScale, params.hsvScale, sizeof chain.hsvScale);
    memcpy(chain.matrix, params.matrix, sizeof chain.matrix);
    FillGammaTable(params.gamma, chain.gamma);

    ForEachBlock(256, [&](int64_t begin, int64_t end) {
        for (int64_t r = begin; r < end; ++r) {
            LinkPlanes(lut, static_cast<int>(r));
            BuildRedSlab(chain, lut, static_cast<int>(r));
        }
    });
    return lut;
}

void FreeColorLut(ColorLut* lut) {
    if (lut == nullptr) return;
    if (lut->mapping != nullptr) munmap(lut->mapping, lut->mappingSize);
    delete lut;
}

}  // namespace tarn
