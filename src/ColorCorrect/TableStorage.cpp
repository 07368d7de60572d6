// Where a colour table lives: one anonymous mapping holding the packed entries, the rows of the
// exported planes and the planes' pointer arrays.
#include <sys/mman.h>

#include "ColorCorrect/ColorLut.h"

namespace tarn {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kPackedBytes = kLutEntries * sizeof(uint32_t);
constexpr size_t kRowBytes = 256 * 256 * kRowTripleBytes;
constexpr size_t kSecondLevelCount = 3 * 256 * 256;
constexpr size_t kTopLevelCount = 3 * 256;
constexpr size_t kStorageBytes =
    kPackedBytes + kRowBytes + (kSecondLevelCount + kTopLevelCount) * sizeof(unsigned char*);

}  // namespace

// One anonymous mapping aligned to a huge page, so transparent huge pages can back it: the
// table is written once, and 4 KiB page faults would cost as much as the arithmetic.
bool MapLutStorage(ColorLut* lut) {
    const size_t size = kStorageBytes + kHugePage;
    void* raw = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return false;
    const size_t misalignment = reinterpret_cast<uintptr_t>(raw) % kHugePage;
    const size_t head = misalignment == 0 ? 0 : kHugePage - misalignment;
    const size_t tail = size - head - kStorageBytes;
    uint8_t* const base = static_cast<uint8_t*>(raw) + head;
    if (head > 0) munmap(raw, head);
    if (tail > 0) munmap(base + kStorageBytes, tail);
    madvise(base, kStorageBytes, MADV_HUGEPAGE);

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

void FreeColorLut(ColorLut* lut) {
    if (lut == nullptr) return;
    if (lut->mapping != nullptr) munmap(lut->mapping, lut->mappingSize);
    delete lut;
}

}  // namespace tarn
