#include "util/Threads.h"

#include <sched.h>

#include <atomic>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace tarn {

int ProcessorCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? static_cast<int>(hardware) : 1;
}

void ParallelFor(int64_t count, int threads, const std::function<void(int64_t)>& body) {
    if (count <= 0) return;
    const int64_t wanted = threads < 1 ? 1 : (threads < count ? threads : count);
    std::atomic<int64_t> next{0};
    const auto work = [&] {
        for (int64_t index = next++; index < count; index = next++)
            body(index);
    };
    // Helpers that cannot be started leave their share to the threads that run: the work is
    // taken index by index, so it gets done either way.
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(static_cast<size_t>(wanted - 1));
        for (int64_t t = 1; t < wanted; ++t)
            helpers.emplace_back(work);
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
}

}  // namespace tarn
