#include "TarnApi/Associated.h"

#include <cstring>

#include "Common/EnumValue.h"
#include "Common/PixelCopy.h"
#include "TarnApi/PixelLayout.h"

namespace tarn {
namespace {

bool HasPixels(const ZyImageInfo* image) {
    return image != nullptr && image->Pixels != nullptr && image->Width > 0 && image->Height > 0;
}

}  // namespace

const ZyImageInfo* FindAssociatedImage(SlideCall& call, const char* name) {
    if (name == nullptr) {
        call.Fail("no associated image name given");
        return nullptr;
    }
    for (const AssociatedImage& entry : call.slide().associated)
        if (strcmp(entry.name, name) == 0) return entry.image;
    call.Fail("the slide has no associated image \"%s\"", name);
    return nullptr;
}

void ListAssociatedImages(tarn_slide* slide) {
    const ZyTarnInfo& info = *slide->info;
    const ZyImageInfo* label = info.MacroImages != nullptr ? info.MacroImages[0] : nullptr;
    const ZyImageInfo* macro = info.MacroImages != nullptr ? info.MacroImages[1] : nullptr;
    for (const AssociatedImage& entry :
         {AssociatedImage{"label", label}, AssociatedImage{"macro", macro},
          AssociatedImage{"thumbnail", info.ThumbImage}})
        if (HasPixels(entry.image)) slide->associated.push_back(entry);
    for (const AssociatedImage& entry : slide->associated)
        slide->associatedNames.push_back(entry.name);
    slide->associatedNames.push_back(nullptr);
}

}  // namespace tarn

using namespace tarn;

const char* const* tarn_get_associated_image_names(tarn_slide* slide) {
    return OnSlide(slide, static_cast<const char* const*>(nullptr),
                   [](SlideCall& call) { return call.slide().associatedNames.data(); });
}

void tarn_get_associated_image_dimensions(tarn_slide* slide, const char* name, int64_t* w,
                                          int64_t* h) {
    int64_t width = -1, height = -1;
    OnSlideVoid(slide, [&](SlideCall& call) {
        if (const ZyImageInfo* image = FindAssociatedImage(call, name)) {
            width = image->Width;
            height = image->Height;
        }
    });
    if (w != nullptr) *w = width;
    if (h != nullptr) *h = height;
}

int tarn_read_associated_image(tarn_slide* slide, const char* name, void* dest,
                               tarn_format format) {
    const int number = EnumValue(format);
    return OnSlide(slide, -1, [&](SlideCall& call) {
        PixelFormat layout{};
        if (!CallerLayout(call, number, &layout)) return -1;
        const ZyImageInfo* image = FindAssociatedImage(call, name);
        if (image == nullptr) return -1;
        if (dest == nullptr) {
            call.Fail("no destination buffer");
            return -1;
        }
        CopyBgrPixels(image->Pixels, size_t{image->Width} * 3, image->Width, image->Height,
                      static_cast<uint8_t*>(dest),
                      size_t{image->Width} * static_cast<size_t>(BytesPerPixel(layout)), layout);
        return 0;
    });
}
