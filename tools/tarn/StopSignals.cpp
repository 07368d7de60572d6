#include "StopSignals.h"

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <type_traits>

namespace tarncli {
namespace {

std::atomic<int> caught{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler must not take a lock");
// What a signal handler may store to: the export library reads it as its cancel flag.
volatile sig_atomic_t stopFlag = 0;
static_assert(std::is_same_v<sig_atomic_t, int>, "the cancel flag is an int");

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void RecordSignal(int signal) {
    caught.store(signal, std::memory_order_relaxed);
    stopFlag = 1;
}

}  // namespace

void CatchStopSignals() {
    for (const int signal : kStopSignals) {
        struct sigaction previous {};
        if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = RecordSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(signal, &action, nullptr);
    }
}

int StopSignal() {
    return caught.load(std::memory_order_relaxed);
}

const volatile int* StopFlag() {
    return &stopFlag;
}

int EndBySignal(int signal) {
    // Nothing runs after the signal: what the command printed must be out first.
    fflush(nullptr);
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    return 128 + signal;
}

}  // namespace tarncli
