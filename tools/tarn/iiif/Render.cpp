#include "iiif/Render.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

namespace tarncli::iiif {

namespace {

// A region [start, start + length) of full-resolution pixels, in pixels of a source of
// `downsample` and `size` pixels: every source pixel it touches, within the source.
void MapSpan(int64_t start, int64_t length, double downsample, int64_t size, int64_t* first,
             int64_t* count) {
    int64_t begin = 0, end = 0;
    const auto whole = static_cast<int64_t>(downsample);
    if (static_cast<double>(whole) == downsample) {
        begin = start / whole;
        end = (start + length + whole - 1) / whole;
    } else {
        begin = static_cast<int64_t>(std::floor(static_cast<double>(start) / downsample));
        end = static_cast<int64_t>(std::ceil(static_cast<double>(start + length) / downsample));
    }
    end = std::min(end, size);
    *first = begin;
    *count = std::max(end - begin, int64_t{0});
}

// How one axis of the source shrinks onto the output. Source pixel j spans [j * out, (j+1) * out)
// and output pixel i spans [i * in, (i+1) * in) on a common scale; the weight of j in i is their
// overlap, divided by gcd(in, out) to keep sums small. As in >= out, each source pixel overlaps
// one output pixel or two neighbours.
struct Axis {
    std::vector<int32_t> first;              // the first output pixel source pixel j falls in
    std::vector<uint32_t> weight0, weight1;  // its weight in that pixel and in the next
    uint64_t total = 0;                      // the weights of one output pixel summed: in / gcd
};

Axis MakeAxis(int64_t in, int64_t out) {
    Axis axis;
    const int64_t unit = std::gcd(in, out);
    axis.total = static_cast<uint64_t>(in / unit);
    axis.first.resize(in);
    axis.weight0.resize(in);
    axis.weight1.resize(in);
    for (int64_t j = 0; j < in; ++j) {
        const int64_t begin = j * out, end = begin + out;
        const int64_t i = begin / in;
        const int64_t split = std::min(end, (i + 1) * in);
        axis.first[j] = static_cast<int32_t>(i);
        axis.weight0[j] = static_cast<uint32_t>((split - begin) / unit);
        axis.weight1[j] = static_cast<uint32_t>((end - split) / unit);
    }
    return axis;
}

// The end of the block that starts at `position` (relative to a source rectangle beginning at
// `origin`): at most `step` long, cut where the source's tiles are cut when a step spans tiles.
int64_t BlockEnd(int64_t position, int64_t origin, int64_t step, int64_t tile, int64_t limit) {
    if (step >= tile) {
        step -= step % tile;
        const int64_t absolute = origin + position;
        return std::min(limit, (absolute / step + 1) * step - origin);
    }
    return std::min(limit, position + step);
}

// Divides by a fixed total, rounding to nearest: a multiplication, corrected to the exact result.
struct Divider {
    uint64_t total, half;
    double inverse;
    explicit Divider(uint64_t t) : total(t), half(t / 2), inverse(1.0 / static_cast<double>(t)) {}
    uint8_t operator()(uint64_t sum) const {
        const uint64_t n = sum + half;
        auto q = static_cast<uint64_t>(static_cast<double>(n) * inverse);
        while (q * total > n)
            --q;
        while ((q + 1) * total <= n)
            ++q;
        return static_cast<uint8_t>(std::min<uint64_t>(q, 255));
    }
};

uint8_t Luma(const uint8_t* rgb) {
    return static_cast<uint8_t>((54 * rgb[0] + 183 * rgb[1] + 19 * rgb[2] + 128) >> 8);
}

// Places scaled row `row` into the answer, turned to the quality, mirrored and rotated.
class Writer {
  public:
    Writer(const ResolvedRequest& request, Pixels* pixels) : request_(request), pixels_(pixels) {
        pixels->width = request.OutputWidth();
        pixels->height = request.OutputHeight();
        pixels->channels =
            request.quality == Quality::Gray || request.quality == Quality::Bitonal ? 1 : 3;
        // Every pixel is written below, so a buffer kept from an earlier answer is not cleared.
        pixels->data.resize(static_cast<size_t>(pixels->width) * pixels->height * pixels->channels);
    }

    // Whether scaled rows are the answer's rows as they are, so that reads may go straight in.
    bool Straight() const {
        return request_.rotation == 0 && !request_.mirror && pixels_->channels == 3;
    }

