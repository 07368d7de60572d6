// The label, macrograph and thumbnail of a slide, read and decoded into image records.
#pragma once

#include <cstdio>

#include "ColorCorrect/ColorTables.h"
#include "DecodeTarn.h"

namespace tarn {

// Fills the caller's cleared pair (label, macrograph), decoding through `lookup`. Codes as
// ZyGetMacroImageInfo; on failure the pair is untouched and nothing stays allocated.
int ReadMacroImages(FILE* stream, ZyImageInfo** pair, const ColorLookup& lookup);

// Fills the caller's zeroed thumbnail record, decoding through `lookup`. Codes as
// ZyGetThumbImageInfo.
int ReadThumbImage(FILE* stream, ZyImageInfo* thumb, const ColorLookup& lookup);

}  // namespace tarn
