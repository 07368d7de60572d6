#include "dicom/Frames.h"

#include <jpeglib.h>
#include <sys/stat.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace tarn::dicom {
namespace {

struct JpegFailure {
    jpeg_error_mgr manager;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void OnJpegError(j_common_ptr info) {
    auto* failure = reinterpret_cast<JpegFailure*>(info->err);
    (*info->err->format_message)(info, failure->message);
    std::longjmp(failure->jump, 1);
}

struct JpegEncodeState {
    jpeg_compress_struct info{};
    JpegFailure failure{};
    unsigned char* output = nullptr;
    unsigned long outputSize = 0;
};

// Encodes into state->output; false (the reason in state->failure) when libjpeg fails. The
// caller releases the encoder and the output either way.
bool RunJpegEncode(JpegEncodeState* state, const uint8_t* rgb, uint32_t width, uint32_t height,
                   int quality) {
    jpeg_compress_struct* info = &state->info;
    info->err = jpeg_std_error(&state->failure.manager);
    state->failure.manager.error_exit = OnJpegError;
    if (setjmp(state->failure.jump) != 0) return false;
    jpeg_create_compress(info);
    jpeg_mem_dest(info, &state->output, &state->outputSize);
    info->image_width = width;
    info->image_height = height;
    info->input_components = 3;
    info->in_color_space = JCS_RGB;
    jpeg_set_defaults(info);
    jpeg_set_quality(info, quality, TRUE);
    // 4:2:2: luma twice across, chroma once.
    info->comp_info[0].h_samp_factor = 2;
    info->comp_info[0].v_samp_factor = 1;
    for (int c = 1; c < 3; ++c) {
        info->comp_info[c].h_samp_factor = 1;
        info->comp_info[c].v_samp_factor = 1;
    }
    jpeg_start_compress(info, TRUE);
    const size_t stride = size_t{width} * 3;
    while (info->next_scanline < info->image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + stride * info->next_scanline);
        jpeg_write_scanlines(info, &row, 1);
    }
    jpeg_finish_compress(info);
    return true;
}

std::string UtcText(std::time_t when) {
    std::tm parts{};
    gmtime_r(&when, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &parts);
    return text;
}

double PropertyNumber(tarn_slide* slide, const char* name) {
    const char* value = tarn_get_property_value(slide, name);
    return value != nullptr ? std::strtod(value, nullptr) : 0;
}

std::string SlideError(tarn_slide* slide, const char* what) {
    const char* reason = tarn_get_error(slide);
    return std::string(what) + (reason != nullptr ? std::string(": ") + reason : std::string());
}

void Associated(tarn_slide* slide, const char* name, std::optional<PixelSize>* size) {
    int64_t w = -1;
    int64_t h = -1;
    tarn_get_associated_image_dimensions(slide, name, &w, &h);
    if (w > 0 && h > 0) *size = PixelSize{w, h};
}

const char* AssociatedName(ImageKind kind) {
    switch (kind) {
        case ImageKind::Label:
            return "label";
        case ImageKind::Overview:
            return "macro";
        case ImageKind::Thumbnail:
            return "thumbnail";
        case ImageKind::Volume:
            break;
    }
    return nullptr;
}

// Scaled levels halve a level of at most 256 x 256 pixels: at most 64 times keeps a side of
// 16 pixels (the smallest tile) above one pixel.
constexpr int kMaxScale = 64;

int ReadLevelArea(tarn_slide* slide, const Level& level, int64_t x, int64_t y, int64_t w, int64_t h,
                  uint8_t* rgb) {
    return level.coarseLevel > 0
               ? tarn_read_coarse_region(slide, rgb, level.coarseLevel, x, y, w, h, TARN_FORMAT_RGB)
               : tarn_read_level_region(slide, rgb, level.tarnLevel, x, y, w, h, TARN_FORMAT_RGB);
}

// A frame of a scaled level: each pixel the mean (rounded) of the source pixels it covers inside
// the source's picture, white where it covers none; as the export library scales its tiles.
int ReadScaled(tarn_slide* slide, const Level& level, int64_t x, int64_t y, uint32_t w, uint32_t h,
               uint8_t* rgb) {
    const int64_t s = level.scale;
    int64_t sourceWidth = 0;
    int64_t sourceHeight = 0;
    if (level.coarseLevel > 0)
        tarn_get_coarse_level_dimensions(slide, level.coarseLevel, &sourceWidth, &sourceHeight);
    else
        tarn_get_level_dimensions(slide, level.tarnLevel, &sourceWidth, &sourceHeight);
    std::fill_n(rgb, size_t{w} * h * 3, uint8_t{0xFF});
    const int64_t x0 = x * s;
    const int64_t y0 = y * s;
    const int64_t readWidth = std::min<int64_t>(int64_t{w} * s, sourceWidth - x0);
    const int64_t readHeight = std::min<int64_t>(int64_t{h} * s, sourceHeight - y0);
    if (readWidth <= 0 || readHeight <= 0) return 0;
    std::vector<uint8_t> source(static_cast<size_t>(readWidth * readHeight * 3));
    if (ReadLevelArea(slide, level, x0, y0, readWidth, readHeight, source.data()) != 0) return -1;
    for (int64_t r = 0; r * s < readHeight; ++r) {
        for (int64_t c = 0; c * s < readWidth; ++c) {
            const int64_t bottom = std::min((r + 1) * s, readHeight);
            const int64_t right = std::min((c + 1) * s, readWidth);
            uint32_t sum[3] = {0, 0, 0};
            for (int64_t sy = r * s; sy < bottom; ++sy) {
                const uint8_t* p = &source[static_cast<size_t>((sy * readWidth + c * s) * 3)];
                for (int64_t sx = c * s; sx < right; ++sx, p += 3) {
                    sum[0] += p[0];
                    sum[1] += p[1];
                    sum[2] += p[2];
                }
            }
            const auto n = static_cast<uint32_t>((bottom - r * s) * (right - c * s));
            uint8_t* out = rgb + static_cast<size_t>((r * w + c) * 3);
            for (int i = 0; i < 3; ++i)
                out[i] = static_cast<uint8_t>((sum[i] + n / 2) / n);
        }
    }
    return 0;
}

}  // namespace

