#include "TarnApi/BoxFilter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace tarn {
namespace {

// Which source pixels an output pixel covers along one axis, and with what weights (summing
// to 1).
struct Taps {
    std::vector<uint32_t> first;  // per output pixel
    std::vector<uint32_t> count;  // per output pixel
    std::vector<uint32_t> start;  // per output pixel: its weights' index in `weight`
    std::vector<float> weight;
};

Taps TapsFor(uint32_t in, uint32_t out) {
    Taps taps;
    taps.first.resize(out);
    taps.count.resize(out);
    taps.start.resize(out);
    const double step = static_cast<double>(in) / out;
    for (uint32_t o = 0; o < out; ++o) {
        const double from = o * step, to = std::min((o + 1) * step, static_cast<double>(in));
        const auto first = static_cast<uint32_t>(from);
        const auto end = std::min(in, static_cast<uint32_t>(std::ceil(to)));
        taps.first[o] = first;
        taps.start[o] = static_cast<uint32_t>(taps.weight.size());
        for (uint32_t i = first; i < std::max(end, first + 1); ++i) {
            const double covered = std::min(to, i + 1.0) - std::max(from, static_cast<double>(i));
            taps.weight.push_back(static_cast<float>(covered / step));
        }
        taps.count[o] = static_cast<uint32_t>(taps.weight.size()) - taps.start[o];
    }
    return taps;
}

uint8_t Rounded(float value) {
    return static_cast<uint8_t>(std::clamp(std::floor(value + 0.5F), 0.0F, 255.0F));
}

}  // namespace

void ScaleBox(const uint8_t* src, uint32_t srcWidth, uint32_t srcHeight, uint8_t* dst,
              uint32_t dstWidth, uint32_t dstHeight, int dstBytes) {
    const Taps across = TapsFor(srcWidth, dstWidth), down = TapsFor(srcHeight, dstHeight);
    // Across first, every source row; then down.
    std::vector<float> rows(size_t{srcHeight} * dstWidth * 3);
    for (uint32_t y = 0; y < srcHeight; ++y) {
        const uint8_t* line = src + size_t{y} * srcWidth * 3;
        float* out = rows.data() + size_t{y} * dstWidth * 3;
        for (uint32_t o = 0; o < dstWidth; ++o) {
            float sum[3] = {0, 0, 0};
            const float* weight = across.weight.data() + across.start[o];
            const uint8_t* pixel = line + size_t{across.first[o]} * 3;
            for (uint32_t t = 0; t < across.count[o]; ++t, pixel += 3)
                for (int c = 0; c < 3; ++c)
                    sum[c] += weight[t] * pixel[c];
            for (int c = 0; c < 3; ++c)
                out[size_t{o} * 3 + c] = sum[c];
        }
    }
    std::vector<float> line(size_t{dstWidth} * 3);
    for (uint32_t o = 0; o < dstHeight; ++o) {
        std::fill(line.begin(), line.end(), 0.0F);
        const float* weight = down.weight.data() + down.start[o];
        for (uint32_t t = 0; t < down.count[o]; ++t) {
            const float* row = rows.data() + size_t{down.first[o] + t} * dstWidth * 3;
            for (size_t i = 0; i < line.size(); ++i)
                line[i] += weight[t] * row[i];
        }
        uint8_t* out = dst + size_t{o} * dstWidth * static_cast<size_t>(dstBytes);
        for (uint32_t x = 0; x < dstWidth; ++x, out += dstBytes) {
            for (int c = 0; c < 3; ++c)
                out[c] = Rounded(line[size_t{x} * 3 + c]);
            if (dstBytes == 4) out[3] = 255;
        }
    }
}

}  // namespace tarn