    void Put(int64_t row, const uint8_t* rgb) {
        const int64_t w = request_.width, h = request_.height, stride = pixels_->width;
        if (Straight()) {
            std::memcpy(pixels_->data.data() + row * stride * 3, rgb, static_cast<size_t>(w) * 3);
            return;
        }
        // Scaled pixel (i, row), after the mirror (i' = w - 1 - i), lands at (X, Y) = a + i * d.
        int64_t x0 = 0, y0 = 0, dx = 0, dy = 0;
        switch (request_.rotation) {
            case 90:
                x0 = h - 1 - row, y0 = 0, dx = 0, dy = 1;
                break;
            case 180:
                x0 = w - 1, y0 = h - 1 - row, dx = -1, dy = 0;
                break;
            case 270:
                x0 = row, y0 = w - 1, dx = 0, dy = -1;
                break;
            default:
                x0 = 0, y0 = row, dx = 1, dy = 0;
                break;
        }
        if (request_.mirror) {
            x0 += (w - 1) * dx, y0 += (w - 1) * dy;
            dx = -dx, dy = -dy;
        }
        const int channels = pixels_->channels;
        const int64_t step = (dy * stride + dx) * channels;
        int64_t at = (y0 * stride + x0) * channels;
        for (int64_t i = 0; i < w; ++i, at += step, rgb += 3) {
            uint8_t* out = pixels_->data.data() + at;
            if (request_.quality == Quality::Gray) {
                out[0] = Luma(rgb);
            } else if (request_.quality == Quality::Bitonal) {
                out[0] = Luma(rgb) >= 128 ? 255 : 0;
            } else {
                out[0] = rgb[0], out[1] = rgb[1], out[2] = rgb[2];
            }
        }
    }

