#include "Common/ThreadCap.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

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

}  // namespace tarn
