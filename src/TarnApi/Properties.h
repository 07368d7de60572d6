// Properties: the slide's description and layer records under "tarn." names, and OpenSlide's
// standard names (see tarn.h for the scheme).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "TarnApi/Slide.h"

namespace tarn {

// Fills `*properties` in place (its names point into its entries).
void BuildProperties(const Slide& slide, const std::vector<Level>& levels,
                     const std::optional<Bounds>& bounds, Properties* properties);

// A double as OpenSlide writes its numbers: enough digits to read back the same value, and a
// point as decimal separator whatever the locale.
std::string FormatDouble(double value);

}  // namespace tarn
