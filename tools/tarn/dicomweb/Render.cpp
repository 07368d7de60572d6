#include "dicomweb/Render.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "dicom/Frames.h"
#include "dicomweb/Retrieve.h"

namespace tarncli::dicomweb {
namespace {

using tarn::dicom::ImageKind;
using tarn::dicom::Instance;

struct RenderRequest {
    bool png = false;
    int64_t viewportWidth = 0;  // 0: none
    int64_t viewportHeight = 0;
    int quality = 0;  // 0: the slide's
};

bool ParseNumber(const std::string& text, int64_t low, int64_t high, int64_t* value) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::strtoll(text.c_str(), nullptr, 10);
    return *value >= low && *value <= high;
}

// The format from Accept, and the parameters; an answer other than 200 when they do not do.
Answer ParseRender(const Context& context, RenderRequest* render) {
    const int chosen = Negotiate(context.accept, {{"image/jpeg", ""}, {"image/png", ""}});
    if (chosen < 0) return ErrorAnswer(406, "rendered images are image/jpeg or image/png");
    render->png = chosen == 1;
    for (const auto& [name, value] : context.request.query) {
        if (name == "viewport") {
            const size_t comma = value.find(',');
            if (comma == std::string::npos || value.find(',', comma + 1) != std::string::npos ||
                !ParseNumber(value.substr(0, comma), 1, 65500, &render->viewportWidth) ||
                !ParseNumber(value.substr(comma + 1), 1, 65500, &render->viewportHeight)) {
                return ErrorAnswer(400, "viewport is WIDTH,HEIGHT (1 to 65500 pixels)");
            }
        } else if (name == "quality") {
            int64_t quality = 0;
            if (!ParseNumber(value, 1, 100, &quality))
                return ErrorAnswer(400, "quality is 1 to 100");
            render->quality = static_cast<int>(quality);
        }
    }
    return Answer{};
}

struct PngSink {
    std::string* out;
    jmp_buf jump;
    char message[200];
};

void PngWrite(png_structp png, png_bytep data, png_size_t size) {
    auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
    sink->out->append(reinterpret_cast<const char*>(data), size);
}

void PngFlush(png_structp) {}

void PngError(png_structp png, png_const_charp message) {
    auto* sink = static_cast<PngSink*>(png_get_error_ptr(png));
    std::snprintf(sink->message, sizeof sink->message, "%s", message);
    std::longjmp(sink->jump, 1);
}

void PngWarning(png_structp, png_const_charp) {}

// Runs libpng, whose errors jump back here; the caller releases the structures.
bool RunPng(png_structp png, png_infop info, PngSink* sink, const uint8_t* rgb, uint32_t width,
            uint32_t height) {
    if (setjmp(sink->jump) != 0) return false;
    png_set_write_fn(png, sink, PngWrite, PngFlush);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    png_write_info(png, info);
    for (uint32_t y = 0; y < height; ++y)
        png_write_row(png, rgb + size_t{y} * width * 3);
    png_write_end(png, info);
    return true;
}

// The image answer of `rgb` at its size scaled to outWidth x outHeight.
Answer Encode(const Slide& slide, const RenderRequest& render, const std::vector<uint8_t>& rgb,
              int64_t width, int64_t height, int64_t outWidth, int64_t outHeight) {
    std::vector<uint8_t> scaled;
    const uint8_t* pixels = rgb.data();
    if (outWidth != width || outHeight != height) {
        scaled = Resize(rgb.data(), width, height, outWidth, outHeight);
        pixels = scaled.data();
    }
    std::string error;
    const auto w = static_cast<uint32_t>(outWidth);
    const auto h = static_cast<uint32_t>(outHeight);
    if (render.png) {
        std::string png;
        if (!EncodePng(pixels, w, h, &png, &error)) return ErrorAnswer(500, error);
        return BodyAnswer("image/png", std::move(png));
    }
    std::vector<uint8_t> jpeg;
    const int quality =
        render.quality > 0 ? render.quality : slide.prepared->description.jpegQuality;
    if (!tarn::dicom::EncodeFrameJpeg(pixels, w, h, quality, &jpeg, &error))
        return ErrorAnswer(500, error);
    return BodyAnswer("image/jpeg", std::string(jpeg.begin(), jpeg.end()));
}

// The stored frame as it is, where it is exactly the picture asked for.
Answer StoredFrame(const Context& context, const InstanceRef& instance, int64_t frame) {
    std::vector<uint8_t> jpeg;
    std::string error;
    if (!context.frames(*instance.slide, instance.index, frame, &jpeg, &error))
        return ErrorAnswer(500, error);
    return BodyAnswer("image/jpeg", std::string(jpeg.begin(), jpeg.end()));
}

}  // namespace

