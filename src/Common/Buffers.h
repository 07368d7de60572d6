// Buffers whose sizes come from a slide: running out of memory is a failed call, never an
// exception through the C interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace tarn {

// A malloc'ed scratch buffer that grows on demand.
class ByteBuffer {
  public:
    ByteBuffer() = default;
    ~ByteBuffer() { free(data_); }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    // Room for `size` bytes; earlier contents are not kept. False when memory runs out.
    bool Reserve(size_t size);
    // Gives the memory back when it is more than `keep` bytes, so that one huge tile does not stay
    // pinned to a thread.
    void Shrink(size_t keep);
    uint8_t* data() const { return data_; }

  private:
    uint8_t* data_ = nullptr;
    size_t capacity_ = 0;
};

// malloc for large pixel buffers handed to callers: asks for transparent huge pages, since
// faulting in 4 KiB pages costs about as much as decoding into them.
void* AllocatePixels(size_t bytes);

}  // namespace tarn
