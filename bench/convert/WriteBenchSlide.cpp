// Writes a benchmark slide of bench/BenchSlides.h to a file, for benchmarks that run programs on
// it: write_bench_slide FILE [jpeg|export|users [TIFF]] (the benchmark slide of 24 x 16 tiles, the
// default, the batch export's of 64 x 48, or the 8192 x 8192 slide of bench/users), with, when
// TIFF is given, its layer 0 as a pyramidal TIFF for OpenSlide and libvips.
#include <cstdio>
#include <exception>
#include <string>

#include "BenchSlides.h"
#include "TarnWriter.h"

int main(int argc, char** argv) {
    const std::string which = argc >= 3 ? argv[2] : "jpeg";
    if (argc < 2 || argc > 4 || (which != "jpeg" && which != "export" && which != "users")) {
        fputs("usage: write_bench_slide FILE [jpeg|export|users [TIFF]]\n", stderr);
        return 2;
    }
    try {
        const tarnbench::BenchSlide& slide = which == "jpeg"     ? tarnbench::JpegSlide()
                                             : which == "export" ? tarnbench::ExportSlide()
                                                                 : tarnbench::UsersSlide();
        tarnwriter::WriteFile(argv[1], slide.file.bytes);
        if (argc == 4 && !tarnbench::WritePyramidTiff(slide, argv[3])) return 1;
    } catch (const std::exception& e) {
        fprintf(stderr, "write_bench_slide: %s\n", e.what());
        return 1;
    }
    return 0;
}
