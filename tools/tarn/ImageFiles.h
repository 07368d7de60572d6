// Writing pictures the library hands out to JPEG or PNG files.
#pragma once

#include <cstdint>
#include <string>

namespace tarncli {

enum class FileFormat { Jpeg, Png, Unknown };

// By extension: .jpg/.jpeg or .png.
FileFormat FormatOf(const std::string& path);

// Writes bytes as they are. False with a message on failure.
bool WriteBytes(const std::string& path, const unsigned char* bytes, size_t size,
                std::string* error);

// Encodes RGB pixels (3 bytes each) as a PNG into `png`. False with a message on failure.
bool EncodePng(const unsigned char* rgb, int width, int height, std::string* png,
               std::string* error);

// Writes pixels of `channels` (3: blue, green, red; 4: blue, green, red, alpha) bytes each as
// an RGB PNG.
bool WritePng(const std::string& path, const unsigned char* pixels, int width, int height,
              int channels, std::string* error);

}  // namespace tarncli
