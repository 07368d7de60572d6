// Fixed positions and sizes of the Tarn format.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Common/FileRecords.h"

namespace tarn {

inline constexpr uint64_t kHeadSize = sizeof(SlideHead);
inline constexpr uint64_t kPersonOffset = 156;
inline constexpr uint64_t kExtraOffset = 6964;
inline constexpr uint64_t kMacroChainStart = 7732;
inline constexpr uint64_t kMacroHeadSize = sizeof(MacroRecord);
inline constexpr uint64_t kPicRecordSize = sizeof(PictureRecord);

static_assert(sizeof(SlideHead) == 156);
static_assert(sizeof(PersonRecord) == 6808);
static_assert(sizeof(ExtraRecord) == 768);
static_assert(sizeof(MacroRecord) == 123);
static_assert(sizeof(PictureRecord) == 122);
static_assert(sizeof(BmpHeader) == 40);
static_assert(kPersonOffset + sizeof(PersonRecord) == kExtraOffset);
static_assert(kExtraOffset + sizeof(ExtraRecord) == kMacroChainStart);
static_assert(offsetof(SlideHead, CompressionType) == 104);
static_assert(offsetof(SlideHead, MPP) == 76);
static_assert(offsetof(ExtraRecord, ColorMatrix) == 62);
static_assert(offsetof(MacroRecord, NextOffset) == 43);
static_assert(offsetof(PictureRecord, DataFormat) == 58);

// A magic is two ASCII characters, first byte first.
inline bool HasMagic(const char* magic, const char (&expected)[3]) {
    return magic[0] == expected[0] && magic[1] == expected[1];
}

}  // namespace tarn
