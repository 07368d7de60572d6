#include "iiif/Encode.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <new>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>

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

// A destination that writes into the answer's string, grown by doubling: the bytes need no copy
// once encoded.
struct StringDestination {
    jpeg_destination_mgr manager;  // first: libjpeg passes &manager around as info->dest
    std::string* bytes;
};

void StartString(j_compress_ptr info) {
    auto* dest = reinterpret_cast<StringDestination*>(info->dest);
    dest->manager.next_output_byte = reinterpret_cast<JOCTET*>(dest->bytes->data());
    dest->manager.free_in_buffer = dest->bytes->size();
}

// libjpeg calls this only once the whole buffer is full. Running out of memory becomes libjpeg's
// error, so that no exception passes through its frames.
boolean GrowString(j_compress_ptr info) {
    auto* dest = reinterpret_cast<StringDestination*>(info->dest);
    const size_t used = dest->bytes->size();
    bool grown = true;
    try {
        dest->bytes->resize(used * 2);
    } catch (const std::bad_alloc&) {
        grown = false;
    }
    if (!grown) ERREXIT(info, JERR_OUT_OF_MEMORY);
    dest->manager.next_output_byte = reinterpret_cast<JOCTET*>(dest->bytes->data() + used);
    dest->manager.free_in_buffer = dest->bytes->size() - used;
    return TRUE;
}

void EndString(j_compress_ptr info) {
    auto* dest = reinterpret_cast<StringDestination*>(info->dest);
    dest->bytes->resize(dest->bytes->size() - dest->manager.free_in_buffer);
}

// Only plain data lives in this frame, so the jump out of libjpeg skips no destructor (the
// string is the caller's).
bool CompressJpeg(const Pixels& pixels, int quality, std::string* out, char* message) {
    // About what a tile of tissue takes at high quality; smooth pictures take less. Sized before
    // libjpeg holds anything, which a failure here would leak.
    out->resize(static_cast<size_t>(pixels.width) * pixels.height * pixels.channels / 8 + 4096);
    jpeg_compress_struct info{};
    JpegFailure failure{};
    StringDestination dest{};
    info.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = OnJpegError;
    if (setjmp(failure.jump) != 0) {
        jpeg_destroy_compress(&info);
        snprintf(message, JMSG_LENGTH_MAX, "%s", failure.message);
        return false;
    }
    jpeg_create_compress(&info);
    dest.bytes = out;
    dest.manager.init_destination = StartString;
    dest.manager.empty_output_buffer = GrowString;
    dest.manager.term_destination = EndString;
    info.dest = &dest.manager;
    info.image_width = static_cast<JDIMENSION>(pixels.width);
    info.image_height = static_cast<JDIMENSION>(pixels.height);
    info.input_components = pixels.channels;
    info.in_color_space = pixels.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    // The fast transform's rounding stays below what quantisation takes away up to this quality,
    // and saves a fifth of the encoding.
    if (quality <= 90) info.dct_method = JDCT_IFAST;
    jpeg_start_compress(&info, TRUE);
    const size_t stride = static_cast<size_t>(pixels.width) * pixels.channels;
    JSAMPROW rows[16];
    while (info.next_scanline < info.image_height) {
        const JDIMENSION count = std::min<JDIMENSION>(16, info.image_height - info.next_scanline);
        for (JDIMENSION r = 0; r < count; ++r)
            rows[r] = const_cast<JSAMPROW>(pixels.data.data() + (info.next_scanline + r) * stride);
        jpeg_write_scanlines(&info, rows, count);
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
    char message[JMSG_LENGTH_MAX] = {};
    if (!CompressJpeg(pixels, quality, jpeg, message)) {
        jpeg->clear();
        *error = std::string("cannot encode a JPEG: ") + message;
        return false;
    }
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
