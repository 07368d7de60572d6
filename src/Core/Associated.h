// The label, macrograph and thumbnail of a slide: their stored bytes and, decoded from them, their
// pixels. An image is never handed out with the wrong size: pixels exist only when the decoded
// picture has exactly the size its record announces.
#pragma once

#include <cstdint>

#include "Common/Status.h"
#include "ColorCorrect/ColorTables.h"
#include "Common/Error.h"
#include "Common/FileRecords.h"

namespace tarn {

enum class AssociatedKind { Label = 0, Macrograph = 1, Thumbnail = 2 };
inline constexpr int kAssociatedKinds = 3;

struct AssociatedImage {
    bool present = false;             // the file has it
    unsigned char* data = nullptr;    // the stored bytes, malloc'ed
    int32_t dataSize = 0;             // their count; -1 when it does not fit 32 bits
    unsigned char* pixels = nullptr;  // blue-green-red rows without gaps; null when none decoded
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t channels = 0;
    uint32_t dataFormat = kStoredJpeg;
    uint32_t colorSpace = 0;
    Error why;  // why there are no pixels, when a decoder said so
};

// The stored byte count as an image keeps it. One that does not fit is -1, so that the stored
// bytes are never handed out cut to the low 32 bits of their count.
int32_t KeptDataSize(uint64_t size);

// Pixels of the stored bytes of an associated image that must be width x height: a JPEG
// (`dataFormat` kStoredJpeg), corrected through `lookup`, or a BMP (kStoredBmp), shown as
// stored. A new malloc'ed buffer, or null when they do not decode to that size, the format is
// another, the size is implausible, or (JPEG) there is no table; the decoder's reason, if it
// gave one, in `*why`.
unsigned char* DecodeAssociatedPixels(uint32_t dataFormat, const unsigned char* data, uint64_t size,
                                      uint32_t width, uint32_t height, const ColorLookup& lookup,
                                      Error* why);

// Fills `*image` from a label/macrograph record and its stored bytes (taken over).
void BuildPairImage(const MacroRecord& record, unsigned char* data, const ColorLookup& lookup,
                    AssociatedImage* image);

// Fills `*image` from the thumbnail record, the header's thumbnail size and the stored bytes
// (taken over).
void BuildThumbnailImage(const PictureRecord& record, uint32_t width, uint32_t height,
                         unsigned char* data, const ColorLookup& lookup, AssociatedImage* image);

// Releases what the image holds and empties it.
void ReleaseAssociatedImage(AssociatedImage* image);

}  // namespace tarn
