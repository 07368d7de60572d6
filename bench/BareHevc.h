// libavcodec on its own, the baseline of the HEVC benchmarks: one context reused, reset between
// tiles, drained when the stream holds its picture back, no conversion.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <benchmark/benchmark.h>

#include <cstring>

#include "TarnWriter.h"

namespace tarnbench {

class BareHevcDecoder {
  public:
    // With a stream, DecodeOnce decodes it again and again.
    explicit BareHevcDecoder(const tarnwriter::Bytes& stream = {}) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
        context_ = avcodec_alloc_context3(codec);
        ready_ = context_ != nullptr && packet_ != nullptr && frame_ != nullptr &&
                 avcodec_open2(context_, codec, nullptr) == 0 && Load(stream);
    }
    ~BareHevcDecoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&context_);
    }
    BareHevcDecoder(const BareHevcDecoder&) = delete;
    BareHevcDecoder& operator=(const BareHevcDecoder&) = delete;

    bool ready() const { return ready_; }

    bool DecodeOnce() {
        avcodec_flush_buffers(context_);
        int received = avcodec_send_packet(context_, packet_);
        if (received == 0) received = avcodec_receive_frame(context_, frame_);
        if (received == AVERROR(EAGAIN) && avcodec_send_packet(context_, nullptr) == 0)
            received = avcodec_receive_frame(context_, frame_);
        benchmark::DoNotOptimize(frame_->data[0]);
        return received == 0;
    }

    bool Decode(const tarnwriter::Bytes& stream) { return Load(stream) && DecodeOnce(); }

  private:
    bool Load(const tarnwriter::Bytes& stream) {
        av_packet_unref(packet_);
        if (av_new_packet(packet_, static_cast<int>(stream.size())) != 0) return false;
        if (!stream.empty()) memcpy(packet_->data, stream.data(), stream.size());
        return true;
    }

    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = av_packet_alloc();
    AVFrame* frame_ = av_frame_alloc();
    bool ready_ = false;
};

}  // namespace tarnbench
