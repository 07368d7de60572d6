#include "DecodeTarn/SlideState.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <unordered_map>

#include "ColorCorrect/ColorTables.h"

namespace tarn {
namespace {

// Reads look states up far more often than slides open and close: lookups share the lock.
struct Registry {
    std::shared_mutex mutex;
    std::unordered_map<const ZyTarnInfo*, SlideState> slides;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

bool RegisterSlide(const ZyTarnInfo* info, const SlideState& state) {
    Registry& registry = TheRegistry();
    const std::unique_lock<std::shared_mutex> lock(registry.mutex);
    try {
        registry.slides.emplace(info, state);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void UnregisterSlide(const ZyTarnInfo* info) {
    SlideState state;
    {
        Registry& registry = TheRegistry();
        const std::unique_lock<std::shared_mutex> lock(registry.mutex);
        const auto it = registry.slides.find(info);
        if (it == registry.slides.end()) return;
        state = it->second;
        registry.slides.erase(it);
    }
    if (state.lut != nullptr) ReleaseColorLut(state.lut);
    free(state.path);
}

const SlideState* StateOf(const ZyTarnInfo* info) {
    Registry& registry = TheRegistry();
    const std::shared_lock<std::shared_mutex> lock(registry.mutex);
    const auto it = registry.slides.find(info);
    // Elements of an unordered_map keep their address while other elements come and go.
    return it != registry.slides.end() ? &it->second : nullptr;
}

const ColorLut* RetainSlideColorLut(const ZyTarnInfo* info) {
    Registry& registry = TheRegistry();
    const std::shared_lock<std::shared_mutex> lock(registry.mutex);
    const auto it = registry.slides.find(info);
    if (it == registry.slides.end()) return nullptr;
    RetainColorLut(it->second.lut);
    return it->second.lut;
}

}  // namespace tarn
