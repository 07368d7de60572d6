// Tests of running out of memory: a child process with its address space capped.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace tarntest {

// Sanitizers and valgrind manage memory themselves; capping them proves nothing.
inline bool MemoryIsInstrumented() {
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#endif
#endif
    const char* preload = getenv("LD_PRELOAD");
    return preload != nullptr && strstr(preload, "vgpreload") != nullptr;
}

// Leaves the process `headroom` bytes of address space beyond what it uses now.
inline void CapAddressSpace(size_t headroom) {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    const rlim_t limit = pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) + headroom;
    const rlimit cap{limit, limit};
    setrlimit(RLIMIT_AS, &cap);
}

}  // namespace tarntest
