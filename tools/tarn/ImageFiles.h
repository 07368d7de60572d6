// Writing pictures the library hands out to JPEG or PNG files.
#pragma once

#include <cstdint>
#include <functional>
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

// Writes bytes under a temporary name beside `path` (a dot, the file name and a suffix unique
// to this process) and renames that file into place only once it is written and closed without
// error, so `path` never holds part of a file. `keep` is asked just before the rename; when it
// says no, the temporary file is removed and the result is false with an empty `error`.
bool ReplaceFile(const std::string& path, const unsigned char* bytes, size_t size,
                 const std::function<bool()>& keep, std::string* error);

// Writes pixels of `channels` (3: blue, green, red; 4: blue, green, red, alpha) bytes each as
// an RGB PNG.
bool WritePng(const std::string& path, const unsigned char* pixels, int width, int height,
              int channels, std::string* error);

}  // namespace tarncli
