#include "TarnApi/Associated.h"

#include <cstdlib>
#include <cstring>

#include "Common/EnumValue.h"
#include "Common/PixelCopy.h"
#include "DecodeJpeg/JpegCodec.h"
#include "TarnApi/PixelLayout.h"

namespace tarn {
namespace {

bool HasPixels(const AssociatedImage& image) {
    return image.present && image.pixels != nullptr && image.width > 0 && image.height > 0;
}

}  // namespace

const AssociatedImage* FindAssociatedImage(SlideCall& call, const char* name) {
    if (name == nullptr) {
        call.Fail("no associated image name given");
        return nullptr;
    }
    AssociatedList* list = nullptr;
    if (!ListAssociatedImages(call, &list)) return nullptr;
    for (const NamedImage& entry : list->images)
        if (strcmp(entry.name, name) == 0) return entry.image;
    call.Fail("the slide has no associated image \"%s\"", name);
    return nullptr;
}

bool ListAssociatedImages(SlideCall& call, AssociatedList** out) {
    tarn_slide& slide = call.slide();
    AssociatedList& list = slide.associated;
    Error why;
    std::call_once(list.once, [&] {
        if (LoadAssociatedImages(*slide.core, &why) != Status::Ok) return;
        const AssociatedImage* images = slide.core->associated;
        for (const NamedImage& entry :
             {NamedImage{"label", &images[0]}, NamedImage{"macro", &images[1]},
              NamedImage{"thumbnail", &images[2]}})
            if (HasPixels(*entry.image)) list.images.push_back(entry);
        for (const NamedImage& entry : list.images)
            list.names.push_back(entry.name);
        list.names.push_back(nullptr);
        list.listed = true;
    });
    if (!list.listed) {
        LoadAssociatedImages(*slide.core, &why);
        call.Fail("cannot read the associated images of %s: %s", slide.name.c_str(), why.text);
        return false;
    }
    *out = &list;
    return true;
}

}  // namespace tarn

using namespace tarn;

const char* const* tarn_get_associated_image_names(tarn_slide* slide) {
    return OnSlide(slide, static_cast<const char* const*>(nullptr),
                   [](SlideCall& call) -> const char* const* {
                       // Images that cannot be read are no images: an empty list, and the reason.
                       static const char* const kNone[] = {nullptr};
                       AssociatedList* list = nullptr;
                       return ListAssociatedImages(call, &list) ? list->names.data() : kNone;
                   });
}

void tarn_get_associated_image_dimensions(tarn_slide* slide, const char* name, int64_t* w,
                                          int64_t* h) {
    int64_t width = -1, height = -1;
    OnSlideVoid(slide, [&](SlideCall& call) {
        if (const AssociatedImage* image = FindAssociatedImage(call, name)) {
            width = image->width;
            height = image->height;
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
        const AssociatedImage* image = FindAssociatedImage(call, name);
        if (image == nullptr) return -1;
        if (dest == nullptr) {
            call.Fail("no destination buffer");
            return -1;
        }
        CopyBgrPixels(image->pixels, size_t{image->width} * 3, image->width, image->height,
                      static_cast<uint8_t*>(dest),
                      size_t{image->width} * static_cast<size_t>(BytesPerPixel(layout)), layout);
        return 0;
    });
}

int tarn_read_associated_image_jpeg(tarn_slide* slide, const char* name, int quality,
                                    uint8_t** jpeg, size_t* size) {
    return OnSlide(slide, -1, [&](SlideCall& call) {
        if (quality < 1 || quality > 100) {
            call.Fail("JPEG quality %d is not between 1 and 100", quality);
            return -1;
        }
        const AssociatedImage* image = FindAssociatedImage(call, name);
        if (image == nullptr) return -1;
        if (jpeg == nullptr || size == nullptr) {
            call.Fail("no place for the JPEG given");
            return -1;
        }
        if (image->width > kMaxJpegSide || image->height > kMaxJpegSide) {
            call.Fail("the %s image is too large for a JPEG", name);
            return -1;
        }
        unsigned char* stream = nullptr;
        Error why;
        const int length =
            EncodeJpegBgr(image->pixels, image->width, image->height, quality, &stream, &why);
        if (length <= 0) {
            call.Fail("cannot encode the %s image: %s", name, why.text);
            return -1;
        }
        *jpeg = stream;
        *size = static_cast<size_t>(length);
        return 0;
    });
}

int tarn_read_associated_image_stored(tarn_slide* slide, const char* name, uint8_t** data,
                                      size_t* size, tarn_codec* codec) {
    return OnSlide(slide, -1, [&](SlideCall& call) {
        const AssociatedImage* image = FindAssociatedImage(call, name);
        if (image == nullptr) return -1;
        if (data == nullptr || size == nullptr) {
            call.Fail("no place for the image's bytes given");
            return -1;
        }
        // A count that does not fit 32 bits is kept as -1: those bytes are never handed out cut.
        if (image->data == nullptr || image->dataSize < 0) {
            call.Fail("the stored bytes of the %s image cannot be handed out", name);
            return -1;
        }
        const auto length = static_cast<size_t>(image->dataSize);
        auto* copy = static_cast<uint8_t*>(malloc(length > 0 ? length : 1));
        if (copy == nullptr) {
            call.Fail("out of memory");
            return -1;
        }
        memcpy(copy, image->data, length);
        *data = copy;
        *size = length;
        if (codec != nullptr)
            *codec = image->dataFormat == kStoredBmp ? TARN_CODEC_BMP : TARN_CODEC_JPEG;
        return 0;
    });
}
