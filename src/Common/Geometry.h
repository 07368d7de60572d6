// Where the pixels of a layer are: its tile grid, the picture inside it, and tiles of any size
// laid over that picture. All sizes are 64-bit and every step is checked, so a damaged header can
// make a layer unusable but never makes a size wrap.
#pragma once

#include <cstdint>

namespace tarn {

// A rectangle in pixels of an image.
struct PixelRect {
    uint32_t x = 0;
    uint32_t y = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

// One layer's grid: tiles of tileWidth x tileHeight, `columns` x `rows` of them, of which the
// rightmost boundWidth and bottom boundHeight pixels lie beyond the picture.
struct LayerGeometry {
    uint64_t tileWidth = 0;
    uint64_t tileHeight = 0;
    uint64_t columns = 0;
    uint64_t rows = 0;
    uint64_t boundWidth = 0;
    uint64_t boundHeight = 0;

    uint64_t gridWidth() const { return tileWidth * columns; }
    uint64_t gridHeight() const { return tileHeight * rows; }
    // A bound area larger than the grid leaves no picture at all: only a damaged header says so.
    bool hasPicture() const { return boundWidth <= gridWidth() && boundHeight <= gridHeight(); }
    // The picture's size; 0 x 0 when hasPicture() is false.
    uint64_t pictureWidth() const { return hasPicture() ? gridWidth() - boundWidth : 0; }
    uint64_t pictureHeight() const { return hasPicture() ? gridHeight() - boundHeight : 0; }
};

// Tiles of `tile` pixels needed to cover `length` pixels (the last one may reach past the end);
// 0 for a tile size of 0.
inline uint64_t TilesToCover(uint64_t length, uint64_t tile) {
    if (tile == 0) return 0;
    return length / tile + (length % tile != 0 ? 1 : 0);
}

// a * b, or false when it does not fit in 64 bits.
inline bool CheckedMultiply(uint64_t a, uint64_t b, uint64_t* product) {
    return !__builtin_mul_overflow(a, b, product);
}

// a + b, or false when it does not fit in 64 bits.
inline bool CheckedAdd(uint64_t a, uint64_t b, uint64_t* sum) {
    return !__builtin_add_overflow(a, b, sum);
}

}  // namespace tarn
