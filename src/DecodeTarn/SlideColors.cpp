#include "DecodeTarn/SlideColors.h"

#include "DecodeTarn/SlideOpen.h"

#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace tarn {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::pair<const ZyTarnInfo*, const ColorLut*>> slides;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

bool RegisterSlide(const ZyTarnInfo* info, const ColorLut* lut) {
    Registry& registry = TheRegistry();
    const std::lock_guard<std::mutex> lock(registry.mutex);
    try {
        registry.slides.emplace_back(info, lut);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void UnregisterSlide(const ZyTarnInfo* info) {
    const ColorLut* lut = nullptr;
    {
        Registry& registry = TheRegistry();
        const std::lock_guard<std::mutex> lock(registry.mutex);
        for (auto it = registry.slides.begin(); it != registry.slides.end(); ++it) {
            if (it->first == info) {
                lut = it->second;
                registry.slides.erase(it);
                break;
            }
        }
    }
    if (lut != nullptr) ReleaseColorLut(lut);
}

const ColorLut* SlideColorLut(const ZyTarnInfo* info) {
    Registry& registry = TheRegistry();
    const std::lock_guard<std::mutex> lock(registry.mutex);
    for (const auto& [slide, lut] : registry.slides)
        if (slide == info) return lut;
    return nullptr;
}

SlideColors::SlideColors(const ZyTarnInfo* info) {
    {
        Registry& registry = TheRegistry();
        const std::lock_guard<std::mutex> lock(registry.mutex);
        for (const auto& [slide, lut] : registry.slides) {
            if (slide == info) {
                RetainColorLut(lut);
                lut_ = lut;
                break;
            }
        }
    }
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
