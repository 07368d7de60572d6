// Writing pictures the library hands out to JPEG or PNG files.
#pragma once

#include <cstddef>
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

// Encodes RGB pixels as a baseline JPEG of `quality` (libjpeg's defaults otherwise, as the
// library encodes its own). False with a message on failure.
bool EncodeJpeg(const unsigned char* rgb, int width, int height, int quality, std::string* jpeg,
                std::string* error);

// Writes RGB pixels as the file's format says (.jpg: JPEG of quality 75; .png: PNG).
bool WritePicture(const std::string& path, const unsigned char* rgb, int width, int height,
                  std::string* error);

}  // namespace tarncli
