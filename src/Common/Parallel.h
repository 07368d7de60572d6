// How the library spreads work over the processors: one OpenMP team of all processors, each
// thread taking one contiguous block of the index range, the first (count mod threads) blocks one
// longer. The blocks do not depend on timing, so results never depend on the team size.
#pragma once

#include <cstdint>

#ifndef TARN_NO_OPENMP
#include <omp.h>
#endif

namespace tarn {

inline int ProcessorCount() {
#ifndef TARN_NO_OPENMP
    return omp_get_num_procs();
#else
    return 1;
#endif
}

// Sets the calling thread's team size to the number of processors; the setting stays in force
// for its later parallel regions.
inline void UseAllProcessors() {
#ifndef TARN_NO_OPENMP
    omp_set_num_threads(ProcessorCount());
#endif
}

inline int TeamSize() {
#ifndef TARN_NO_OPENMP
    return omp_get_num_threads();
#else
    return 1;
#endif
}

inline int ThreadNumber() {
#ifndef TARN_NO_OPENMP
    return omp_get_thread_num();
#else
    return 0;
#endif
}

struct IndexBlock {
    int64_t begin;
    int64_t end;
};

// The block of `count` indices that thread `thread` of `threads` owns.
inline IndexBlock BlockOf(int64_t count, int threads, int thread) {
    const int64_t q = count / threads;
    const int64_t r = count % threads;
    if (thread < r) return {thread * (q + 1), thread * (q + 1) + q + 1};
    return {thread * q + r, thread * q + r + q};
}

// Runs fn(begin, end) once per thread of a team of `threads`, over disjoint blocks that cover
// [0, count).
template <class Fn>
void ForEachBlockOnTeam(int64_t count, [[maybe_unused]] int threads, Fn&& fn) {
#pragma omp parallel num_threads(threads)
    {
        const IndexBlock block = BlockOf(count, TeamSize(), ThreadNumber());
        if (block.begin < block.end) fn(block.begin, block.end);
    }
}

// The same on a team of all processors, which also becomes the calling thread's default.
template <class Fn>
void ForEachBlock(int64_t count, Fn&& fn) {
    UseAllProcessors();
    ForEachBlockOnTeam(count, ProcessorCount(), fn);
}

}  // namespace tarn
