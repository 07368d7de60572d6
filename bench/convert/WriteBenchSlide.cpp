// Writes a benchmark slide of bench/BenchSlides.h to a file, for benchmarks that run programs on
// it: write_bench_slide FILE [jpeg|export] (the benchmark slide of 24 x 16 tiles, the default, or
// the batch export's of 64 x 48).
#include <cstdio>
#include <exception>
#include <string>

#include "BenchSlides.h"
#include "TarnWriter.h"

int main(int argc, char** argv) {
    const std::string which = argc == 3 ? argv[2] : "jpeg";
    if (argc < 2 || argc > 3 || (which != "jpeg" && which != "export")) {
        fputs("usage: write_bench_slide FILE [jpeg|export]\n", stderr);
        return 2;
    }
    try {
        const tarnbench::BenchSlide& slide =
            which == "jpeg" ? tarnbench::JpegSlide() : tarnbench::ExportSlide();
        tarnwriter::WriteFile(argv[1], slide.file.bytes);
    } catch (const std::exception& e) {
        fprintf(stderr, "write_bench_slide: %s\n", e.what());
        return 1;
    }
    return 0;
}
