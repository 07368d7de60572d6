// Writes a sample slide whose layer-0 tile INDEX does not decode: damaged_slide FILE INDEX.
// The server's tests use it to see a broken tile answered with an error while the rest is served.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "TarnWriter.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fputs("usage: damaged_slide FILE INDEX\n", stderr);
        return 2;
    }
    try {
        tarnwriter::SlideFile slide = tarnwriter::BuildSlide(tarnwriter::SampleSpec(6, 4, 2));
        const auto index = static_cast<size_t>(std::atoi(argv[2]));
        const uint64_t at = slide.layout.tileOffsets.at(0).at(index);
        const uint64_t size = std::min<uint64_t>(slide.layout.tileSizes[0][index], 64);
        std::fill_n(slide.bytes.begin() + static_cast<std::ptrdiff_t>(at), size, 0);
        tarnwriter::WriteFile(argv[1], slide.bytes);
    } catch (const std::exception& e) {
        fprintf(stderr, "damaged_slide: %s\n", e.what());
        return 1;
    }
    return 0;
}
