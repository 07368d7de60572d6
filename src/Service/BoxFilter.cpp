#include "Service/BoxFilter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace tarn {

BoxTaps BoxTapsFor(uint32_t in, uint32_t out) {
    BoxTaps taps;
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

namespace {

uint8_t Rounded(float value) {
    return static_cast<uint8_t>(std::clamp(std::floor(value + 0.5F), 0.0F, 255.0F));
}

// One past the last source pixel output pixel `o` covers.
uint32_t TapsEnd(const BoxTaps& taps, uint32_t o) {
    return taps.first[o] + taps.count[o];
}

}  // namespace

BoxScaler::BoxScaler(uint32_t srcWidth, uint32_t srcHeight, uint32_t dstWidth, uint32_t dstHeight)
    : srcWidth_(srcWidth),
      srcHeight_(srcHeight),
      dstWidth_(dstWidth),
      dstHeight_(dstHeight),
      across_(BoxTapsFor(srcWidth, dstWidth)),
      down_(BoxTapsFor(srcHeight, dstHeight)) {}

bool BoxScaler::Run(const Reader& read, uint8_t* dst, int dstBytes, size_t maxBlockBytes) const {
    // Every output pixel sums its source pixels in the same order as a whole-source pass would
    // (across a row first, then down the rows, top to bottom), so the result is the same to the
    // bit. `rows` holds the output rows begun and not yet written, from `firstOpen` on.
    std::vector<std::vector<float>> rows;
    uint32_t firstOpen = 0;
    std::vector<uint8_t> block;
    std::vector<float> line;
    // Columns per block: whole output pixels, at least one.
    const auto blockColumns = [&](uint32_t o0, uint32_t bandRows) {
        uint32_t o1 = o0 + 1;
        while (o1 < dstWidth_ &&
               size_t{TapsEnd(across_, o1) - across_.first[o0]} * bandRows * 3 <= maxBlockBytes)
            ++o1;
        return o1;
    };
    const size_t rowBytes = size_t{srcWidth_} * 3;
    const uint32_t bandRows = static_cast<uint32_t>(
        std::clamp<size_t>(maxBlockBytes / std::max<size_t>(rowBytes, 1), 1, srcHeight_));
    for (uint32_t y0 = 0; y0 < srcHeight_; y0 += bandRows) {
        const uint32_t y1 = std::min(srcHeight_, y0 + bandRows);
        // Output rows this band adds to.
        uint32_t lastTouched = firstOpen;
        while (lastTouched + 1 < dstHeight_ && down_.first[lastTouched + 1] < y1)
            ++lastTouched;
        while (rows.size() < lastTouched - firstOpen + 1)
            rows.emplace_back(size_t{dstWidth_} * 3, 0.0F);
        for (uint32_t o0 = 0; o0 < dstWidth_;) {
            const uint32_t o1 = blockColumns(o0, y1 - y0);
            const uint32_t x0 = across_.first[o0], columns = TapsEnd(across_, o1 - 1) - x0;
            block.resize(size_t{columns} * (y1 - y0) * 3);
            if (!read(x0, y0, columns, y1 - y0, block.data())) return false;
            line.resize(size_t{o1 - o0} * 3);
            for (uint32_t y = y0; y < y1; ++y) {
                const uint8_t* src = block.data() + size_t{y - y0} * columns * 3;
                for (uint32_t o = o0; o < o1; ++o) {
                    float sum[3] = {0, 0, 0};
                    const float* weight = across_.weight.data() + across_.start[o];
                    const uint8_t* pixel = src + size_t{across_.first[o] - x0} * 3;
                    for (uint32_t t = 0; t < across_.count[o]; ++t, pixel += 3)
                        for (int c = 0; c < 3; ++c)
                            sum[c] += weight[t] * pixel[c];
                    for (int c = 0; c < 3; ++c)
                        line[size_t{o - o0} * 3 + c] = sum[c];
                }
                for (uint32_t out = firstOpen; out <= lastTouched; ++out) {
                    if (y < down_.first[out] || y >= TapsEnd(down_, out)) continue;
                    const float weight = down_.weight[down_.start[out] + (y - down_.first[out])];
                    float* sum = rows[out - firstOpen].data() + size_t{o0} * 3;
                    for (size_t i = 0; i < line.size(); ++i)
                        sum[i] += weight * line[i];
                }
            }
            o0 = o1;
        }
        // Rows whose sources have all been read are done.
        while (firstOpen < dstHeight_ && TapsEnd(down_, firstOpen) <= y1) {
            const std::vector<float>& sum = rows.front();
            uint8_t* out = dst + size_t{firstOpen} * dstWidth_ * static_cast<size_t>(dstBytes);
            for (uint32_t x = 0; x < dstWidth_; ++x, out += dstBytes) {
                for (int c = 0; c < 3; ++c)
                    out[c] = Rounded(sum[size_t{x} * 3 + c]);
                if (dstBytes == 4) out[3] = 255;
            }
            rows.erase(rows.begin());
            ++firstOpen;
        }
    }
    return true;
}

void ScaleBox(const uint8_t* src, uint32_t srcWidth, uint32_t srcHeight, uint8_t* dst,
              uint32_t dstWidth, uint32_t dstHeight, int dstBytes) {
    const BoxScaler scaler(srcWidth, srcHeight, dstWidth, dstHeight);
    const size_t rowBytes = size_t{srcWidth} * 3;
    scaler.Run(
        [&](uint32_t x, uint32_t y, uint32_t columns, uint32_t rows, uint8_t* out) {
            for (uint32_t r = 0; r < rows; ++r)
                std::copy_n(src + (y + r) * rowBytes + size_t{x} * 3, size_t{columns} * 3,
                            out + size_t{r} * columns * 3);
            return true;
        },
        dst, dstBytes, SIZE_MAX);
}

}  // namespace tarn
