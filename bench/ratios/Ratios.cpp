// The table of ratios in docs/performance.md: every figure measured in fresh processes (the peer
// probe), the two sides of a ratio run back to back in turning order after one untimed run of
// each, several rounds, medians.
//
//   tarn_ratios [--rounds N] [--only SUBSTRING] [--before LIBDIR] [--keep DIR]
//
// --before adds rows that compare this library with another build of it (the directory holding
// its libDecodeTarn.so.1, loaded in place of this one, with a table folder of its own that its
// first, untimed run fills). --keep copies the slides, the TIFF and
// the table folder into DIR and stops, for profiling a probe by hand (TARN_CACHE_DIR=DIR/tables).
//
// Slides are written into a temporary directory; its table folder holds the bench slide's colour
// table and three others before anything is timed (what these figures describe is a user's every
// day, not the first open of their life). Otherwise the probes run with the user's environment:
// default tile cache, default thread count.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "BenchSlides.h"
#include "ColorCorrect/ColorTables.h"
#include "RemoteServers.h"

extern char** environ;

namespace {

// One side of a ratio: the probe's arguments and the environment variables it runs with, or
// another program whose run is timed whole (wall time). "%RUN%" in an argument becomes a number
// of its own at each run.
struct Side {
    Side() = default;
    Side(std::vector<std::string> arguments, std::vector<std::string> environment = {},
         std::string programPath = {})
        : args(std::move(arguments)),
          env(std::move(environment)),
          program(std::move(programPath)) {}