bool DescribeSlide(tarn_slide* slide, const char* path, const DescribeOptions& options,
                   SlideDescription* description, std::string* error) {
    SlideDescription d;
    d.tileSize = options.tileSize;
    d.jpegQuality = options.jpegQuality;
    d.metadataJson = options.metadataJson;
    d.newUids = options.newUids;
    d.softwareVersion = tarn_version();

    const int32_t stored = tarn_get_level_count(slide);
    if (stored <= 0) {
        *error = SlideError(slide, "the slide has no levels");
        return false;
    }
    for (int32_t level = 0; level < stored; ++level) {
        Level entry;
        tarn_get_level_dimensions(slide, level, &entry.size.width, &entry.size.height);
        entry.tarnLevel = level;
        d.levels.push_back(entry);
    }
    // Below the coarsest stored level, halvings down to the first that fits in one tile.
    const int32_t coarse = tarn_get_coarse_level_count(slide);
    const auto fits = [&](PixelSize size) {
        return size.width <= options.tileSize && size.height <= options.tileSize;
    };
    for (int32_t k = 1; k <= coarse && !fits(d.levels.back().size); ++k) {
        Level entry;
        tarn_get_coarse_level_dimensions(slide, k, &entry.size.width, &entry.size.height);
        entry.tarnLevel = stored - 1;
        entry.coarseLevel = k;
        d.levels.push_back(entry);
    }
    // Tiles under 256 pixels: halvings of the last level, which fits in 256 x 256, until one fits.
    const Level base = d.levels.back();
    for (int scale = 2; !fits(d.levels.back().size); scale *= 2) {
        if (scale > kMaxScale) {
            *error = "tiles of " + std::to_string(options.tileSize) +
                     " pixels are too small for this slide";
            return false;
        }
        Level entry = base;
        entry.size = {(base.size.width + scale - 1) / scale,
                      (base.size.height + scale - 1) / scale};
        entry.scale = scale;
        d.levels.push_back(entry);
    }

    const double mppX = options.mppOverride > 0 ? options.mppOverride
                                                : PropertyNumber(slide, TARN_PROPERTY_NAME_MPP_X);
    const double mppY = options.mppOverride > 0 ? options.mppOverride
                                                : PropertyNumber(slide, TARN_PROPERTY_NAME_MPP_Y);
    d.pixelSpacingXMm = mppX / 1000.0;
    d.pixelSpacingYMm = mppY / 1000.0;
    d.objectivePower = PropertyNumber(slide, TARN_PROPERTY_NAME_OBJECTIVE_POWER);

    Associated(slide, "label", &d.label);
    Associated(slide, "macro", &d.overview);
    Associated(slide, "thumbnail", &d.thumbnail);

    if (!d.newUids) {
        const char* hash = tarn_get_property_value(slide, TARN_PROPERTY_NAME_QUICKHASH1);
        if (hash == nullptr) {
            *error = SlideError(slide, "cannot read the slide's quickhash");
            return false;
        }
        d.identity = hash;
    }

    d.contentDatetime = options.contentDatetime;
    struct stat info {};
    if (d.contentDatetime.empty() && path != nullptr && std::strstr(path, "://") == nullptr &&
        ::stat(path, &info) == 0) {
        d.contentDatetime = UtcText(info.st_mtime);
    }
    if (d.contentDatetime.empty()) d.contentDatetime = UtcText(std::time(nullptr));
    *description = std::move(d);
    return true;
}

