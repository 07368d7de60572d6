// Which colour table a read through a slide handle uses: the slide's own (kept in its state,
// SlideState.h). Reads pin that table for their duration, so closing another slide never changes
// what this one decodes.
#pragma once

#include <optional>

#include "ColorCorrect/ColorTables.h"
#include "DecodeTarn.h"

namespace tarn {

// The colours of one read through `info`. A handle the library did not open falls back to the
// table `ColorTable` points at; either way the table stays alive until this object goes.
class SlideColors {
  public:
    explicit SlideColors(const ZyTarnInfo* info);
    ~SlideColors();
    SlideColors(const SlideColors&) = delete;
    SlideColors& operator=(const SlideColors&) = delete;

    const ColorLookup& lookup() const { return lookup_; }

  private:
    const ColorLut* lut_ = nullptr;
    std::optional<PinnedGlobalTable> global_;
    ColorLookup lookup_;
};

}  // namespace tarn
