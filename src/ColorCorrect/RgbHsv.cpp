// RGB <-> HSV in the hexcone model, with the library's own constants: the hue offsets are 119,
// 239 and 359 rather than 120, 240 and 360, and every comparison allows a tolerance of 1e-6.
// Colour tables depend on these exact results, so the order of every float operation matters.
#include <cmath>

#include "ColorCorrect/ColorChain.h"

namespace tarn {
namespace {

// Hue in degrees of (r, g, b) in 0..1, given their tolerant maximum and its distance d to the
// minimum.
float HueOf(float r, float g, float b, float max, float d) {
    if (WithinTolerance(d)) return 0.0f;
    if (WithinTolerance(std::fabs(r - max))) {
        if (AboveTolerance(g - b)) return 60.0f * ((g - b) / d);
        if (AboveTolerance(b - g)) return 359.0f + ((g - b) / d) * 60.0f;
        return 0.0f;
    }
    if (WithinTolerance(std::fabs(g - max))) return 119.0f + ((b - r) / d) * 60.0f;
    if (WithinTolerance(std::fabs(b - max))) return 239.0f + ((r - g) / d) * 60.0f;
    return 0.0f;
}

// Clamps a scaled component to 0..top; a NaN passes unchanged.
float ClampComponent(float x, float top) {
    if (AboveTolerance(x - top)) return top;
    if (WithinTolerance(x)) return 0.0f;
    return x;
}

}  // namespace

float TolerantMax(float a, float b, float c) {
    const float t = AtLeastTolerance(a - b) ? a : b;
    return AtLeastTolerance(t - c) ? t : c;
}

float TolerantMin(float a, float b, float c) {
    const float t = AtLeastTolerance(a - b) ? b : a;
    return AtLeastTolerance(t - c) ? c : t;
}

int ScaleByte(uint8_t x, float factor) {
    const int v = TruncateToInt(static_cast<float>(x) * factor);
    if (v < 0) return 0;
    return v > 255 ? 255 : v;
}

void RgbToHsv(const uint8_t* rgb, const float* scale, float* hsv) {
    const float r = static_cast<float>(rgb[0]) / 255.0f;
    const float g = static_cast<float>(rgb[1]) / 255.0f;
    const float b = static_cast<float>(rgb[2]) / 255.0f;
    const float max = TolerantMax(r, g, b);
    const float min = TolerantMin(r, g, b);
    const float d = max - min;

    float h = HueOf(r, g, b, max, d);
    float s = WithinTolerance(max) ? 0.0f : d / max;
    float v = max;
    h *= scale[0];
    s *= scale[1];
    v *= scale[2];
    hsv[0] = ClampComponent(h, 359.0f);
    hsv[1] = ClampComponent(s, 1.0f);
    hsv[2] = ClampComponent(v, 1.0f);
}

void HsvToRgb(const float* hsv, const float* scale, uint8_t* rgb) {
    const float h = hsv[0], s = hsv[1], v = hsv[2];
    int bytes[3] = {0, 0, 0};
    if (WithinTolerance(std::fabs(s))) {
        const int grey = ScaleByte(255, v);
        bytes[0] = bytes[1] = bytes[2] = grey;
    } else {
        const float sector = h / 60.0f;
        const int i = TruncateToInt(std::floor(sector));
        const float f = sector - static_cast<float>(i);
        const float p = (1.0f - s) * v;
        const float q = (1.0f - s * f) * v;
        const float t = (1.0f - (1.0f - f) * s) * v;
        float red = 0.0f, green = 0.0f, blue = 0.0f;
        switch (i) {
            case 0:
                red = v, green = t, blue = p;
                break;
            case 1:
                red = q, green = v, blue = p;
                break;
            case 2:
                red = p, green = v, blue = t;
                break;
            case 3:
                red = p, green = q, blue = v;
                break;
            case 4:
                red = t, green = p, blue = v;
                break;
            case 5:
                red = v, green = p, blue = q;
                break;
            default:
                break;  // a hue below 0 or from 360 on is black
        }
        if (i >= 0 && i <= 5) {
            bytes[0] = ScaleByte(255, red);
            bytes[1] = ScaleByte(255, green);
            bytes[2] = ScaleByte(255, blue);
        }
    }
    for (int k = 0; k < 3; ++k)
        rgb[k] = static_cast<uint8_t>(ScaleByte(static_cast<uint8_t>(bytes[k]), scale[k]));
}

}  // namespace tarn
