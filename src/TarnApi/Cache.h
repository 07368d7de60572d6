// The tile caches of tarn.h: the process's default cache and those callers create.
#pragma once

#include "TarnApi/Slide.h"

namespace tarn {

// The cache a read on `slide` goes through (null: the default one), held until
// ReleaseSlideCache, so that a tarn_set_cache on another thread cannot free it under the read.
TileCache* AcquireSlideCache(tarn_slide& slide);
// Drops a reference taken by AcquireSlideCache, or the slide's own at close. Null is ignored.
void ReleaseSlideCache(TileCache* cache);

}  // namespace tarn