void FitWithin(int64_t width, int64_t height, int64_t boxWidth, int64_t boxHeight,
               int64_t* fitWidth, int64_t* fitHeight) {
    // Compared as products, which stay within 64 bits for sides below 2^31.
    if (width * boxHeight <= height * boxWidth) {
        *fitHeight = boxHeight;
        *fitWidth = std::max<int64_t>(1, (width * boxHeight + height / 2) / height);
    } else {
        *fitWidth = boxWidth;
        *fitHeight = std::max<int64_t>(1, (height * boxWidth + width / 2) / width);
    }
}

std::vector<uint8_t> Resize(const uint8_t* rgb, int64_t width, int64_t height, int64_t outWidth,
                            int64_t outHeight) {
    std::vector<uint8_t> out(static_cast<size_t>(outWidth * outHeight * 3));
    // The source span [first, last) of output index i, at least one pixel.
    const auto span = [](int64_t i, int64_t in, int64_t outSide, int64_t* first, int64_t* last) {
        *first = i * in / outSide;
        *last = std::max(*first + 1, (i + 1) * in / outSide);
    };
    std::vector<uint64_t> sums(static_cast<size_t>(outWidth) * 3);
    for (int64_t oy = 0; oy < outHeight; ++oy) {
        int64_t y0 = 0;
        int64_t y1 = 0;
        span(oy, height, outHeight, &y0, &y1);
        std::fill(sums.begin(), sums.end(), 0);
        for (int64_t y = y0; y < y1; ++y) {
            const uint8_t* row = rgb + y * width * 3;
            for (int64_t ox = 0; ox < outWidth; ++ox) {
                int64_t x0 = 0;
                int64_t x1 = 0;
                span(ox, width, outWidth, &x0, &x1);
                for (int64_t x = x0; x < x1; ++x) {
                    for (int c = 0; c < 3; ++c)
                        sums[static_cast<size_t>(ox * 3 + c)] += row[x * 3 + c];
                }
            }
        }
        for (int64_t ox = 0; ox < outWidth; ++ox) {
            int64_t x0 = 0;
            int64_t x1 = 0;
            span(ox, width, outWidth, &x0, &x1);
            const uint64_t count = static_cast<uint64_t>((x1 - x0) * (y1 - y0));
            for (int c = 0; c < 3; ++c) {
                out[static_cast<size_t>((oy * outWidth + ox) * 3 + c)] = static_cast<uint8_t>(
                    (sums[static_cast<size_t>(ox * 3 + c)] + count / 2) / count);
            }
        }
    }
    return out;
}

bool EncodePng(const uint8_t* rgb, uint32_t width, uint32_t height, std::string* png,
               std::string* error) {
    auto sink = std::make_unique<PngSink>();
    sink->out = png;
    png->clear();
    png_structp writer =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, sink.get(), PngError, PngWarning);
    if (writer == nullptr) {
        *error = "cannot start a PNG";
        return false;
    }
    png_infop info = png_create_info_struct(writer);
    const bool ok = info != nullptr && RunPng(writer, info, sink.get(), rgb, width, height);
    if (!ok) *error = std::string("cannot encode a PNG: ") + sink->message;
    png_destroy_write_struct(&writer, &info);
    return ok;
}

size_t RepresentativeInstance(const Context& context, const Slide& slide) {
    const std::vector<Instance>& instances = slide.prepared->instances;
    size_t coarsest = 0;
    for (size_t i = 0; i < instances.size(); ++i) {
        if (instances[i].kind == ImageKind::Thumbnail && context.Visible(slide, i)) return i;
        if (instances[i].kind == ImageKind::Volume) coarsest = i;
    }
    return coarsest;
}

