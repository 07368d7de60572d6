// The arithmetic shared by the exported conversions and the table builder. Everything is single
// precision; comparisons with the tolerance widen the float to double and compare with 1e-6, and
// float-to-integer conversions truncate toward zero.
//
// C++ leaves the conversion of NaN or of out-of-range floats to int undefined, so the library
// fixes one rule and every path (scalar and vectorised) follows it: NaN converts to 0, values
// beyond the int range saturate.
#pragma once

#include <climits>
#include <cstdint>

namespace tarn {

inline constexpr double kTolerance = 1e-6;

// The smallest float above 1e-6. Since 1e-6 is not a float, for every float x
// (double)x > 1e-6 and (double)x >= 1e-6 both mean x >= kToleranceFloat, and
// (double)x <= 1e-6 means x < kToleranceFloat. The vectorised builder compares in float with it.
inline constexpr float kToleranceFloat = 0x1.0c6f7cp-20f;
static_assert(static_cast<double>(kToleranceFloat) > kTolerance);
static_assert(static_cast<double>(0x1.0c6f7ap-20f) < kTolerance);

inline bool AtLeastTolerance(float x) {
    return static_cast<double>(x) >= kTolerance;
}
inline bool AboveTolerance(float x) {
    return static_cast<double>(x) > kTolerance;
}
inline bool WithinTolerance(float x) {
    return static_cast<double>(x) <= kTolerance;
}

// Truncation toward zero; NaN gives 0 and values beyond the int range saturate.
inline int TruncateToInt(float x) {
    if (x != x) return 0;
    if (x >= 2147483648.0f) return INT_MAX;
    if (x <= -2147483648.0f) return INT_MIN;
    return static_cast<int>(x);
}

// The 256 gamma entries for `gamma`; a gamma that is zero, negative or NaN counts as 1.
void FillGammaTable(float gamma, uint8_t* table);

// The 256 entries of the identity index table every colour table carries.
void FillRangeTable(uint8_t* range);

// The largest and smallest of three, compared with the tolerance.
float TolerantMax(float a, float b, float c);
float TolerantMin(float a, float b, float c);

// x * factor truncated, clamped to 0..255 (NaN gives 0).
int ScaleByte(uint8_t x, float factor);

// RGB bytes to hue (degrees, 0..359), saturation and value (0..1), each scaled by its multiplier
// and clamped; and back to RGB bytes, each scaled by its multiplier. The table builder's chain.
void RgbToHsv(const uint8_t* rgb, const float* scale, float* hsv);
void HsvToRgb(const float* hsv, const float* scale, uint8_t* rgb);

}  // namespace tarn
