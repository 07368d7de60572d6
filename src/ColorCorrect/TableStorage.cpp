// Where a colour table lives in memory. A built table is one anonymous mapping holding the packed
// entries, the rows of the exported planes and the planes' pointer arrays; a table mapped from
// the folder keeps only its pointer arrays in private memory, and only once they are asked for.
#include <sys/mman.h>

#include <cstdlib>

#include "ColorCorrect/ColorLut.h"

namespace tarn {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kStorageBytes = kLutBodyBytes + kPointerArrayBytes;
static_assert(kPointerArrayBytes <= kHugePage);

// Points the three top arrays, which follow the green arrays at `arrays`, into place.
void PlacePointerArrays(ColorLut* lut, void* arrays) {
    lut->secondLevel = static_cast<unsigned char**>(arrays);
    auto*** topLevel = reinterpret_cast<unsigned char***>(lut->secondLevel + kSecondLevelCount);
    for (int c = 0; c < 3; ++c)
        lut->table.plane[c] = topLevel + c * 256;
}

// An anonymous mapping of `size` bytes aligned to a huge page, so that transparent huge pages
// can back it: a table is written once, and 4 KiB page faults would cost as much as the
// arithmetic. Null when memory runs out.
void* MapAligned(size_t size) {
    const size_t span = size + kHugePage;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const size_t misalignment = reinterpret_cast<uintptr_t>(raw) % kHugePage;
    const size_t head = misalignment == 0 ? 0 : kHugePage - misalignment;
    const size_t tail = span - head - size;
    uint8_t* const base = static_cast<uint8_t*>(raw) + head;
    if (head > 0) munmap(raw, head);
    if (tail > 0) munmap(base + size, tail);
    madvise(base, size, MADV_HUGEPAGE);
    return base;
}

}  // namespace

// A built table: body and pointer arrays in one mapping.
bool MapLutStorage(ColorLut* lut) {
    auto* const base = static_cast<uint8_t*>(MapAligned(kStorageBytes));
    if (base == nullptr) return false;
    lut->mapping = base;
    lut->mappingSize = kStorageBytes;
    lut->packed = reinterpret_cast<uint32_t*>(base);
    lut->rows = base + kPackedBytes;
    PlacePointerArrays(lut, base + kLutBodyBytes);
    return true;
}

// In one huge page of their own (1.5 MiB of 2): one page fault where 4 KiB pages would take 386.
bool LinkExportedView(ColorLut* lut) {
    if (lut->viewLinked) return true;
    void* arrays = MapAligned(kHugePage);
    if (arrays == nullptr) return false;
    lut->pointerMapping = arrays;
    lut->pointerMappingSize = kHugePage;
    PlacePointerArrays(lut, arrays);
    for (int r = 0; r < 256; ++r)
        LinkPlanes(lut, r);
    lut->viewLinked = true;
    return true;
}

void LinkPlanes(ColorLut* lut, int r) {
    for (int c = 0; c < 3; ++c) {
        unsigned char** greens = lut->secondLevel + (static_cast<size_t>(c) * 256 + r) * 256;
        lut->table.plane[c][r] = greens;
        for (int g = 0; g < 256; ++g)
            greens[g] = lut->rows + (static_cast<size_t>(r) * 256 + g) * kRowTripleBytes + c * 256;
    }
}

void FreeColorLut(ColorLut* lut) {
    if (lut == nullptr) return;
    if (lut->mapping != nullptr) munmap(lut->mapping, lut->mappingSize);
    if (lut->pointerMapping != nullptr) munmap(lut->pointerMapping, lut->pointerMappingSize);
    free(lut->filePath);
    delete lut;
}

}  // namespace tarn
