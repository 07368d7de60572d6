#include "DecodeTarn/SlideColors.h"

#include "DecodeTarn/SlideState.h"

namespace tarn {

SlideColors::SlideColors(const ZyTarnInfo* info) : lut_(RetainSlideColorLut(info)) {
    if (lut_ != nullptr) {
        lookup_ = LookupOf(lut_);
    } else {
        global_.emplace();
        lookup_ = global_->lookup();
    }
}

SlideColors::~SlideColors() {
    if (lut_ != nullptr) ReleaseColorLut(lut_);
}

}  // namespace tarn
