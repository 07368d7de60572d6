// Fixed positions and sizes of the Tarn format.
#pragma once

#include <cstddef>
#include <cstdint>

#include "DecodeTarn.h"

namespace tarn {

inline constexpr uint64_t kHeadSize = sizeof(ZyPicHead);
inline constexpr uint64_t kPersonOffset = 156;
inline constexpr uint64_t kExtraOffset = 6964;
inline constexpr uint64_t kMacroChainStart = 7732;
inline constexpr uint64_t kMacroHeadSize = sizeof(ZyMacrographInfo);
inline constexpr uint64_t kPicRecordSize = sizeof(ZyPicInfo);

static_assert(sizeof(ZyPicHead) == 156);
static_assert(sizeof(ZyPersonInfo) == 6808);
static_assert(sizeof(ZyExtraInfo) == 768);
static_assert(sizeof(ZyMacrographInfo) == 123);
static_assert(sizeof(ZyPicInfo) == 122);
static_assert(sizeof(BmpInfo) == 40);
static_assert(kPersonOffset + sizeof(ZyPersonInfo) == kExtraOffset);
static_assert(kExtraOffset + sizeof(ZyExtraInfo) == kMacroChainStart);
static_assert(offsetof(ZyPicHead, CompressionType) == 104);
static_assert(offsetof(ZyPicHead, MPP) == 76);
static_assert(offsetof(ZyExtraInfo, ColorMatrix) == 62);
static_assert(offsetof(ZyMacrographInfo, NextOffset) == 43);
static_assert(offsetof(ZyPicInfo, DataFormat) == 58);

// A magic is two ASCII characters, first byte first.
inline bool HasMagic(const char* magic, const char (&expected)[3]) {
    return magic[0] == expected[0] && magic[1] == expected[1];
}

}  // namespace tarn
