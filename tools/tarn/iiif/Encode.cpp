#include "iiif/Encode.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

namespace tarncli::iiif {

namespace {

struct JpegFailure {
    jpeg_error_mgr manager;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void OnJpegError(j_common_ptr info) {
    auto* failure = reinterpret_cast<JpegFailure*>(info->err);
    info->err->format_message(info, failure->message);
    longjmp(failure->jump, 1);
}

// Only plain data lives in this frame, so the jump out of libjpeg skips no destructor.
bool CompressJpeg(const Pixels& pixels, int quality, unsigned char** out, unsigned long* size,
                  char* message) {
    jpeg_compress_struct info{};
    JpegFailure failure{};
    info.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = OnJpegError;
    if (setjmp(failure.jump) != 0) {
        jpeg_destroy_compress(&info);
        free(*out);
        *out = nullptr;
        snprintf(message, JMSG_LENGTH_MAX, "%s", failure.message);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, out, size);
    info.image_width = static_cast<JDIMENSION>(pixels.width);
    info.image_height = static_cast<JDIMENSION>(pixels.height);
    info.input_components = pixels.channels;
    info.in_color_space = pixels.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    const size_t stride = static_cast<size_t>(pixels.width) * pixels.channels;
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels.data.data() + info.next_scanline * stride);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

bool Valid(const Pixels& pixels, int64_t largest, std::string* error) {
    if (pixels.width < 1 || pixels.height < 1 || pixels.width > largest ||
        pixels.height > largest || (pixels.channels != 1 && pixels.channels != 3) ||
        pixels.data.size() != static_cast<size_t>(pixels.width) * pixels.height * pixels.channels) {
        *error = "cannot encode a picture of this size";
        return false;
    }
    return true;
}

}  // namespace

bool EncodeJpeg(const Pixels& pixels, int quality, std::string* jpeg, std::string* error) {
    if (!Valid(pixels, JPEG_MAX_DIMENSION, error)) return false;
    if (quality < 1 || quality > 100) {
        *error = "JPEG quality must be 1 to 100";
        return false;
    }
    unsigned char* out = nullptr;
    unsigned long size = 0;
    char message[JMSG_LENGTH_MAX] = {};
    if (!CompressJpeg(pixels, quality, &out, &size, message)) {
        *error = std::string("cannot encode a JPEG: ") + message;
        return false;
    }
    jpeg->assign(reinterpret_cast<const char*>(out), size);
    free(out);
    return true;
}

bool EncodePng(const Pixels& pixels, std::string* png, std::string* error) {
    if (!Valid(pixels, PNG_UINT_31_MAX, error)) return false;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(pixels.width);
    image.height = static_cast<png_uint_32>(pixels.height);
    image.format = pixels.channels == 1 ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
    // Speed over size: a tile server encodes on every cache miss.
    image.flags = PNG_IMAGE_FLAG_FAST;
    // Written once into room for the worst case: asking libpng for the size first would
    // compress the picture twice.
    png->resize(PNG_IMAGE_PNG_SIZE_MAX(image));
    png_alloc_size_t size = png->size();
    if (png_image_write_to_memory(&image, png->data(), &size, 0, pixels.data.data(), 0, nullptr) !=
        0) {
        png->resize(size);
        png->shrink_to_fit();
        return true;
    }
    *error = std::string("cannot encode a PNG: ") + image.message;
    png_image_free(&image);
    png->clear();
    return false;
}

}  // namespace tarncli::iiif
