// JPEG and BMP encoding of writer images.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <jpeglib.h>

#include "TarnWriter.h"

namespace tarnwriter {

Bytes EncodeJpeg(const Image& image, int quality) {
    if (image.width == 0 || image.height == 0) throw std::invalid_argument("empty image");
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = image.width;
    cinfo.image_height = image.height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        auto* row = const_cast<JSAMPLE*>(
            &image.bgr[static_cast<size_t>(cinfo.next_scanline) * image.width * 3]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes bytes(out, out + size);
    free(out);
    return bytes;
}

Bytes EncodeBmp(const Image& image, int bitsPerPixel) {
    if (bitsPerPixel != 24 && bitsPerPixel != 32) throw std::invalid_argument("bits per pixel");
    const uint32_t n = static_cast<uint32_t>(bitsPerPixel) / 8;
    const uint32_t stride = (n * image.width + 3) & ~3U;
    const uint32_t pixelBytes = stride * image.height;
    Bytes bmp(54 + static_cast<size_t>(pixelBytes), 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    PutU32(bmp, 2, 54 + pixelBytes);
    PutU32(bmp, 10, 54);
    PutU32(bmp, 14, 40);
    PutU32(bmp, 18, image.width);
    PutU32(bmp, 22, image.height);
    bmp[26] = 1;
    bmp[28] = static_cast<uint8_t>(bitsPerPixel);
    PutU32(bmp, 34, pixelBytes);
    PutU32(bmp, 38, 2835);
    PutU32(bmp, 42, 2835);
    for (uint32_t y = 0; y < image.height; ++y) {
        // Bottom row first.
        uint8_t* dst = &bmp[54 + static_cast<size_t>(image.height - 1 - y) * stride];
        const uint8_t* src = &image.bgr[static_cast<size_t>(y) * image.width * 3];
        for (uint32_t x = 0; x < image.width; ++x) {
            memcpy(dst + x * n, src + x * 3, 3);
            if (n == 4) dst[x * n + 3] = 0xFF;
        }
    }
    return bmp;
}

namespace {

struct DecodeErrors {
    jpeg_error_mgr manager;
    jmp_buf recovery;
};

void LeaveDecode(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<DecodeErrors*>(cinfo->err)->recovery, 1);
}

void Silently(j_common_ptr, int) {}

}  // namespace

bool DecodeJpeg(const uint8_t* jpeg, size_t size, Bytes* pixels, uint32_t* width, uint32_t* height,
                int space) {
    jpeg_decompress_struct cinfo{};
    DecodeErrors errors{};
    cinfo.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = LeaveDecode;
    errors.manager.emit_message = Silently;
    if (setjmp(errors.recovery) != 0) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = static_cast<J_COLOR_SPACE>(space);
    jpeg_start_decompress(&cinfo);
    const size_t stride = size_t{cinfo.output_width} * static_cast<size_t>(cinfo.output_components);
    pixels->resize(stride * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = pixels->data() + stride * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    if (width != nullptr) *width = cinfo.output_width;
    if (height != nullptr) *height = cinfo.output_height;
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

TileEncoder JpegTiles(int quality) {
    return [quality](const Image& tile) { return EncodeJpeg(tile, quality); };
}

StoredImage JpegImage(const Image& image, int quality) {
    return {EncodeJpeg(image, quality), image.width, image.height, 3};
}

}  // namespace tarnwriter
