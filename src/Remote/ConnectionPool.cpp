#include "Remote/ConnectionPool.h"

#include <curl/curl.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "Remote/RemoteSettings.h"

namespace tarn::remote {
namespace {

struct HostConnections {
    std::vector<CURL*> idle;
    int inUse = 0;
};

struct Pool {
    std::mutex mutex;
    std::condition_variable freed;
    std::unordered_map<std::string, HostConnections> hosts;
    pid_t pid = getpid();
    int perHost = ConnectionsPerHostSetting();
};

// The pool of this process. A child after fork() gets a new one: the parent's handles hold the
// parent's connections (TLS state included), which the child must neither use nor close, so
// they are left alone; the old pool's lock and wait state belonged to the parent's threads.
Pool* pool = nullptr;

void PrepareFork() {
    if (pool != nullptr) pool->mutex.lock();
}
void ParentAfterFork() {
    if (pool != nullptr) pool->mutex.unlock();
}
void ChildAfterFork() {
    if (pool != nullptr) pool = new Pool;  // the parent's pool stays as it was, unused
}

Pool& ThePool() {
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        pool = new Pool;
        pthread_atfork(PrepareFork, ParentAfterFork, ChildAfterFork);
    });
    return *pool;
}

}  // namespace

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void* TakeConnection(const std::string& poolKey, int64_t deadlineMs) {
    Pool& p = ThePool();
    std::unique_lock lock(p.mutex);
    // A process that forked without the fork handlers (a raw clone) still never reuses its
    // parent's connections.
    if (p.pid != getpid()) {
        p.hosts.clear();
        p.pid = getpid();
    }
    HostConnections& host = p.hosts[poolKey];
    const auto deadline =
        std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadlineMs));
    while (host.idle.empty() && host.inUse >= p.perHost) {
        if (p.freed.wait_until(lock, deadline) == std::cv_status::timeout && host.idle.empty() &&
            host.inUse >= p.perHost)
            return nullptr;
    }
    CURL* handle = nullptr;
    if (!host.idle.empty()) {
        handle = host.idle.back();
        host.idle.pop_back();
    } else {
        handle = curl_easy_init();
        if (handle == nullptr) return nullptr;
    }
    ++host.inUse;
    return handle;
}

void ReturnConnection(const std::string& poolKey, void* handle, bool reusable) {
    Pool& p = ThePool();
    CURL* curl = static_cast<CURL*>(handle);
    {
        std::lock_guard lock(p.mutex);
        auto found = p.hosts.find(poolKey);
        // A handle taken before a fork, in a child that got a new pool, is not this pool's.
        if (found == p.hosts.end() || found->second.inUse == 0) return;
        --found->second.inUse;
        if (reusable) {
            found->second.idle.push_back(curl);
            curl = nullptr;
        }
    }
    p.freed.notify_all();
    if (curl != nullptr) curl_easy_cleanup(curl);
}

}  // namespace tarn::remote
