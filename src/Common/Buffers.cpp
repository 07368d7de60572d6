#include "Common/Buffers.h"

#include <sys/mman.h>

namespace tarn {

bool ByteBuffer::Reserve(size_t size) {
    if (size <= capacity_) return true;
    free(data_);
    data_ = static_cast<uint8_t*>(malloc(size));
    capacity_ = data_ != nullptr ? size : 0;
    return data_ != nullptr;
}

void ByteBuffer::Shrink(size_t keep) {
    if (capacity_ <= keep) return;
    free(data_);
    data_ = nullptr;
    capacity_ = 0;
}

void* AllocatePixels(size_t bytes) {
    constexpr size_t kHugePage = size_t{2} << 20;
    void* pixels = malloc(bytes);
    if (pixels == nullptr || bytes < 4 * kHugePage) return pixels;
    const uintptr_t start = reinterpret_cast<uintptr_t>(pixels);
    const size_t head = (kHugePage - start % kHugePage) % kHugePage;
    const size_t span = (bytes - head) / kHugePage * kHugePage;
    madvise(static_cast<uint8_t*>(pixels) + head, span, MADV_HUGEPAGE);
    return pixels;
}

}  // namespace tarn