  private:
    const ResolvedRequest& request_;
    Pixels* pixels_;
};

int Read(tarn_slide* slide, const Source& source, uint8_t* dest, int64_t x, int64_t y, int64_t w,
         int64_t h) {
    return source.coarse
               ? tarn_read_coarse_region(slide, dest, source.level, x, y, w, h, TARN_FORMAT_RGB)
               : tarn_read_level_region(slide, dest, source.level, x, y, w, h, TARN_FORMAT_RGB);
}

Error ReadFailure(tarn_slide* slide) {
    const char* why = tarn_get_error(slide);
    return {500,
            std::string("cannot read the slide: ") + (why != nullptr ? why : "unknown failure")};
}

// A region read at its source's own scale (a tile at its scale factor, most often): every output
// pixel is one source pixel, so the rows go straight to the answer, a band of whole tile rows of
// at most the block budget at a time.
Error CopyPixels(tarn_slide* slide, const Source& source, const SourcePlan& plan,
                 const ResolvedRequest& request, const RenderOptions& options, Pixels* pixels) {
    Writer writer(request, pixels);
    if (writer.Straight()) {  // the whole region at once, straight into the answer
        if (Read(slide, source, pixels->data.data(), plan.x, plan.y, plan.w, plan.h) != 0)
            return ReadFailure(slide);
        return {};
    }
    const int64_t budget = static_cast<int64_t>(std::max<size_t>(options.blockBytes, 3 * 1024));
    const int64_t bandRows = std::min(plan.h, std::max<int64_t>(budget / 3 / plan.w, 1));
    std::vector<uint8_t> band(static_cast<size_t>(plan.w) * bandRows * 3);
    for (int64_t top = 0; top < plan.h;) {
        const int64_t bottom = BlockEnd(top, plan.y, bandRows, source.tileHeight, plan.h);
        if (Read(slide, source, band.data(), plan.x, plan.y + top, plan.w, bottom - top) != 0)
            return ReadFailure(slide);
        for (int64_t r = top; r < bottom; ++r)
            writer.Put(r, band.data() + (r - top) * plan.w * 3);
        top = bottom;
    }
    return {};
}

}  // namespace

SourcePlan PlanSource(const SlideFacts& facts, const ResolvedRequest& request) {
    SourcePlan plan;
    plan.w = request.w;
    plan.h = request.h;
    plan.x = request.x;
    plan.y = request.y;
    for (size_t index = facts.sources.size(); index-- > 1;) {
        const Source& source = facts.sources[index];
        SourcePlan candidate;
        candidate.source = index;
        MapSpan(request.x, request.w, source.downsample, source.width, &candidate.x, &candidate.w);
        MapSpan(request.y, request.h, source.downsample, source.height, &candidate.y, &candidate.h);
        if (candidate.w >= request.width && candidate.h >= request.height) return candidate;
    }
    return plan;
}

bool ReadsCoarseLevels(const SlideFacts& facts, const ResolvedRequest& request) {
    const SourcePlan plan = PlanSource(facts, request);
    return plan.source < facts.sources.size() && facts.sources[plan.source].coarse;
}

Error RenderPixels(tarn_slide* slide, const SlideFacts& facts, const ResolvedRequest& request,
                   const RenderOptions& options, Pixels* pixels) {
    const SourcePlan plan = PlanSource(facts, request);
    const int64_t ow = request.width, oh = request.height, sw = plan.w, sh = plan.h;
    // Sums of a row stay within 32 bits while 255 * sw does; no slide comes near.
    if (facts.sources.empty() || ow < 1 || oh < 1 || sw < ow || sh < oh || sw >= (1 << 23) ||
        sh >= (1 << 23))
        return {500, "cannot draw this region"};
    // Only a size far out of the region's proportions reads much more than the answer's pixels.
    if (sw * sh > options.maxReadPixels)
        return BadRequest("size is too far out of the region's proportions to draw");
    const Source& source = facts.sources[plan.source];
    if (sw == ow && sh == oh) return CopyPixels(slide, source, plan, request, options, pixels);
    const Axis across = MakeAxis(sw, ow), down = MakeAxis(sh, oh);
    const Divider divide(across.total * down.total);

    // Blocks of whole source tiles where the budget allows, each row of a block spread at once
    // into the output rows it falls in.
    const auto budget = static_cast<int64_t>(std::max<size_t>(options.blockBytes, 3 * 1024));
    const int64_t blockColumns = std::min<int64_t>(sw, budget / 3 / 16);
    // A band's row sums (4 bytes a channel) take at most twice the budget.
    const int64_t blockRows =
        std::max<int64_t>(std::min(budget / 3 / blockColumns, budget / 6 / (ow + 1)), 1);
    std::vector<uint8_t> block(static_cast<size_t>(blockColumns) * std::min(blockRows, sh) * 3);
    std::vector<uint32_t> rowSums(static_cast<size_t>(ow + 1) * 3);
    std::vector<uint64_t> outputSums[2] = {std::vector<uint64_t>((ow + 1) * 3),
                                           std::vector<uint64_t>((ow + 1) * 3)};
    std::vector<uint8_t> scaled(static_cast<size_t>(ow) * 3);
    Writer writer(request, pixels);
    int64_t emitted = 0;  // output rows done

    for (int64_t top = 0; top < sh;) {
        const int64_t bottom = BlockEnd(top, plan.y, blockRows, source.tileHeight, sh);
        const int64_t rows = bottom - top;
        // Every row of the band, summed across: a band of (bottom - top) rows of sums.
        std::vector<uint32_t> bandSums(static_cast<size_t>(rows) * (ow + 1) * 3, 0);
        for (int64_t left = 0; left < sw;) {
            const int64_t right = BlockEnd(left, plan.x, std::min(blockColumns, budget / 3 / rows),
                                           source.tileWidth, sw);
            const int64_t columns = right - left;
            if (Read(slide, source, block.data(), plan.x + left, plan.y + top, columns, rows) != 0)
                return ReadFailure(slide);
            // The sums of the output pixel being filled and of the next stay in registers: going
            // through memory, each source pixel would wait for the previous one's store.
            for (int64_t r = 0; r < rows; ++r) {
                const uint8_t* in = block.data() + r * columns * 3;
                uint32_t* sums = bandSums.data() + r * (ow + 1) * 3;
                int64_t i = across.first[left];
                uint32_t current[3] = {0, 0, 0}, next[3] = {0, 0, 0};
                for (int64_t j = left; j < right; ++j, in += 3) {
                    if (across.first[j] != i) {  // one further on: source pixels are no smaller
                        for (int c = 0; c < 3; ++c) {
                            sums[i * 3 + c] += current[c];
                            current[c] = next[c];
                            next[c] = 0;
                        }
                        i = across.first[j];
                    }
                    const uint32_t w0 = across.weight0[j], w1 = across.weight1[j];
                    for (int c = 0; c < 3; ++c) {
                        current[c] += w0 * in[c];
                        next[c] += w1 * in[c];
                    }
                }
                for (int c = 0; c < 3; ++c) {
                    sums[i * 3 + c] += current[c];
                    sums[i * 3 + 3 + c] += next[c];
                }
            }
            left = right;
        }
        for (int64_t r = 0; r < rows; ++r) {
            const int64_t j = top + r;
            const int32_t o = down.first[j];
            const uint32_t* sums = bandSums.data() + r * (ow + 1) * 3;
            uint64_t* first = outputSums[o & 1].data();
            uint64_t* second = outputSums[(o + 1) & 1].data();
            const uint64_t w0 = down.weight0[j], w1 = down.weight1[j];
            for (int64_t k = 0; k < ow * 3; ++k) {
                first[k] += w0 * sums[k];
                second[k] += w1 * sums[k];
            }
            // Output row o is whole once no later source row reaches into it.
            if (j + 1 == sh || down.first[j + 1] > o) {
                for (int64_t k = 0; k < ow * 3; ++k)
                    scaled[k] = divide(first[k]);
                writer.Put(o, scaled.data());
                std::fill(outputSums[o & 1].begin(), outputSums[o & 1].end(), 0);
                emitted = o + 1;
            }
        }
        top = bottom;
    }
    if (emitted != oh) return {500, "cannot draw this region"};
    return {};
}

Error RenderImage(tarn_slide* slide, const SlideFacts& facts, const ResolvedRequest& request,
                  const RenderOptions& options, std::string* bytes) {
    // The pixels of a tile-sized answer are kept for the thread's next one: memory of that size
    // comes fresh from the system each time, and faulting its pages in costs more than copying.
    constexpr size_t kKeptBytes = size_t{4} << 20;
    thread_local Pixels kept;
    Pixels pixels = std::move(kept);
    Error error = RenderPixels(slide, facts, request, options, &pixels);
    if (!error) {
        const bool encoded = request.format == Format::Png
                                 ? EncodePng(pixels, bytes, &error.message)
                                 : EncodeJpeg(pixels, options.jpegQuality, bytes, &error.message);
        if (!encoded) error.status = 500;
    }
    if (pixels.data.capacity() <= kKeptBytes) kept = std::move(pixels);
    return error;
}

}  // namespace tarncli::iiif
