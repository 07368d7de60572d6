#include "Jpeg.h"

// jpeglib.h needs size_t and FILE declared first.
#include <cstdio>
#include <csetjmp>
#include <cstdlib>

#include <jpeglib.h>

namespace tarnexport {
namespace {

// JPEG limits each side to 65500 pixels.
constexpr int64_t kMaxSide = 65500;

struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf recovery;
    char message[JMSG_LENGTH_MAX];
};

void RecoverFromError(j_common_ptr cinfo) {
    auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, manager->message);
    longjmp(manager->recovery, 1);
}

void IgnoreMessage(j_common_ptr /*cinfo*/, int /*level*/) {}

struct Session {
    jpeg_compress_struct cinfo;
    ErrorManager error;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;  // NOLINT(google-runtime-int): libjpeg's type
};

// Holds the recovery point: nothing with a destructor may live in this frame.
bool Compress(Session& s, const uint8_t* rgb, int64_t width, int64_t height, int quality,
              bool chroma422) {
    if (setjmp(s.error.recovery) != 0) return false;
    jpeg_create_compress(&s.cinfo);
    jpeg_mem_dest(&s.cinfo, &s.buffer, &s.size);
    s.cinfo.image_width = static_cast<JDIMENSION>(width);
    s.cinfo.image_height = static_cast<JDIMENSION>(height);
    s.cinfo.input_components = 3;
    s.cinfo.in_color_space = JCS_RGB;  // before the defaults, which derive the JPEG space from it
    jpeg_set_defaults(&s.cinfo);
    jpeg_set_quality(&s.cinfo, quality, TRUE);
    if (chroma422) {
        s.cinfo.comp_info[0].h_samp_factor = 2;
        s.cinfo.comp_info[0].v_samp_factor = 1;
        for (int c = 1; c < 3; ++c)
            s.cinfo.comp_info[c].h_samp_factor = s.cinfo.comp_info[c].v_samp_factor = 1;
    }
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

bool EncodeJpeg(const uint8_t* rgb, int64_t width, int64_t height, int quality,
                std::vector<uint8_t>* jpeg, std::string* error, bool chroma422) {
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
        *error = "a JPEG cannot hold " + std::to_string(width) + " x " + std::to_string(height) +
                 " pixels";
        return false;
    }
    Session s{};
    s.cinfo.err = jpeg_std_error(&s.error.pub);
    s.error.pub.error_exit = RecoverFromError;
    s.error.pub.emit_message = IgnoreMessage;
    const bool ok = Compress(s, rgb, width, height, quality, chroma422);
    if (ok) jpeg->assign(s.buffer, s.buffer + s.size);
    jpeg_destroy_compress(&s.cinfo);
    free(s.buffer);
    if (!ok) *error = std::string("the JPEG encoder failed: ") + s.error.message;
    return ok;
}

}  // namespace tarnexport
