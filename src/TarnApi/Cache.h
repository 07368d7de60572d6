// The tile caches of tarn.h: the process's default cache and those callers create.
#pragma once

#include "TarnApi/Slide.h"

namespace tarn {

// Drops a slide's reference to the cache it was given (null: it used the default one).
void ReleaseSlideCache(TileCache* cache);

}  // namespace tarn
