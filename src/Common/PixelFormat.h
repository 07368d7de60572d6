// The pixel layouts the library writes into buffers: 3 or 4 bytes per pixel, rows top to bottom.
// Four-byte layouts carry alpha 255 wherever there is picture.
#pragma once

namespace tarn {

enum class PixelFormat { Bgr, Rgb, Bgra, Rgba };

inline int BytesPerPixel(PixelFormat format) {
    return format == PixelFormat::Bgr || format == PixelFormat::Rgb ? 3 : 4;
}

// Whether red comes first (RGB, RGBA) rather than blue.
inline bool RedFirst(PixelFormat format) {
    return format == PixelFormat::Rgb || format == PixelFormat::Rgba;
}

}  // namespace tarn
