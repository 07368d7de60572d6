// Deep Zoom tiles drawn from a slide: the area a tile stands for, read at its slide level (or at
// a coarse level built below the coarsest), scaled to the tile with the box filter.
#pragma once

#include <cstdint>

#include "Common/Status.h"
#include "Common/PixelFormat.h"
#include "Core/Tiles.h"
#include "Service/CoarseLevels.h"
#include "Service/DeepZoomGeometry.h"

namespace tarn {

// The coarse level the tiles of Deep Zoom level `level` are read from, or 0 for the slide level;
// waits for the build of the coarse levels it needs. `coarse` may be null (none built).
int32_t CoarseLevelOf(const DeepZoomPlan& plan, CoarseLevels* coarse, int32_t level);

// Whether the tiles of Deep Zoom level `level` wait for the build of `coarse`.
bool WaitsForCoarse(const DeepZoomPlan& plan, const CoarseLevels* coarse, int32_t level);

// Draws `tile` of Deep Zoom level `level` (tileWidth x tileHeight, which the caller checked fit
// in memory and in 32 bits) into `dest` in `format`, white where there is no picture (opaque in
// layouts with alpha). Status::Ok, or the failure recorded in the context.
Status RenderDeepZoomTile(const ReadContext& read, const DeepZoomPlan& plan, CoarseLevels* coarse,
                          int32_t level, const DeepZoomTile& tile, uint8_t* dest,
                          PixelFormat format);

}  // namespace tarn
