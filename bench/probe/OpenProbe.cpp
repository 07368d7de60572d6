// A fresh process that opens one slide, as a second program on the machine would, and reports
// what the open cost it: "<microseconds> <Private_Dirty KiB added>". The benchmark that spawns it
// decides through TARN_CACHE_DIR whether the slide's colour table waits in the table folder.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "DecodeTarn.h"

namespace {

long PrivateDirtyKib() {
    FILE* rollup = fopen("/proc/self/smaps_rollup", "r");
    if (rollup == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, rollup) != nullptr)
        if (sscanf(line, "Private_Dirty: %ld kB", &kib) == 1) break;
    fclose(rollup);
    return kib;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const long before = PrivateDirtyKib();
    const auto start = std::chrono::steady_clock::now();
    ZyTarnInfo* slide = ZyOpenTarn(argv[1]);
    const auto end = std::chrono::steady_clock::now();
    const long after = PrivateDirtyKib();
    if (slide == nullptr) return 1;
    printf("%lld %ld\n",
           static_cast<long long>(
               std::chrono::duration_cast<std::chrono::microseconds>(end - start).count()),
           after - before);
    ZyCloseTarn(slide);
    return 0;
}
