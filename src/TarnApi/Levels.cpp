// The levels' getters.
#include "TarnApi/Levels.h"

namespace tarn {

const Level* FindLevel(SlideCall& call, int32_t level) {
    const std::vector<Level>& levels = call.slide().levels;
    if (level >= 0 && static_cast<size_t>(level) < levels.size())
        return &levels[static_cast<size_t>(level)];
    call.Fail("level %d does not exist (the slide has %zu)", level, levels.size());
    return nullptr;
}

}  // namespace tarn

using namespace tarn;

int32_t tarn_get_level_count(tarn_slide* slide) {
    return OnSlide(slide, int32_t{-1}, [](SlideCall& call) {
        return static_cast<int32_t>(call.slide().levels.size());
    });
}

namespace {

void LevelDimensions(tarn_slide* slide, int32_t level, int64_t* w, int64_t* h) {
    int64_t width = -1, height = -1;
    OnSlideVoid(slide, [&](SlideCall& call) {
        if (const Level* found = FindLevel(call, level)) {
            width = found->width;
            height = found->height;
        }
    });
    if (w != nullptr) *w = width;
    if (h != nullptr) *h = height;
}

}  // namespace

void tarn_get_level_dimensions(tarn_slide* slide, int32_t level, int64_t* w, int64_t* h) {
    LevelDimensions(slide, level, w, h);
}

void tarn_get_level0_dimensions(tarn_slide* slide, int64_t* w, int64_t* h) {
    LevelDimensions(slide, 0, w, h);
}

double tarn_get_level_downsample(tarn_slide* slide, int32_t level) {
    return OnSlide(slide, -1.0, [&](SlideCall& call) {
        const Level* found = FindLevel(call, level);
        return found != nullptr ? found->downsample : -1.0;
    });
}

int32_t tarn_get_best_level_for_downsample(tarn_slide* slide, double downsample) {
    return OnSlide(slide, int32_t{-1},
                   [&](SlideCall& call) { return BestLevelFor(call.slide().levels, downsample); });
}
