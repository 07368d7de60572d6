// Pixels to JPEG (libjpeg-turbo) and PNG (libpng) bytes: the only file that includes the codecs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarncli::iiif {

// Rows top to bottom without gaps; 3 bytes a pixel (red, green, blue) or 1 (gray).
struct Pixels {
    int64_t width = 0, height = 0;
    int channels = 3;
    std::vector<uint8_t> data;
};

// Baseline JPEG of `quality` (1-100). False with a message on failure (nothing in `jpeg`).
bool EncodeJpeg(const Pixels& pixels, int quality, std::string* jpeg, std::string* error);

// 8-bit PNG, RGB or gray, tagged sRGB. False with a message on failure.
bool EncodePng(const Pixels& pixels, std::string* png, std::string* error);

}  // namespace tarncli::iiif
