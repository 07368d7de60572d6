// HEVC tiles through libavcodec. Every thread keeps one decoder and resets it between tiles, so a
// tile pays for its decode and not for the decoder's set-up; threads never share a decoder.
extern "C" {
#include <libavcodec/avcodec.h>
}

#include <climits>
#include <cstdio>
#include <cstring>

#include "DecodeHevc/HevcDecoder.h"

namespace tarn {
namespace {

// Moves every message of our contexts above the most verbose level (AV_LOG_TRACE) while
// keeping it below 256 (libavutil's printer reads only the level's low byte), so nothing is
// printed and the process-wide log level, which the host program owns, stays untouched.
constexpr int kSilentLogOffset = 192;

// The stream copy a thread keeps for the next tile; a larger one is released after its tile.
constexpr size_t kKeptStreamCopyBytes = size_t{1} << 20;

// A decoder that cannot be set up is the codec's own complaint (loud); the text has no line end.
void SetUpFailed(Error* why, const char* text) {
    Say(why, "%s", text);
    if (why != nullptr) why->loud = true;
    Failed(why, Status::Undecodable);
}

// libavcodec's own words for a failure code.
void SayAvError(Error* why, const char* step, int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    Say(why, "the HEVC stream does not decode (%s: %s)", step, text);
    Failed(why, Status::Undecodable);
}

struct ThreadDecoder {
    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    AVBufferRef* streamCopy = nullptr;  // the tile's bytes followed by zeroed padding

    ThreadDecoder() = default;
    ThreadDecoder(const ThreadDecoder&) = delete;
    ThreadDecoder& operator=(const ThreadDecoder&) = delete;
    ~ThreadDecoder() { Release(); }

    void Release() {
        av_buffer_unref(&streamCopy);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
    }
};

ThreadDecoder& ThisThreadsDecoder() {
    thread_local ThreadDecoder decoder;
    return decoder;
}

bool OpenDecoder(ThreadDecoder& decoder, Error* why) {
    if (decoder.context != nullptr) return true;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    if (codec == nullptr) {
        SetUpFailed(why, "Codec not found AV_CODEC_ID_H265");
        return false;
    }
    decoder.context = avcodec_alloc_context3(codec);
    if (decoder.context == nullptr) {
        SetUpFailed(why, "Could not allocate audio codec context");
        return false;
    }
    decoder.context->log_level_offset = kSilentLogOffset;
    // Tiles are spread over threads by the callers; frame threading would only add threads and
    // hold the picture back until the drain.
    decoder.context->thread_count = 1;
    // Stop at the first bitstream error instead of concealing it: a damaged tile is refused
    // rather than handed out as a plausible picture. (A cut late in the slice data can still go
    // unnoticed: the decoder cannot tell it from a complete stream.)
    decoder.context->err_recognition |= AV_EF_EXPLODE;
    if (avcodec_open2(decoder.context, codec, nullptr) < 0) {
        SetUpFailed(why, "Could not open codec");
        decoder.Release();
        return false;
    }
    decoder.packet = av_packet_alloc();
    decoder.frame = av_frame_alloc();
    if (decoder.packet == nullptr || decoder.frame == nullptr) {
        Say(why, "out of memory for the HEVC decoder");
        decoder.Release();
        return false;
    }
    return true;
}

// libavcodec may read a little past the packet's end, so the stream is copied into a buffer
// followed by AV_INPUT_BUFFER_PADDING_SIZE zero bytes.
bool CopyIntoPacket(ThreadDecoder& decoder, const uint8_t* stream, size_t length) {
    const size_t needed = length + AV_INPUT_BUFFER_PADDING_SIZE;
    AVBufferRef*& copy = decoder.streamCopy;
    if (copy == nullptr || copy->size < needed || !av_buffer_is_writable(copy)) {
        av_buffer_unref(&copy);
        copy = av_buffer_alloc(needed);
        if (copy == nullptr) return false;
    }
    memcpy(copy->data, stream, length);
    memset(copy->data + length, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    decoder.packet->buf = av_buffer_ref(copy);
    if (decoder.packet->buf == nullptr) return false;
    decoder.packet->data = copy->data;
    decoder.packet->size = static_cast<int>(length);
    return true;
}

// The tile's one packet, then the drain: a stream that declares reorder pictures yields its
// picture only when the decoder is told that no more packets follow.
bool DecodeFirstPicture(ThreadDecoder& decoder, Error* why) {
    const int sent = avcodec_send_packet(decoder.context, decoder.packet);
    av_packet_unref(decoder.packet);
    if (sent < 0) {
        SayAvError(why, "packet", sent);
        return false;
    }
    for (bool draining = false;;) {
        const int received = avcodec_receive_frame(decoder.context, decoder.frame);
        if (received == 0) return true;
        if (received != AVERROR(EAGAIN) || draining) {
            SayAvError(why, "picture", received);
            return false;
        }
        if (const int drained = avcodec_send_packet(decoder.context, nullptr); drained < 0) {
            SayAvError(why, "drain", drained);
            return false;
        }
        draining = true;
    }
}

// A 4:2:0 picture of odd size cannot be coded, so an odd tile size arrives padded by one.
bool SizeFits(int decoded, int requested) {
    return decoded == requested || ((requested & 1) != 0 && decoded - 1 == requested);
}

bool PictureFits(const AVFrame& frame, int width, int height) {
    return frame.format == AV_PIX_FMT_YUV420P && SizeFits(frame.width, width) &&
           SizeFits(frame.height, height) && frame.linesize[0] > 0 && frame.linesize[1] > 0 &&
           frame.linesize[2] > 0;
}

YuvView ViewOf(const AVFrame& frame, int width, int height) {
    YuvView view;
    for (int p = 0; p < 3; ++p) {
        view.plane[p] = frame.data[p];
        view.stride[p] = frame.linesize[p];
    }
    view.width = width;
    view.height = height;
    return view;
}

void ReleaseLargeStreamCopy(ThreadDecoder& decoder) {
    if (decoder.streamCopy != nullptr && decoder.streamCopy->size > kKeptStreamCopyBytes)
        av_buffer_unref(&decoder.streamCopy);
}

}  // namespace

bool DecodeHevcPicture(const uint8_t* stream, size_t length, int width, int height,
                       YuvView* picture, Error* why) {
    if (stream == nullptr || picture == nullptr || length == 0 ||
        length > static_cast<size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE) || width <= 0 ||
        height <= 0) {
        Say(why, "no HEVC stream to decode");
        return false;
    }
    ThreadDecoder& decoder = ThisThreadsDecoder();
    if (!OpenDecoder(decoder, why)) return false;
    avcodec_flush_buffers(decoder.context);  // forget the previous tile, leave the drain state
    av_frame_unref(decoder.frame);
    bool ok = CopyIntoPacket(decoder, stream, length);
    if (!ok) Say(why, "out of memory for the HEVC stream");
    ok = ok && DecodeFirstPicture(decoder, why);
    if (ok && !PictureFits(*decoder.frame, width, height)) {
        Say(why, "the HEVC picture is %d x %d in format %d, not %d x %d 4:2:0",
            decoder.frame->width, decoder.frame->height, decoder.frame->format, width, height);
        ok = false;
    }
    if (!ok) {
        // A damaged stream may leave parameter sets or errors behind; the next tile starts afresh.
        decoder.Release();
        return false;
    }
    ReleaseLargeStreamCopy(decoder);
    *picture = ViewOf(*decoder.frame, width, height);
    return true;
}

}  // namespace tarn
