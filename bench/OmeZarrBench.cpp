// The export slide converted to OME-Zarr by the tool, in a fresh process per run: chunks per
// second (of wall and of processor time) and the process's peak resident memory, on 1 and 2
// threads, with zstd and with zlib.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSlides.h"

extern char** environ;

namespace {

#ifdef TARN_TOOL_PATH
// Runs the tool, its output into `log`; false when it fails. `usage`: its peak resident set and
// processor time.
bool RunTool(const std::vector<std::string>& args, const std::string& log, rusage* usage) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    int status = 0;
    if (wait4(pid, &status, 0, usage) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The chunks the tool says it wrote ("wrote N tiles to ...").
long WrittenChunks(const std::string& log) {
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("wrote ", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

double Seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// Arguments: threads, and the compressor (0 zstd, 1 zlib).
void BM_OmeZarrConvert(benchmark::State& state) {
    const std::string threads = std::to_string(state.range(0));
    const char* compression = state.range(1) == 0 ? "zstd" : "zlib";
    const std::string out = tarnbench::BenchDirectory() + "/bench.ome.zarr";
    const std::string log = tarnbench::BenchDirectory() + "/ome-zarr.log";
    const std::string& slide = tarnbench::ExportSlide().path;
    long chunks = 0, peakKiB = 0;
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove_all(out);
        state.ResumeTiming();
        rusage usage{};
        if (!RunTool({TARN_TOOL_PATH, "export", "--format", "ome-zarr", slide, out, "--threads",
                      threads, "--compression", compression},
                     log, &usage)) {
            state.SkipWithError("tarn export --format ome-zarr failed");
            return;
        }
        chunks += WrittenChunks(log);
        peakKiB = std::max(peakKiB, usage.ru_maxrss);
        cpu += Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    }
    state.counters["chunks/s"] =
        benchmark::Counter(static_cast<double>(chunks), benchmark::Counter::kIsRate);
    // What a loaded machine's wall time hides: the processor time each chunk costs.
    state.counters["chunks/cpu_s"] = static_cast<double>(chunks) / cpu;
    state.counters["peak_MiB"] = static_cast<double>(peakKiB) / 1024;
    std::filesystem::remove_all(out);
}
BENCHMARK(BM_OmeZarrConvert)
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({2, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);
#endif

}  // namespace
