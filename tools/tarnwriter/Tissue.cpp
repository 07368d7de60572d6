// Procedural tissue: haematoxylin-and-eosin-like colours over glass, built from value noise and a
// jittered cell grid. Everything is a function of world coordinates, so any tile of any layer can
// be rendered on its own and neighbouring tiles join without seams.
#include <algorithm>
#include <cmath>

#include "TarnWriter.h"

namespace tarnwriter {
namespace {

uint32_t Hash(int64_t x, int64_t y, uint32_t seed) {
    uint64_t h = static_cast<uint64_t>(x) * 0x9E3779B97F4A7C15ULL ^
                 static_cast<uint64_t>(y) * 0xC2B2AE3D27D4EB4FULL ^ (seed * 0x165667B19E3779F9ULL);
    h ^= h >> 31;
    h *= 0xD6E8FEB86659FD93ULL;
    h ^= h >> 32;
    return static_cast<uint32_t>(h);
}

double Unit(uint32_t h) {
    return static_cast<double>(h) / 4294967296.0;
}

double Smooth(double t) {
    return t * t * (3.0 - 2.0 * t);
}

// Value noise in [0, 1) with lattice spacing `cell`.
double ValueNoise(double x, double y, double cell, uint32_t seed) {
    const double gx = x / cell, gy = y / cell;
    const auto ix = static_cast<int64_t>(std::floor(gx)), iy = static_cast<int64_t>(std::floor(gy));
    const double fx = Smooth(gx - static_cast<double>(ix)),
                 fy = Smooth(gy - static_cast<double>(iy));
    const double a = Unit(Hash(ix, iy, seed)), b = Unit(Hash(ix + 1, iy, seed));
    const double c = Unit(Hash(ix, iy + 1, seed)), d = Unit(Hash(ix + 1, iy + 1, seed));
    return (a + (b - a) * fx) * (1 - fy) + (c + (d - c) * fx) * fy;
}

double Fbm(double x, double y, double cell, uint32_t seed, int octaves) {
    double sum = 0, weight = 0.5, total = 0;
    for (int o = 0; o < octaves; ++o) {
        sum += weight * ValueNoise(x, y, cell, seed + static_cast<uint32_t>(o) * 101);
        total += weight;
        weight *= 0.5;
        cell *= 0.5;
    }
    return sum / total;
}

struct Rgb {
    double r, g, b;
};

Rgb Mix(const Rgb& a, const Rgb& b, double t) {
    t = std::clamp(t, 0.0, 1.0);
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// Darkness of the nucleus covering (x, y), 0 outside nuclei. Cells of 28 world pixels, each with
// one jittered nucleus of varying size.
double Nucleus(double x, double y, uint32_t seed) {
    constexpr double kCell = 28.0;
    const auto cx = static_cast<int64_t>(std::floor(x / kCell));
    const auto cy = static_cast<int64_t>(std::floor(y / kCell));
    double best = 0;
    for (int64_t j = cy - 1; j <= cy + 1; ++j) {
        for (int64_t i = cx - 1; i <= cx + 1; ++i) {
            const uint32_t h = Hash(i, j, seed ^ 0x5bd1e995U);
            if ((h & 3U) == 0) continue;  // not every cell has a nucleus in view
            const double px =
                (static_cast<double>(i) + 0.2 + 0.6 * Unit(Hash(i, j, seed + 7))) * kCell;
            const double py =
                (static_cast<double>(j) + 0.2 + 0.6 * Unit(Hash(i, j, seed + 13))) * kCell;
            const double radius = 5.0 + 5.0 * Unit(h);
            const double dx = (x - px) / radius, dy = (y - py) / (radius * 0.8);
            const double d = dx * dx + dy * dy;
            if (d < 1.0) best = std::max(best, 1.0 - d * d);
        }
    }
    return best;
}

Rgb TissueColour(double x, double y, uint32_t seed) {
    static constexpr Rgb kGlass{242, 240, 244};
    static constexpr Rgb kStroma{236, 168, 204};
    static constexpr Rgb kCytoplasm{214, 128, 182};
    static constexpr Rgb kNucleus{92, 58, 148};

    const double tissue = Fbm(x, y, 900.0, seed, 4);
    const double edge = std::clamp((tissue - 0.42) * 12.0, 0.0, 1.0);
    if (edge <= 0.0) return kGlass;

    const double density = Fbm(x, y, 140.0, seed + 3, 3);
    const double fibre = 0.5 + 0.5 * std::sin(x * 0.045 + 9.0 * Fbm(x, y, 220.0, seed + 5, 3));
    Rgb colour = Mix(kStroma, kCytoplasm, density * 1.3 - 0.2 + 0.25 * fibre);
    colour = Mix(colour, kNucleus, Nucleus(x, y, seed) * (0.6 + 0.4 * density));
    return Mix(kGlass, colour, edge);
}

uint8_t ToByte(double v) {
    return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

}  // namespace

Image RenderTissue(int64_t x0, int64_t y0, uint32_t width, uint32_t height, double scale,
                   uint32_t seed) {
    Image image{width, height, Bytes(static_cast<size_t>(width) * height * 3)};
    for (uint32_t row = 0; row < height; ++row) {
        for (uint32_t col = 0; col < width; ++col) {
            const double x = (static_cast<double>(x0 + col) + 0.5) * scale;
            const double y = (static_cast<double>(y0 + row) + 0.5) * scale;
            const Rgb c = TissueColour(x, y, seed);
            // Grain, as a camera adds it.
            const double grain = (Unit(Hash(x0 + col, y0 + row, seed + 99)) - 0.5) * 10.0;
            uint8_t* px = &image.bgr[(static_cast<size_t>(row) * width + col) * 3];
            px[0] = ToByte(c.b + grain);
            px[1] = ToByte(c.g + grain);
            px[2] = ToByte(c.r + grain);
        }
    }
    return image;
}

}  // namespace tarnwriter
