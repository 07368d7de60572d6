// How the library and the programs spread work over the processors (stateless: the library's
// thread cap lives in src/Common/ThreadCap.h, programs ask tarn_get_threads()). Each parallel
// operation starts its own threads and joins them before it returns; the library keeps no thread
// pool. So a process that forks, whatever the library did before, finds nothing half-owned in the
// child, and the library never depends on an OpenMP runtime that another library in the process may
// have loaded first.
#pragma once

#include <cstdint>
#include <functional>

namespace tarn {

// Processors this process may run on.
int ProcessorCount();

// Runs body(index) for every index in [0, count) on up to `threads` threads (the calling thread
// among them), each thread taking the next index as it comes free. Returns when all are done.
// Where an index's work lands must not depend on which thread takes it.
void ParallelFor(int64_t count, int threads, const std::function<void(int64_t)>& body);

}  // namespace tarn
