#include "ImageFiles.h"

#include <png.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

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

struct JpegErrors {
    jpeg_error_mgr pub;
    jmp_buf recovery;
    char message[JMSG_LENGTH_MAX];
};

void RecoverFromJpegError(j_common_ptr cinfo) {
    auto* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, errors->message);
    longjmp(errors->recovery, 1);
}

void IgnoreJpegMessage(j_common_ptr /*cinfo*/, int /*level*/) {}

struct JpegSession {
    jpeg_compress_struct cinfo;
    JpegErrors errors;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;  // NOLINT(google-runtime-int): libjpeg's type
};

// Holds the recovery point: nothing with a destructor may live in this frame.
bool Compress(JpegSession& s, const unsigned char* rgb, int width, int height, int quality) {
    if (setjmp(s.errors.recovery) != 0) return false;
    jpeg_create_compress(&s.cinfo);
    jpeg_mem_dest(&s.cinfo, &s.buffer, &s.size);
    s.cinfo.image_width = static_cast<JDIMENSION>(width);
    s.cinfo.image_height = static_cast<JDIMENSION>(height);
    s.cinfo.input_components = 3;
    s.cinfo.in_color_space = JCS_RGB;  // before the defaults, which derive the JPEG space from it
    jpeg_set_defaults(&s.cinfo);
    jpeg_set_quality(&s.cinfo, quality, TRUE);
    jpeg_start_compress(&s.cinfo, TRUE);
    const size_t stride = static_cast<size_t>(width) * 3;
    while (s.cinfo.next_scanline < s.cinfo.image_height) {
        // libjpeg's row type is not const, but compression only reads the rows.
        JSAMPROW row = const_cast<JSAMPROW>(rgb + s.cinfo.next_scanline * stride);
        jpeg_write_scanlines(&s.cinfo, &row, 1);
    }
    jpeg_finish_compress(&s.cinfo);
    return true;
}

}  // namespace

bool EncodeJpeg(const unsigned char* rgb, int width, int height, int quality, std::string* jpeg,
                std::string* error) {
    // JPEG limits each side to 65500 pixels.
    if (width < 1 || height < 1 || width > 65500 || height > 65500) {
        *error = "a JPEG cannot hold " + std::to_string(width) + " x " + std::to_string(height) +
                 " pixels";
        return false;
    }
    JpegSession s{};
    s.cinfo.err = jpeg_std_error(&s.errors.pub);
    s.errors.pub.error_exit = RecoverFromJpegError;
    s.errors.pub.emit_message = IgnoreJpegMessage;
    const bool ok = Compress(s, rgb, width, height, quality);
    if (ok) jpeg->assign(reinterpret_cast<const char*>(s.buffer), s.size);
    jpeg_destroy_compress(&s.cinfo);
    free(s.buffer);
    if (!ok) *error = std::string("cannot encode a JPEG: ") + s.errors.message;
    return ok;
}

bool WritePicture(const std::string& path, const unsigned char* rgb, int width, int height,
                  std::string* error) {
    std::string bytes;
    const bool encoded = FormatOf(path) == FileFormat::Jpeg
                             ? EncodeJpeg(rgb, width, height, 75, &bytes, error)
                             : EncodePng(rgb, width, height, &bytes, error);
    return encoded && WriteBytes(path, reinterpret_cast<const unsigned char*>(bytes.data()),
                                 bytes.size(), error);
}

}  // namespace tarncli
