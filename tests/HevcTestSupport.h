// Shared by the HEVC and YUV tests: colour tables whose effect is easy to predict, a plain
// reference conversion, and an independent decode straight through libavcodec.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "DecodeTarn.h"

namespace hevctest {

using Bytes = std::vector<uint8_t>;

// A ColorCorrectTable whose output channel c (0 red, 1 green, 2 blue) is
// Transform(c, input channel source[c]). Rows are shared between indices, so the table costs
// about 2 MB instead of 48.
class ChannelTable {
  public:
    explicit ChannelTable(std::array<int, 3> source) : source_(source) {
        for (int c = 0; c < 3; ++c) {
            for (int v = 0; v < 256; ++v) {
                const uint8_t out = Transform(c, static_cast<uint8_t>(v));
                constRows_[c * 256 + v].fill(out);
                blueRows_[c][v] = out;
            }
            table_.plane[c] = &planes_[c * 256];
            for (int r = 0; r < 256; ++r) {
                planes_[c * 256 + r] = &rows_[(c * 256 + r) * 256];
                for (int g = 0; g < 256; ++g)
                    rows_[(c * 256 + r) * 256 + g] = RowFor(c, r, g);
            }
        }
        for (int v = 0; v < 256; ++v)
            table_.range[v] = static_cast<uint8_t>(v);
    }
    ChannelTable(const ChannelTable&) = delete;
    ChannelTable& operator=(const ChannelTable&) = delete;

    // Distinct per channel, so a byte placed in the wrong position shows.
    static uint8_t Transform(int channel, uint8_t v) {
        switch (channel) {
            case 0:
                return static_cast<uint8_t>(255 - v);
            case 1:
                return static_cast<uint8_t>(v / 2 + 64);
            default:
                return static_cast<uint8_t>(v ^ 0x5A);
        }
    }

    // Corrected (R', G', B') for an input triple.
    std::array<uint8_t, 3> Correct(uint8_t r, uint8_t g, uint8_t b) const {
        const uint8_t in[3] = {r, g, b};
        return {Transform(0, in[source_[0]]), Transform(1, in[source_[1]]),
                Transform(2, in[source_[2]])};
    }

    // Every entry packed as B' | G' << 8 | R' << 16 at index R << 16 | G << 8 | B (64 MB).
    std::vector<uint32_t> Packed() const {
        std::vector<uint32_t> packed(size_t{1} << 24);
        for (uint32_t i = 0; i < packed.size(); ++i) {
            const auto c = Correct(static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8),
                                   static_cast<uint8_t>(i));
            packed[i] = c[2] | (c[1] << 8) | (c[0] << 16);
        }
        return packed;
    }

    ColorCorrectTable* table() { return &table_; }

  private:
    unsigned char* RowFor(int c, int r, int g) {
        switch (source_[c]) {
            case 0:
                return constRows_[c * 256 + r].data();
            case 1:
                return constRows_[c * 256 + g].data();
            default:
                return blueRows_[c].data();
        }
    }

    std::array<int, 3> source_;
    ColorCorrectTable table_{};
    // constRows_[c * 256 + v]: 256 times Transform(c, v); blueRows_[c][b]: Transform(c, b).
    std::vector<std::array<unsigned char, 256>> constRows_ =
        std::vector<std::array<unsigned char, 256>>(3 * 256);
    std::array<std::array<unsigned char, 256>, 3> blueRows_{};
    std::vector<unsigned char*> rows_ = std::vector<unsigned char*>(3 * 256 * 256);
    std::vector<unsigned char**> planes_ = std::vector<unsigned char**>(3 * 256);
};

inline constexpr std::array<int, 3> kStraight = {0, 1, 2};

// Points the global ColorTable at `table` for the lifetime of the guard.
class GlobalTable {
  public:
    explicit GlobalTable(ColorCorrectTable* table) : previous_(ColorTable) { ColorTable = table; }
    ~GlobalTable() { ColorTable = previous_; }
    GlobalTable(const GlobalTable&) = delete;
    GlobalTable& operator=(const GlobalTable&) = delete;

