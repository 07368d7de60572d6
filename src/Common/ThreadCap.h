// The library's cap on the threads of its parallel operations: state, so it exists once per
// process, inside the library (programs ask tarn_get_threads()).
#pragma once

#include <cstdint>
#include <functional>

#include "util/Threads.h"

namespace tarn {

// Caps the threads of every later parallel operation at `threads` (1: the calling thread only);
// 0 or less removes the cap. Without a call, the TARN_NUM_THREADS environment variable gives the
// cap, and without it every processor is used.
void SetThreadCap(int threads);

// The number of threads a parallel operation uses now: the cap, or every processor.
int ThreadBudget();

// ParallelFor on ThreadBudget() threads.
inline void ParallelFor(int64_t count, const std::function<void(int64_t)>& body) {
    ParallelFor(count, ThreadBudget(), body);
}

}  // namespace tarn
