// What the default tile cache costs reads it cannot spare: 100 distinct random 512 x 512 regions
// of the bench slide read once each through tarn.h, in a fresh process (tarn_cold_read_probe),
// with the default cache and with TARN_CACHE_SIZE=0, the two taking turns. Reported: each side's
// median time, its page faults, and the median of the pairs' speed ratio cache on / cache off
// (1 when the cache costs nothing; the goal is at least 0.95).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSlides.h"

extern char** environ;

namespace {

struct ProbeRun {
    double seconds = 0;
    double faults = 0;
};

// Runs the probe with the cache on (TARN_CACHE_SIZE unset) or off (0); false when it fails.
bool RunColdProbe(bool cacheOn, ProbeRun* run) {
    const std::string slide = tarnbench::JpegSlide().path;
    const char* set = getenv("TARN_CACHE_SIZE");
    const std::string previous = set != nullptr ? set : "";
    if (cacheOn)
        unsetenv("TARN_CACHE_SIZE");
    else
        setenv("TARN_CACHE_SIZE", "0", 1);
    int out[2];
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* argv[] = {const_cast<char*>(TARN_COLD_READ_PROBE_PATH), const_cast<char*>(slide.c_str()),
                    const_cast<char*>("100"), nullptr};
    pid_t child = -1;
    const int spawned =
        posix_spawn(&child, TARN_COLD_READ_PROBE_PATH, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (set != nullptr)
        setenv("TARN_CACHE_SIZE", previous.c_str(), 1);
    else
        unsetenv("TARN_CACHE_SIZE");
    close(out[1]);
    char text[128] = {};
    const ssize_t got = spawned == 0 ? read(out[0], text, sizeof text - 1) : -1;
    close(out[0]);
    int status = 0;
    if (spawned != 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0 || got <= 0)
        return false;
    return sscanf(text, "%lf %lf", &run->seconds, &run->faults) == 2;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : (n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

// Each iteration is one pair; the sides alternate which runs first. The time reported is the
// cache-on side's.
void BM_ColdReadsCacheOnOverOff(benchmark::State& state) {
    std::vector<double> on, off, ratios, onFaults, offFaults;
    ProbeRun warm;
    RunColdProbe(true, &warm);  // the slide's table to the folder, the file to the page cache
    for (auto _ : state) {
        ProbeRun withCache, without;
        const bool onFirst = on.size() % 2 == 0;
        const bool ok = onFirst ? RunColdProbe(true, &withCache) && RunColdProbe(false, &without)
                                : RunColdProbe(false, &without) && RunColdProbe(true, &withCache);
        if (!ok) {
            state.SkipWithError("probe failed");
            break;
        }
        state.SetIterationTime(withCache.seconds);
        on.push_back(withCache.seconds);
        off.push_back(without.seconds);
        ratios.push_back(without.seconds / withCache.seconds);
        onFaults.push_back(withCache.faults);
        offFaults.push_back(without.faults);
    }
    state.counters["on_ms"] = Median(on) * 1e3;
    state.counters["off_ms"] = Median(off) * 1e3;
    state.counters["on_faults"] = Median(onFaults);
    state.counters["off_faults"] = Median(offFaults);
    state.counters["speed_on_over_off"] = Median(ratios);
}
BENCHMARK(BM_ColdReadsCacheOnOverOff)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(7);

}  // namespace
