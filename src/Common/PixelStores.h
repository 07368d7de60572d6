// How one corrected pixel is stored in each byte layout the library writes. A corrected pixel
// arrives as one word, B | G << 8 | R << 16. `Store` writes exactly the pixel; `StoreWithSpare`
// may also write the byte after a 3-byte pixel (the next pixel overwrites it), which lets it store
// one word, so it must not be used where that byte is still to be read or lies outside the buffer.
// Four-byte layouts carry alpha 255.
#pragma once

#include <cstdint>
#include <cstring>

namespace tarn {

inline void StoreWord(uint8_t* out, uint32_t word) {
    memcpy(out, &word, sizeof word);
}

struct Bgr24 {
    static constexpr int kBytes = 3;
    static void Store(uint8_t* out, uint32_t c) {
        out[0] = static_cast<uint8_t>(c);
        out[1] = static_cast<uint8_t>(c >> 8);
        out[2] = static_cast<uint8_t>(c >> 16);
    }
    static void StoreWithSpare(uint8_t* out, uint32_t c) { StoreWord(out, c); }
};

struct Rgb24 {
    static constexpr int kBytes = 3;
    static uint32_t Swapped(uint32_t c) { return __builtin_bswap32(c) >> 8; }
    static void Store(uint8_t* out, uint32_t c) { Bgr24::Store(out, Swapped(c)); }
    static void StoreWithSpare(uint8_t* out, uint32_t c) { StoreWord(out, Swapped(c)); }
};

// The 4-byte layouts store one little-endian word: byte 0 is its lowest eight bits.
struct Bgra32 {
    static constexpr int kBytes = 4;
    static void Store(uint8_t* out, uint32_t c) { StoreWord(out, c | 0xFF000000u); }
    static void StoreWithSpare(uint8_t* out, uint32_t c) { Store(out, c); }
};

struct Rgba32 {
    static constexpr int kBytes = 4;
    static void Store(uint8_t* out, uint32_t c) {
        StoreWord(out, (__builtin_bswap32(c) >> 8) | 0xFF000000u);
    }
    static void StoreWithSpare(uint8_t* out, uint32_t c) { Store(out, c); }
};

struct Argb32 {
    static constexpr int kBytes = 4;
    static void Store(uint8_t* out, uint32_t c) { StoreWord(out, __builtin_bswap32(c) | 0xFFu); }
    static void StoreWithSpare(uint8_t* out, uint32_t c) { Store(out, c); }
};

struct Abgr32 {
    static constexpr int kBytes = 4;
    static void Store(uint8_t* out, uint32_t c) { StoreWord(out, (c << 8) | 0xFFu); }
    static void StoreWithSpare(uint8_t* out, uint32_t c) { Store(out, c); }
};

}  // namespace tarn
