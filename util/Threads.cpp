#include "util/Threads.h"

#include <sched.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace tarn {
namespace {

// 0: not set by a call (the environment decides); negative: no cap; positive: the cap.
std::atomic<int> explicitCap{0};

// TARN_NUM_THREADS as a positive number, or 0 when unset or not one.
int CapFromEnvironment() {
    const char* text = getenv("TARN_NUM_THREADS");
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value <= 0 || value > INT_MAX) return 0;
    return static_cast<int>(value);
}

}  // namespace

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

void SetThreadCap(int threads) {
    explicitCap.store(threads > 0 ? threads : -1, std::memory_order_relaxed);
}

int ThreadBudget() {
    const int cap = explicitCap.load(std::memory_order_relaxed);
    if (cap > 0) return cap;
    if (cap == 0) {
        const int fromEnvironment = CapFromEnvironment();
        if (fromEnvironment > 0) return fromEnvironment;
    }
    return ProcessorCount();
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
