// How the library spreads work over the processors. Each parallel operation starts its own
// threads and joins them before it returns; the library keeps no thread pool. So a process that
// forks, whatever the library did before, finds nothing half-owned in the child, and the library
// never depends on an OpenMP runtime that another library in the process may have loaded first.
#pragma once

#include <cstdint>
#include <functional>

namespace tarn {

// Processors this process may run on.
int ProcessorCount();

// Caps the threads of every later parallel operation at `threads` (1: the calling thread only);
// 0 or less removes the cap. Without a call, the TARN_NUM_THREADS environment variable gives the
// cap, and without it every processor is used.
void SetThreadCap(int threads);

// The number of threads a parallel operation uses now: the cap, or every processor.
int ThreadBudget();

// Runs body(index) for every index in [0, count) on up to `threads` threads (the calling thread
// among them), each thread taking the next index as it comes free. Returns when all are done.
// Where an index's work lands must not depend on which thread takes it.
void ParallelFor(int64_t count, int threads, const std::function<void(int64_t)>& body);

// The same on ThreadBudget() threads.
inline void ParallelFor(int64_t count, const std::function<void(int64_t)>& body) {
    ParallelFor(count, ThreadBudget(), body);
}

}  // namespace tarn
