// The properties OpenSlide 4 lists beside a slide's own: the size of every associated image,
// openslide.associated.<name>.width and .height. libopenslide.so.1 adds them, when the library
// behind a slide does not list them itself, among its names in byte order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tarn::compat {

struct AddedProperties {
    std::vector<std::pair<std::string, std::string>> entries;  // by name
    std::vector<const char*> names;  // the slide's own and these, in byte order, NULL-terminated
};

// The size of a slide's associated image `name`, as its own library gives it.
using AssociatedDimensions = void (*)(void* slide, const char* name, int64_t* w, int64_t* h);

// The properties added to a slide with the property names `own` and associated images
// `associated` (NULL-terminated lists, either may be null). Null when memory runs out.
std::unique_ptr<AddedProperties> AddAssociatedProperties(const char* const* own,
                                                         const char* const* associated,
                                                         AssociatedDimensions dimensions,
                                                         void* slide);

// The value of an added property; null for a name that is not one of them.
const char* FindAdded(const AddedProperties* added, const char* name);

}  // namespace tarn::compat
