// HEVC test tiles: BGR to 8-bit 4:2:0 with the BT.601 limited-range formula, then one picture
// through libavcodec's libx265 encoder.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
}

#include <algorithm>
#include <cstdlib>
#include <string>

#include "HevcEncoder.h"

namespace tarnwriter {
namespace {

// Moves the encoder's messages above the most verbose log level (see the decoder's twin).
constexpr int kSilentLogOffset = 192;

struct Bgr {
    int b, g, r;
};

Bgr PixelAt(const Image& image, uint32_t x, uint32_t y) {
    const uint8_t* p = image.bgr.data() + (static_cast<size_t>(y) * image.width + x) * 3;
    return {p[0], p[1], p[2]};
}

uint8_t LumaOf(const Bgr& p) {
    return static_cast<uint8_t>(16 + ((66 * p.r + 129 * p.g + 25 * p.b + 128) >> 8));
}

// The chroma of one 2 x 2 block (fewer pixels at an odd right or bottom edge): the formula
// applied to the block's mean colour, rounded.
void ChromaOf(const Image& image, uint32_t x0, uint32_t y0, uint8_t* u, uint8_t* v) {
    int b = 0, g = 0, r = 0, n = 0;
    for (uint32_t y = y0; y < std::min(y0 + 2, image.height); ++y)
        for (uint32_t x = x0; x < std::min(x0 + 2, image.width); ++x) {
            const Bgr p = PixelAt(image, x, y);
            b += p.b;
            g += p.g;
            r += p.r;
            ++n;
        }
    const Bgr mean{(b + n / 2) / n, (g + n / 2) / n, (r + n / 2) / n};
    *u = static_cast<uint8_t>(128 + ((-38 * mean.r - 74 * mean.g + 112 * mean.b + 128) >> 8));
    *v = static_cast<uint8_t>(128 + ((112 * mean.r - 94 * mean.g - 18 * mean.b + 128) >> 8));
}

// HEVC codes 4:2:0 pictures in even sizes only: an odd image is padded by repeating its last
// column or row, and a reader crops the padding away.
int EvenSize(uint32_t size) {
    return static_cast<int>(size + (size & 1));
}

void FillFrame(const Image& image, AVFrame* frame) {
    for (int y = 0; y < frame->height; ++y) {
        const uint32_t sy = std::min<uint32_t>(static_cast<uint32_t>(y), image.height - 1);
        uint8_t* row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
        for (int x = 0; x < frame->width; ++x)
            row[x] = LumaOf(
                PixelAt(image, std::min<uint32_t>(static_cast<uint32_t>(x), image.width - 1), sy));
    }
    for (int cy = 0; cy < frame->height / 2; ++cy) {
        uint8_t* u = frame->data[1] + static_cast<ptrdiff_t>(cy) * frame->linesize[1];
        uint8_t* v = frame->data[2] + static_cast<ptrdiff_t>(cy) * frame->linesize[2];
        for (int cx = 0; cx < frame->width / 2; ++cx)
            ChromaOf(image, 2 * static_cast<uint32_t>(cx), 2 * static_cast<uint32_t>(cy), &u[cx],
                     &v[cx]);
    }
}

struct EncoderObjects {
    AVCodecContext* context = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    AVDictionary* options = nullptr;

    ~EncoderObjects() {
        av_dict_free(&options);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
    }
};

bool OpenEncoder(EncoderObjects& e, int width, int height, HevcStream kind) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx265");
    if (codec == nullptr) return false;
    e.context = avcodec_alloc_context3(codec);
    if (e.context == nullptr) return false;
    e.context->log_level_offset = kSilentLogOffset;
    e.context->width = width;
    e.context->height = height;
    e.context->pix_fmt = AV_PIX_FMT_YUV420P;
    e.context->time_base = AVRational{1, 25};
    e.context->framerate = AVRational{25, 1};
    // info=0 leaves x265's own description of its settings out of every tile.
    std::string params = kind == HevcStream::AllIntra ? "log-level=none:info=0:keyint=1:bframes=0"
                                                      : "log-level=none:info=0";
    // TARNWRITER_X265_PARAMS adds settings, e.g. asm=0 under valgrind, which cannot follow the
    // definedness of x265's assembly and would flag every tile it writes.
    if (const char* extra = getenv("TARNWRITER_X265_PARAMS"); extra != nullptr && *extra != '\0')
        params = params + ":" + extra;
    return av_dict_set(&e.options, "x265-params", params.c_str(), 0) >= 0 &&
           avcodec_open2(e.context, codec, &e.options) >= 0;
}

bool PrepareFrame(EncoderObjects& e, const Image& image) {
    e.frame = av_frame_alloc();
    e.packet = av_packet_alloc();
    if (e.frame == nullptr || e.packet == nullptr) return false;
    e.frame->format = AV_PIX_FMT_YUV420P;
    e.frame->width = e.context->width;
    e.frame->height = e.context->height;
    if (av_frame_get_buffer(e.frame, 0) < 0) return false;
    FillFrame(image, e.frame);
    e.frame->pts = 0;
    return true;
}

// Sends the one picture, then drains: the encoder holds pictures back for its look-ahead.
Bytes EncodeFrame(EncoderObjects& e) {
    Bytes stream;
    if (avcodec_send_frame(e.context, e.frame) < 0 || avcodec_send_frame(e.context, nullptr) < 0)
        return {};
    for (;;) {
        const int received = avcodec_receive_packet(e.context, e.packet);
        if (received == AVERROR_EOF) return stream;
        if (received < 0) return {};
        stream.insert(stream.end(), e.packet->data, e.packet->data + e.packet->size);
        av_packet_unref(e.packet);
    }
}

}  // namespace

Bytes EncodeHevc(const Image& image, HevcStream kind) {
    if (image.width == 0 || image.height == 0 || image.width > 16384 || image.height > 16384 ||
        image.bgr.size() != static_cast<size_t>(image.width) * image.height * 3)
        return {};
    EncoderObjects e;
    if (!OpenEncoder(e, EvenSize(image.width), EvenSize(image.height), kind) ||
        !PrepareFrame(e, image))
        return {};
    return EncodeFrame(e);
}

TileEncoder HevcTiles(HevcStream kind) {
    return [kind](const Image& tile) { return EncodeHevc(tile, kind); };
}

}  // namespace tarnwriter

// x265 3.5 loses about a kilobyte on every encoder it opens. Every program that writes HEVC
// slides links this writer, so LeakSanitizer is told here, once, not to report x265's own loss.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}