Answer RenderInstance(const Context& context, const InstanceRef& instance) {
    RenderRequest render;
    Answer refused = ParseRender(context, &render);
    if (refused.status != 200) return refused;
    const std::vector<Instance>& instances = instance.slide->prepared->instances;
    const Instance& asked = instances[instance.index];
    const int64_t width = asked.grid.total.width;
    const int64_t height = asked.grid.total.height;
    int64_t outWidth = width;
    int64_t outHeight = height;
    if (render.viewportWidth > 0)
        FitWithin(width, height, render.viewportWidth, render.viewportHeight, &outWidth,
                  &outHeight);
    const int64_t bound = context.options.maxRenderedPixels;
    if (outWidth > bound / outHeight)
        return ErrorAnswer(400, "the rendered image would be too large");

    // Every level shows the same area: a coarser one that still fills the answer reads less.
    size_t source = instance.index;
    if (asked.kind == ImageKind::Volume) {
        for (size_t i = instances.size(); i-- > instance.index;) {
            const Instance& level = instances[i];
            if (level.kind == ImageKind::Volume && level.grid.total.width >= outWidth &&
                level.grid.total.height >= outHeight) {
                source = i;
                break;
            }
        }
    }
    const Instance& read = instances[source];
    const int64_t readWidth = read.grid.total.width;
    const int64_t readHeight = read.grid.total.height;
    if (readWidth > bound / readHeight) {
        return ErrorAnswer(400,
                           "the image is too large to render whole: ask for a viewport, or "
                           "for its frames");
    }
    const bool asStored = read.grid.FrameCount() == 1 && read.grid.frameWidth == readWidth &&
                          read.grid.frameHeight == readHeight;
    if (!render.png && render.quality == 0 && asStored && outWidth == readWidth &&
        outHeight == readHeight) {
        return StoredFrame(context, {instance.slide, source}, 0);
    }
    std::vector<uint8_t> rgb;
    std::string error;
    if (!tarn::dicom::ReadInstancePixels(instance.slide->slide, *instance.slide->prepared, source,
                                         0, 0, static_cast<uint32_t>(readWidth),
                                         static_cast<uint32_t>(readHeight), &rgb, &error)) {
        return ErrorAnswer(500, error);
    }
    return Encode(*instance.slide, render, rgb, readWidth, readHeight, outWidth, outHeight);
}

Answer RenderFrame(const Context& context, const InstanceRef& instance, const std::string& list) {
    std::vector<int64_t> numbers;
    std::string error;
    if (!ParseFrameList(list, 1, &numbers, &error))
        return ErrorAnswer(400, "one frame is rendered at a time");
    const Instance& asked = instance.slide->prepared->instances[instance.index];
    if (numbers[0] > asked.grid.FrameCount()) return ErrorAnswer(404, "no such frame");
    RenderRequest render;
    Answer refused = ParseRender(context, &render);
    if (refused.status != 200) return refused;
    const int64_t frame = numbers[0] - 1;
    const int64_t width = asked.grid.frameWidth;
    const int64_t height = asked.grid.frameHeight;
    int64_t outWidth = width;
    int64_t outHeight = height;
    if (render.viewportWidth > 0)
        FitWithin(width, height, render.viewportWidth, render.viewportHeight, &outWidth,
                  &outHeight);
    if (outWidth > context.options.maxRenderedPixels / outHeight)
        return ErrorAnswer(400, "the rendered image would be too large");
    if (!render.png && render.quality == 0 && outWidth == width && outHeight == height)
        return StoredFrame(context, instance, frame);
    const tarn::dicom::FramePosition at = tarn::dicom::PositionOf(asked.grid, frame);
    std::vector<uint8_t> rgb;
    if (!tarn::dicom::ReadInstancePixels(instance.slide->slide, *instance.slide->prepared,
                                         instance.index, at.x, at.y, static_cast<uint32_t>(width),
                                         static_cast<uint32_t>(height), &rgb, &error)) {
        return ErrorAnswer(500, error);
    }
    return Encode(*instance.slide, render, rgb, width, height, outWidth, outHeight);
}

}  // namespace tarncli::dicomweb