  private:
    ColorCorrectTable* previous_;
};

// The conversion written out plainly, one pixel at a time.
inline std::array<uint8_t, 3> Bt601(int y, int u, int v) {
    const auto clamp = [](int x) { return static_cast<uint8_t>(x < 0 ? 0 : (x > 255 ? 255 : x)); };
    const int ys = y - 16, us = u - 128, vs = v - 128;
    return {clamp((298 * ys + 409 * vs + 128) >> 8),
            clamp((298 * ys - 100 * us - 208 * vs + 128) >> 8),
            clamp((298 * ys + 516 * us + 128) >> 8)};
}

// Bytes per pixel and where red, green, blue and alpha go (-1: nowhere).
struct Layout {
    int bytes, red, green, blue, alpha;
};

inline Layout LayoutOf(int space) {
    switch (space) {
        case CS_RGB24:
            return {3, 0, 1, 2, -1};
        case CS_BGR24:
            return {3, 2, 1, 0, -1};
        case CS_ARGB:
            return {4, 1, 2, 3, 0};
        case CS_ABGR:
            return {4, 3, 2, 1, 0};
        case CS_BGRA:
            return {4, 2, 1, 0, 3};
        default:
            return {4, 0, 1, 2, 3};
    }
}

// Planes of a picture with arbitrary strides.
struct Planes {
    const uint8_t* data[3];
    int stride[3];
};

// Pixels (x0 .. x0 + w, y0 .. y0 + h) of a picture, converted and corrected, gapless rows.
inline Bytes ReferenceConvert(const Planes& p, const ChannelTable& table, int x0, int y0, int w,
                              int h, int space) {
    const Layout layout = LayoutOf(space);
    Bytes out(static_cast<size_t>(w) * h * layout.bytes);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int px = x0 + x, py = y0 + y;
            const auto rgb =
                Bt601(p.data[0][py * p.stride[0] + px], p.data[1][(py / 2) * p.stride[1] + px / 2],
                      p.data[2][(py / 2) * p.stride[2] + px / 2]);
            const auto c = table.Correct(rgb[0], rgb[1], rgb[2]);
            uint8_t* o = &out[(static_cast<size_t>(y) * w + x) * layout.bytes];
            o[layout.red] = c[0];
            o[layout.green] = c[1];
            o[layout.blue] = c[2];
            if (layout.alpha >= 0) o[layout.alpha] = 255;
        }
    return out;
}

// A tile decoded by libavcodec directly, with a context of its own: its first picture, and
// whether it came before the decoder was drained.
struct IndependentPicture {
    bool ok = false;
    bool beforeDrain = false;
    int width = 0, height = 0;
    std::array<Bytes, 3> plane;
    std::array<int, 3> stride{};

    Planes planes() const {
        return {{plane[0].data(), plane[1].data(), plane[2].data()},
                {stride[0], stride[1], stride[2]}};
    }
};

inline IndependentPicture DecodeIndependently(const Bytes& stream) {
    IndependentPicture result;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (avcodec_open2(context, codec, nullptr) == 0 &&
        av_new_packet(packet, static_cast<int>(stream.size())) == 0) {
        memcpy(packet->data, stream.data(), stream.size());
        const bool sent = avcodec_send_packet(context, packet) == 0;
        result.beforeDrain = sent && avcodec_receive_frame(context, frame) == 0;
        if (result.beforeDrain || (sent && avcodec_send_packet(context, nullptr) == 0 &&
                                   avcodec_receive_frame(context, frame) == 0)) {
            result.ok = true;
            result.width = frame->width;
            result.height = frame->height;
            const int rows[3] = {frame->height, (frame->height + 1) / 2, (frame->height + 1) / 2};
            for (int p = 0; p < 3; ++p) {
                result.stride[p] = frame->linesize[p];
                result.plane[p].assign(
                    frame->data[p],
                    frame->data[p] + static_cast<size_t>(rows[p]) * frame->linesize[p]);
            }
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return result;
}

}  // namespace hevctest
