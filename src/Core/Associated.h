// The label, macrograph and thumbnail of a slide, turned from the records read from the file into
// image records with decoded pixels.
#pragma once

#include <cstdint>

#include "ColorCorrect/ColorTables.h"
#include "DecodeTarn.h"

namespace tarn {

// Fills the caller's cleared pair from `count` (at most macroNum) label/macrograph records and
// their payloads, taking over each payload (its slot is set to null). Pixels are decoded through
// `lookup`. ZY_OK, or kNoMemory with the pair untouched and the payloads still the caller's.
int BuildMacroImages(const ZyMacrographInfo* records, unsigned char** payloads, uint32_t count,
                     ZyImageInfo** pair, const ColorLookup& lookup);

// Fills the caller's zeroed thumbnail from its record, the header's thumbnail size and its
// stored bytes, taking them over. Pixels are decoded through `lookup` (BMP pixels are shown as
// stored). Cannot fail.
void BuildThumbImage(const ZyPicInfo& record, uint32_t width, uint32_t height, unsigned char* data,
                     ZyImageInfo* thumb, const ColorLookup& lookup);

}  // namespace tarn
