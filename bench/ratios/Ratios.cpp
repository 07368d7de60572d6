// The table of ratios in docs/performance.md: every figure measured in fresh processes (the peer
// probe), the two sides of a ratio run back to back in turning order, several rounds, medians.
//
//   tarn_ratios [--rounds N] [--only SUBSTRING] [--keep DIR]
//
// --keep copies the slides, the TIFF and the table folder into DIR and stops, for profiling a
// probe by hand (with TARN_CACHE_DIR=DIR/tables).
//
// Slides are written into a temporary directory; its table folder already holds the bench slide's
// colour table and three others when timing starts (a first open in the user's life is not what
// these figures describe). The environment is the user's otherwise: default tile cache, default
// thread count.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchSlides.h"
#include "ColorCorrect/ColorTables.h"

extern char** environ;

namespace {

// One side of a ratio: the probe's arguments and the environment variables it runs with.
struct Side {
    std::vector<std::string> args;
    std::vector<std::string> env;  // NAME=VALUE, added to (or replacing in) the environment
};

struct Measure {
    const char* name;
    Side library, baseline;
    // How the ratio reads: true for baseline time / library time (above 1: the library is
    // faster), false for library time / baseline time.
    bool speedup;
    const char* goal;
};

std::string TableFolder() {
    return tarnbench::BenchDirectory() + "/tables";
}

std::vector<char*> Environment(const std::vector<std::string>& extra,
                               std::vector<std::string>* storage) {
    storage->clear();
    for (char** e = environ; *e != nullptr; ++e) {
        const char* equals = strchr(*e, '=');
        const size_t nameLength = equals != nullptr ? static_cast<size_t>(equals - *e) : strlen(*e);
        bool replaced = false;
        for (const std::string& x : extra)
            replaced = replaced || (x.compare(0, nameLength + 1, std::string(*e, nameLength) + "=") == 0);
        if (!replaced) storage->push_back(*e);
    }
    storage->push_back("TARN_CACHE_DIR=" + TableFolder());
    for (const std::string& x : extra)
        storage->push_back(x);
    std::vector<char*> pointers;
    for (std::string& s : *storage)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Runs the probe; its figure in microseconds, or a negative number when it failed.
double RunProbe(const Side& side) {
    std::vector<std::string> args{TARN_PEER_PROBE_PATH};
    args.insert(args.end(), side.args.begin(), side.args.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStorage;
    std::vector<char*> envp = Environment(side.env, &envStorage);
    int out[2];
    if (pipe(out) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t child = -1;
    const int spawned =
        posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char text[128] = {};
    const ssize_t got = spawned == 0 ? read(out[0], text, sizeof text - 1) : -1;
    close(out[0]);
    int status = 0;
    if (spawned != 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0 || got <= 0) {
        fprintf(stderr, "failed (status %d):", status);
        for (const std::string& a : args)
            fprintf(stderr, " %s", a.c_str());
        fprintf(stderr, "\n");
        return -1;
    }
    return atof(text);
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Puts the bench slide's table and three others into the folder, as a user's folder would hold
// after a few slides.
void FillTableFolder() {
    setenv("TARN_CACHE_DIR", TableFolder().c_str(), 1);
    for (float gamma : {1.2F, 1.5F, 1.8F, 2.2F}) {
        tarn::ColorParams params = tarn::NeutralColorParams();
        params.gamma = gamma;
        params.gains[2] = 0.95F;
        tarn::ReleaseColorLut(tarn::AcquireColorLut(params));
    }
    tarn::WaitForColorLutWrites();
    tarn::TrimColorLutCache();
    unsetenv("TARN_CACHE_DIR");
}

std::string Text(long long value) {
    return std::to_string(value);
}

std::vector<Measure> Measures() {
    const tarnbench::BenchSlide& jpeg = tarnbench::JpegSlide();
    const tarnbench::BenchSlide& hevc = tarnbench::HevcSlide();
    const std::string& tiff = tarnbench::PyramidTiff();
    const std::string columns = Text(tarnbench::PictureWidth(jpeg) / 256);
    const std::string rows = Text(tarnbench::PictureHeight(jpeg) / 256);
    const std::string regions = "100", opens = "30", passes = "4";
    auto reads = [&](const char* how, const char* kind, const std::string& path) {
        return std::vector<std::string>{how, kind, path, columns, rows, regions};
    };
    auto open = [&](const char* kind, const std::string& path, bool other) {
        std::vector<std::string> args{"open", kind, path, opens};
        if (other) args.push_back(path);
        return args;
    };
    return {
        {"Cold reads, default cache vs cache off",
         {reads("cold", "tarn", jpeg.path), {}},
         {reads("cold", "tarn", jpeg.path), {"TARN_CACHE_SIZE=0"}},
         true,
         ">= 0.95"},
        {"Cold reads vs OpenSlide", {reads("cold", "tarn", jpeg.path), {}},
         {reads("cold", "openslide", tiff), {}}, true, ">= 3"},
        {"Warm reads vs OpenSlide", {reads("warm", "tarn", jpeg.path), {}},
         {reads("warm", "openslide", tiff), {}}, true, ""},
        {"Open + close, tarn.h, alone, vs OpenSlide", {open("tarn", jpeg.path, false), {}},
         {open("openslide", tiff, false), {}}, true, "<= 1 ms"},
        {"Open + close, tarn.h, another handle open, vs OpenSlide",
         {open("tarn", jpeg.path, true), {}}, {open("openslide", tiff, true), {}}, true, "<= 1 ms"},
        {"Open + close, fixed interface, alone, vs OpenSlide", {open("fixed", jpeg.path, false), {}},
         {open("openslide", tiff, false), {}}, true, ""},
        {"Open + close, fixed interface, another handle open, vs OpenSlide",
         {open("fixed", jpeg.path, true), {}}, {open("openslide", tiff, true), {}}, true, ""},
        {"HEVC tiles through tarn.h vs bare libavcodec", {{"hevc", "tarn", hevc.path, passes}, {}},
         {{"hevc", "bare", hevc.path, passes}, {}}, true, ""},
        {"HEVC decoder set up per tile vs one context", {{"hevc", "fresh", hevc.path, passes}, {}},
         {{"hevc", "bare", hevc.path, passes}, {}}, false, "reuse when > 1.10"},
    };
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 7;
    std::string only, keep;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, atoi(argv[i + 1]));
        if (strcmp(argv[i], "--only") == 0) only = argv[i + 1];
        if (strcmp(argv[i], "--keep") == 0) keep = argv[i + 1];
    }
    FillTableFolder();
    if (!keep.empty()) {
        const std::string copy = "mkdir -p '" + keep + "' && cp -r '" + tarnbench::JpegSlide().path +
                                 "' '" + tarnbench::HevcSlide().path + "' '" +
                                 tarnbench::PyramidTiff() + "' '" + TableFolder() + "' '" + keep +
                                 "'";
        return system(copy.c_str()) == 0 ? 0 : 1;
    }
    const std::vector<Measure> measures = Measures();
    printf("| Measure | Library | Baseline | Ratio | Goal |\n|---|---|---|---|---|\n");
    fflush(stdout);
    for (const Measure& m : measures) {
        if (!only.empty() && strstr(m.name, only.c_str()) == nullptr) continue;
        std::vector<double> library, baseline, ratios;
        bool failed = false;
        for (int round = 0; round < rounds && !failed; ++round) {
            // Turning order: neither side always runs right after the other.
            const bool libraryFirst = round % 2 == 0;
            const double first = RunProbe(libraryFirst ? m.library : m.baseline);
            const double second = RunProbe(libraryFirst ? m.baseline : m.library);
            const double lib = libraryFirst ? first : second, base = libraryFirst ? second : first;
            failed = lib <= 0 || base <= 0;
            library.push_back(lib);
            baseline.push_back(base);
            ratios.push_back(m.speedup ? base / lib : lib / base);
        }
        if (failed) {
            printf("| %s | failed | | | %s |\n", m.name, m.goal);
        } else {
            printf("| %s | %.2f ms | %.2f ms | %.2f | %s |\n", m.name, Median(library) / 1000,
                   Median(baseline) / 1000, Median(ratios), m.goal);
        }
        fflush(stdout);
    }
    return 0;
}
