#include "ImageFiles.h"

#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tarncli {

FileFormat FormatOf(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos) return FileFormat::Unknown;
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (ext == "jpg" || ext == "jpeg") return FileFormat::Jpeg;
    if (ext == "png") return FileFormat::Png;
    return FileFormat::Unknown;
}

bool WriteBytes(const std::string& path, const unsigned char* bytes, size_t size,
                std::string* error) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        *error = "cannot create " + path + ": " + strerror(errno);
        return false;
    }
    const bool written = fwrite(bytes, 1, size, file) == size;
    const bool closed = fclose(file) == 0;
    if (!written || !closed) {
        *error = "cannot write " + path + ": " + strerror(errno);
        remove(path.c_str());
        return false;
    }
    return true;
}

bool EncodePng(const unsigned char* rgb, int width, int height, std::string* png,
               std::string* error) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (png_image_write_get_memory_size(image, size, 0, rgb, 0, nullptr) != 0) {
        png->resize(size);
        if (png_image_write_to_memory(&image, png->data(), &size, 0, rgb, 0, nullptr) != 0) {
            png->resize(size);
            return true;
        }
    }
    *error = std::string("cannot encode a PNG: ") + image.message;
    return false;
}

namespace {

// Creates a file no one else uses next to `path`: ".<name>.<pid>-<n>.part".
int CreateTemporary(const std::string& path, std::string* temporary) {
    static std::atomic<unsigned long> counter{0};
    const size_t slash = path.rfind('/');
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    for (;;) {
        *temporary = path.substr(0, start) + "." + path.substr(start) + "." +
                     std::to_string(getpid()) + "-" + std::to_string(counter++) + ".part";
        const int fd = open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        // A name left behind by a killed process of the same id is passed over.
        if (fd >= 0 || errno != EEXIST) return fd;
    }
}

bool WriteAll(int fd, const unsigned char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool ReplaceFile(const std::string& path, const unsigned char* bytes, size_t size,
                 const std::function<bool()>& keep, std::string* error) {
    std::string temporary;
    const int fd = CreateTemporary(path, &temporary);
    if (fd < 0) {
        *error = "cannot create a file beside " + path + ": " + strerror(errno);
        return false;
    }
    const bool written = WriteAll(fd, bytes, size);
    const int writeError = errno;
    const bool closed = close(fd) == 0;
    if (!written || !closed) {
        *error = "cannot write " + temporary + ": " + strerror(written ? errno : writeError);
        unlink(temporary.c_str());
        return false;
    }
    if (!keep()) {
        error->clear();
        unlink(temporary.c_str());
        return false;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot rename " + temporary + " to " + path + ": " + strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool WritePng(const std::string& path, const unsigned char* pixels, int width, int height,
              int channels, std::string* error) {
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
        rgb[3 * i] = pixels[channels * i + 2];
        rgb[3 * i + 1] = pixels[channels * i + 1];
        rgb[3 * i + 2] = pixels[channels * i];
    }
    std::string png;
    return EncodePng(rgb.data(), width, height, &png, error) &&
           WriteBytes(path, reinterpret_cast<const unsigned char*>(png.data()), png.size(), error);
}

}  // namespace tarncli