bool EncodeFrameJpeg(const uint8_t* rgb, uint32_t width, uint32_t height, int quality,
                     std::vector<uint8_t>* jpeg, std::string* error) {
    // Everything libjpeg's jump may cross lives in one place that outlives it.
    auto state = std::make_unique<JpegEncodeState>();
    const bool ok = RunJpegEncode(state.get(), rgb, width, height, quality);
    if (ok) {
        jpeg->assign(state->output, state->output + state->outputSize);
    } else {
        *error = std::string("cannot encode a frame: ") + state->failure.message;
    }
    jpeg_destroy_compress(&state->info);
    std::free(state->output);
    return ok;
}

bool ReadInstancePixels(tarn_slide* slide, const PreparedSlide& prepared, size_t index, int64_t x,
                        int64_t y, uint32_t width, uint32_t height, std::vector<uint8_t>* rgb,
                        std::string* error) {
    if (index >= prepared.instances.size()) {
        *error = "no such instance";
        return false;
    }
    const Instance& instance = prepared.instances[index];
    if (width == 0 || height == 0 || x < 0 || y < 0) {
        *error = "an empty region or one before the picture";
        return false;
    }
    // Both sides are at most 32 bits and the picture's sides far less: the size cannot wrap.
    rgb->resize(size_t{width} * height * 3);
    int status = -1;
    if (instance.kind == ImageKind::Volume) {
        const Level& level = prepared.description.levels[static_cast<size_t>(instance.level)];
        status = level.scale > 1 ? ReadScaled(slide, level, x, y, width, height, rgb->data())
                                 : ReadLevelArea(slide, level, x, y, width, height, rgb->data());
    } else {
        const char* name = AssociatedName(instance.kind);
        int64_t iw = -1;
        int64_t ih = -1;
        tarn_get_associated_image_dimensions(slide, name, &iw, &ih);
        if (iw != instance.grid.total.width || ih != instance.grid.total.height) {
            *error = std::string("the slide's ") + name + " image is not the size described";
            return false;
        }
        if (x != 0 || y != 0 || int64_t{width} != iw || int64_t{height} != ih) {
            *error = std::string("the ") + name + " image is read whole";
            return false;
        }
        status = tarn_read_associated_image(slide, name, rgb->data(), TARN_FORMAT_RGB);
    }
    if (status != 0) {
        *error = SlideError(slide, "cannot read a frame's pixels");
        return false;
    }
    return true;
}

bool ReadFrame(tarn_slide* slide, const PreparedSlide& prepared, size_t index, int64_t frame,
               std::vector<uint8_t>* jpeg, std::string* error) {
    if (index >= prepared.instances.size()) {
        *error = "no such instance";
        return false;
    }
    const Instance& instance = prepared.instances[index];
    if (frame < 0 || frame >= instance.grid.FrameCount()) {
        *error = "no such frame";
        return false;
    }
    const uint32_t w = instance.grid.frameWidth;
    const uint32_t h = instance.grid.frameHeight;
    const FramePosition at = PositionOf(instance.grid, frame);
    std::vector<uint8_t> rgb;
    return ReadInstancePixels(slide, prepared, index, at.x, at.y, w, h, &rgb, error) &&
           EncodeFrameJpeg(rgb.data(), w, h, prepared.description.jpegQuality, jpeg, error);
}

}  // namespace tarn::dicom