    std::vector<std::string> args;
    std::vector<std::string> env;  // NAME=VALUE, replacing the variable where it is set
    std::string program;           // empty: the probe, which prints its figure
};

struct Measure {
    std::string name;
    Side library, baseline;
    // The ratio reads baseline time / library time (above 1: the library is faster) when true,
    // library time / baseline time when false.
    bool speedup;
    std::string goal;
};

std::string TableFolder() {
    return tarnbench::BenchDirectory() + "/tables";
}

bool SameName(const std::string& a, const std::string& b) {
    const size_t equals = a.find('=');
    return equals != std::string::npos && b.compare(0, equals + 1, a, 0, equals + 1) == 0;
}

std::vector<char*> Environment(const std::vector<std::string>& extra,
                               std::vector<std::string>* storage) {
    storage->assign(extra.begin(), extra.end());
    const std::string folder = "TARN_CACHE_DIR=" + TableFolder();
    if (std::none_of(storage->begin(), storage->end(),
                     [&](const std::string& x) { return SameName(x, folder); }))
        storage->push_back(folder);
    for (char** e = environ; *e != nullptr; ++e)
        if (std::none_of(storage->begin(), storage->end(),
                         [&](const std::string& x) { return SameName(x, *e); }))
            storage->push_back(*e);
    std::vector<char*> pointers;
    for (std::string& s : *storage)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Runs the probe; its figure in microseconds (for another program, its run's), or a negative
// number when it failed.
double RunProbe(const Side& side) {
    static int runs = 0;
    std::vector<std::string> args{side.program.empty() ? TARN_PEER_PROBE_PATH : side.program};
    for (std::string arg : side.args) {
        if (const size_t at = arg.find("%RUN%"); at != std::string::npos)
            arg.replace(at, 5, std::to_string(getpid()) + "-" + std::to_string(++runs));
        args.push_back(arg);
    }
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
    const auto start = std::chrono::steady_clock::now();
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char text[128] = {};
    ssize_t got = spawned == 0 ? read(out[0], text, sizeof text - 1) : -1;
    while (got > 0 && !side.program.empty() && read(out[0], text, sizeof text - 1) > 0) {
    }
    close(out[0]);
    int status = 0;
    const bool ended = spawned == 0 && waitpid(child, &status, 0) == child;
    const double micros =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    if (!side.program.empty() && got == 0) got = 1;  // a quiet program prints nothing
    if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || got <= 0) {
        fprintf(stderr, "failed (status %d):", status);
        for (const std::string& a : args)
            fprintf(stderr, " %s", a.c_str());
        fprintf(stderr, "\n");
        return -1;
    }
    return side.program.empty() ? atof(text) : micros;
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

// The figures' sides. `before` is empty, or the directory of another build of the library.
struct Sides {
    std::string columns, rows, jpeg, hevc, tiff;

    Side Reads(const char* how, const char* kind, std::vector<std::string> env = {}) const {
        const std::string& path = std::string(kind) == "openslide" ? tiff : jpeg;
        return {{how, kind, path, columns, rows, "100"}, std::move(env)};
    }
    Side Opens(const char* kind, bool other, int count = 30) const {
        const std::string& path = std::string(kind) == "openslide" ? tiff : jpeg;
        Side side{{"open", kind, path, std::to_string(count)}, {}};
        if (other) side.args.push_back(path);
        return side;
    }
    Side Hevc(const char* kind) const { return {{"hevc", kind, hevc, "4"}, {}}; }
};

// The other build reads and writes a table folder of its own: its files lie in the page cache as
// it leaves them.
Side Before(Side side, const std::string& before) {
    const std::string folder = TableFolder() + "-before";
    mkdir(folder.c_str(), 0700);
    side.env.push_back("LD_LIBRARY_PATH=" + before);
    side.env.push_back("TARN_CACHE_DIR=" + folder);
    return side;
}

// Slides read from URLs against the same files: over loopback nginx, and through the fault proxy
// adding 20 ms to every answer; wall time on both sides. Empty when the servers do not start.
std::vector<Measure> RemoteMeasures(const Sides& s) {
    std::string why;
    const remotetest::Nginx* nginx = remotetest::StartNginx(&why);
    const int proxy = nginx != nullptr ? remotetest::StartFaultProxy(&why) : 0;
    if (proxy == 0) {
        fprintf(stderr, "no remote rows: %s\n", why.c_str());
        return {};
    }
    const std::string exportPath = tarnbench::ExportSlide().path;
    const std::string jpegName = "jpeg.tarn", exportName = "export.tarn";
    remotetest::WriteFileAtomically(nginx->root + "/" + jpegName, remotetest::ReadFile(s.jpeg));
    remotetest::WriteFileAtomically(nginx->root + "/" + exportName,
                                    remotetest::ReadFile(exportPath));
    const std::string http = nginx->Http(jpegName);
    const std::string slow = "http://127.0.0.1:" + std::to_string(proxy) + "/delay=20/" + jpegName;
    const std::vector<std::string> wall{"TARN_PROBE_CLOCK=wall"};
    auto reads = [&](const std::string& path) {
        return Side{{"cold", "tarn", path, s.columns, s.rows, "100"}, wall};
    };
    auto open = [&](const std::string& path) { return Side{{"open", "tarn", path, "1"}, wall}; };
    auto region = [&](const std::string& path) {
        return Side{{"region", "tarn", path, "300", "200", "2048"}, wall};
    };
    auto exportTiles = [&](const std::string& path, const std::string& folder) {
        return Side{{"export", path, tarnbench::BenchDirectory() + "/" + folder, "--quiet"},
                    {},
                    TARN_TOOL_PATH};
    };
    return {
        {"Cold 512 x 512 regions, http on loopback vs the file", reads(http), reads(s.jpeg), true,
         ">= 0.7"},
        {"First open, http 20 ms away, vs the file", open(slow + "?run=%RUN%"), open(s.jpeg), false,
         "<= 100 ms"},
        {"Open again in a new process, http 20 ms away, vs the file", open(slow), open(s.jpeg),
         false, "<= 100 ms"},
        {"2048 x 2048 region, http 20 ms away, vs the file", region(slow), region(s.jpeg), false,
         "<= 0.5 s"},
        {"Level-0 export (tarn export), http on loopback vs the file",
         exportTiles(nginx->Http(exportName), "export-http"),
         exportTiles(exportPath, "export-file"), true, ">= 0.8"},
    };
}

std::vector<Measure> Measures(const std::string& before) {
    const tarnbench::BenchSlide& jpeg = tarnbench::JpegSlide();
    const Sides s{std::to_string(tarnbench::PictureWidth(jpeg) / 256),
                  std::to_string(tarnbench::PictureHeight(jpeg) / 256), jpeg.path,
                  tarnbench::HevcSlide().path, tarnbench::PyramidTiff()};
    const std::vector<std::string> off{"TARN_CACHE_SIZE=0"};
    std::vector<Measure> m = {
        {"Cold reads, default cache vs cache off", s.Reads("cold", "tarn"),
         s.Reads("cold", "tarn", off), true, ">= 0.95"},
        {"Cold reads vs OpenSlide", s.Reads("cold", "tarn"), s.Reads("cold", "openslide"), true,
         ">= 3"},
        {"Cold reads, cache off, vs OpenSlide", s.Reads("cold", "tarn", off),
         s.Reads("cold", "openslide"), true, ""},
        {"Warm reads vs OpenSlide", s.Reads("warm", "tarn"), s.Reads("warm", "openslide"), true,
         ""},
        {"Open + close, tarn.h, alone, vs OpenSlide", s.Opens("tarn", false),
         s.Opens("openslide", false), true, "<= 1 ms"},
        {"Open + close, tarn.h, another handle open, vs OpenSlide", s.Opens("tarn", true),
         s.Opens("openslide", true), true, "<= 1 ms"},
        {"Open + close, fixed interface, alone, vs OpenSlide", s.Opens("fixed", false),
         s.Opens("openslide", false), true, ""},
        {"Open + close, fixed interface, another handle open, vs OpenSlide", s.Opens("fixed", true),
         s.Opens("openslide", true), true, ""},
        {"First open + close in a process, tarn.h, vs OpenSlide", s.Opens("tarn", false, 1),
         s.Opens("openslide", false, 1), true, ""},
        {"HEVC tiles through tarn.h vs bare libavcodec", s.Hevc("tarn"), s.Hevc("bare"), true, ""},
        {"HEVC decoder set up per tile vs one context", s.Hevc("fresh"), s.Hevc("bare"), false,
         "reuse when > 1.10"},
    };
    const std::vector<Measure> remote = RemoteMeasures(s);
    m.insert(m.end(), remote.begin(), remote.end());
    if (before.empty()) return m;
    const std::vector<Measure> againstBefore = {
        {"Cold reads, after vs before", s.Reads("cold", "tarn"), {}, true, ""},
        {"Cold reads, cache off, after vs before", s.Reads("cold", "tarn", off), {}, true, ""},
        {"Open + close, tarn.h, alone, after vs before", s.Opens("tarn", false), {}, true, ""},
        {"Open + close, tarn.h, another handle open, after vs before",
         s.Opens("tarn", true),
         {},
         true,
         ""},
        {"Open + close, fixed interface, alone, after vs before",
         s.Opens("fixed", false),
         {},
         true,
         ""},
        {"First open + close in a process, tarn.h, after vs before",
         s.Opens("tarn", false, 1),
         {},
         true,
         ""},
        {"HEVC tiles through tarn.h, after vs before", s.Hevc("tarn"), {}, true, ""},
    };
    for (Measure measure : againstBefore) {
        measure.baseline = Before(measure.library, before);
        m.push_back(measure);
    }
    return m;
}

std::string Arg(int argc, char** argv, const char* name) {
    for (int i = 1; i + 1 < argc; ++i)
        if (strcmp(argv[i], name) == 0) return argv[i + 1];
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = std::max(
        1, atoi(Arg(argc, argv, "--rounds").empty() ? "7" : Arg(argc, argv, "--rounds").c_str()));
    const std::string only = Arg(argc, argv, "--only"), keep = Arg(argc, argv, "--keep");
    FillTableFolder();
    if (!keep.empty()) {
        const std::string copy = "mkdir -p '" + keep + "' && cp -r '" +
                                 tarnbench::JpegSlide().path + "' '" + tarnbench::HevcSlide().path +
                                 "' '" + tarnbench::PyramidTiff() + "' '" + TableFolder() + "' '" +
                                 keep + "'";
        return system(copy.c_str()) == 0 ? 0 : 1;
    }
    printf("| Measure | Library | Baseline | Ratio | Goal |\n|---|---|---|---|---|\n");
    fflush(stdout);
    for (const Measure& m : Measures(Arg(argc, argv, "--before"))) {
        if (!only.empty() && m.name.find(only) == std::string::npos) continue;
        // One untimed run of each side: files in the page cache, a first table in the folder.
        bool failed = RunProbe(m.library) < 0 || RunProbe(m.baseline) < 0;
        std::vector<double> library, baseline, ratios;
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
        if (failed)
            printf("| %s | failed | | | %s |\n", m.name.c_str(), m.goal.c_str());
        else
            printf("| %s | %.2f ms | %.2f ms | %.2f | %s |\n", m.name.c_str(),
                   Median(library) / 1000, Median(baseline) / 1000, Median(ratios), m.goal.c_str());
        fflush(stdout);
    }
    return 0;
}
