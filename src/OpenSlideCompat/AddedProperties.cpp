#include "OpenSlideCompat/AddedProperties.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tarn::compat {
namespace {

bool Before(const char* a, const char* b) {
    return strcmp(a, b) < 0;
}

bool Listed(const char* const* names, const std::string& name) {
    for (; names != nullptr && *names != nullptr; ++names)
        if (name == *names) return true;
    return false;
}

}  // namespace

std::unique_ptr<AddedProperties> AddAssociatedProperties(const char* const* own,
                                                         const char* const* associated,
                                                         AssociatedDimensions dimensions,
                                                         void* slide) {
    try {
        auto added = std::make_unique<AddedProperties>();
        for (; associated != nullptr && *associated != nullptr; ++associated) {
            int64_t w = -1, h = -1;
            dimensions(slide, *associated, &w, &h);
            if (w < 0 || h < 0) continue;  // listed but unreadable: nothing to say of it
            const std::string prefix = std::string("openslide.associated.") + *associated + ".";
            for (const auto& [key, value] : {std::pair{"width", w}, std::pair{"height", h}}) {
                std::string name = prefix + key;
                // A real OpenSlide 4 behind the slide lists them already.
                if (!Listed(own, name)) added->entries.emplace_back(name, std::to_string(value));
            }
        }
        std::sort(added->entries.begin(), added->entries.end());
        for (; own != nullptr && *own != nullptr; ++own)
            added->names.push_back(*own);
        for (const auto& entry : added->entries)
            added->names.push_back(entry.first.c_str());
        std::sort(added->names.begin(), added->names.end(), Before);
        added->names.push_back(nullptr);
        return added;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

const char* FindAdded(const AddedProperties* added, const char* name) {
    if (added == nullptr || name == nullptr) return nullptr;
    const auto found = std::lower_bound(
        added->entries.begin(), added->entries.end(), name,
        [](const auto& entry, const char* key) { return strcmp(entry.first.c_str(), key) < 0; });
    return found != added->entries.end() && found->first == name ? found->second.c_str() : nullptr;
}

}  // namespace tarn::compat
