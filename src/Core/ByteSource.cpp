#include "Core/ByteSource.h"

#include <pthread.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "Common/Status.h"
#include "Common/FileRecords.h"

namespace tarn {

Status CheckRange(const ByteSource& source, uint64_t offset, size_t length, Error* why) {
    if (offset <= source.size && length <= source.size - offset) return Status::Ok;
    Say(why, "%zu bytes at %llu lie past the end of the slide's %llu bytes", length,
        static_cast<unsigned long long>(offset), static_cast<unsigned long long>(source.size));
    return Status::ShortRead;
}

Status ReadFromSource(const ByteSource& source, uint64_t offset, void* out, size_t length,
                      Error* why) {
    const Status code = CheckRange(source, offset, length, why);
    if (code != Status::Ok || length == 0) return code;
    if (source.read == nullptr) {
        Say(why, "the slide has no bytes to read");
        return Status::ShortRead;
    }
    return source.read(source.context, offset, out, length, why);
}

Status CheckSource(const ByteSource& source, Error* why) {
    return source.check != nullptr ? source.check(source.context, why) : Status::Ok;
}

void HintReads(const ByteSource& source, const ByteRange* ranges, size_t count) {
    if (source.prefetch != nullptr && count > 0) source.prefetch(source.context, ranges, count);
}

void ReleaseSource(ByteSource* source) {
    if (source == nullptr) return;
    if (source->release != nullptr) source->release(source->context);
    *source = ByteSource{};
}

namespace {

struct CallClock {
    int depth = 0;
    int64_t startMs = 0;
};
thread_local CallClock callClock;

}  // namespace

SourceCall::SourceCall() {
    ++callClock.depth;
}

SourceCall::~SourceCall() {
    if (--callClock.depth == 0) callClock.startMs = 0;
}

int64_t SourceCallStartMs() {
    if (callClock.depth == 0) return 0;
    if (callClock.startMs == 0)
        callClock.startMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
    return callClock.startMs;
}

namespace {

// Identities held by open sources, and the last ones released: a slide reopened soon after its
// close finds its tiles still cached. Opens and closes take the lock, never reads.
constexpr size_t kRememberedKeys = 1024;

struct KeyEntry {
    uint64_t key = 0;
    int64_t holders = 0;
};

struct KeyRegistry {
    std::mutex mutex;
    std::unordered_map<std::string, KeyEntry> byIdentity;
    std::unordered_map<uint64_t, std::string> byKey;
    std::deque<uint64_t> released;  // oldest first; may name keys held again since
    uint64_t next = 1;
};

KeyRegistry& Keys();

// fork() copies only the calling thread: the lock is held across it, so the child finds the
// registry consistent and unlocked.
void LockKeys() {
    Keys().mutex.lock();
}
void UnlockKeys() {
    Keys().mutex.unlock();
}

KeyRegistry& Keys() {
    static KeyRegistry* registry = new KeyRegistry;  // never destroyed: slides may outlive exit
    static const bool forkSafe = pthread_atfork(LockKeys, UnlockKeys, UnlockKeys) == 0;
    (void)forkSafe;
    return *registry;
}

void ForgetOldReleased(KeyRegistry& keys) {
    while (keys.released.size() > kRememberedKeys) {
        const uint64_t key = keys.released.front();
        keys.released.pop_front();
        const auto name = keys.byKey.find(key);
        if (name == keys.byKey.end()) continue;
        const auto entry = keys.byIdentity.find(name->second);
        if (entry != keys.byIdentity.end() && entry->second.holders == 0) {
            keys.byIdentity.erase(entry);
            keys.byKey.erase(name);
        }
    }
}

}  // namespace

uint64_t AcquireSourceKey(const void* identity, size_t size) {
    if (identity == nullptr || size == 0) return 0;
    KeyRegistry& keys = Keys();
    const std::lock_guard<std::mutex> lock(keys.mutex);
    try {
        std::string bytes(static_cast<const char*>(identity), size);
        auto [entry, added] = keys.byIdentity.try_emplace(bytes);
        if (added) {
            try {
                keys.byKey.emplace(keys.next, std::move(bytes));
            } catch (...) {
                keys.byIdentity.erase(entry);
                throw;
            }
            entry->second.key = keys.next++;
        }
        ++entry->second.holders;
        return entry->second.key;
    } catch (...) {
        return 0;  // without memory the slide's tiles are simply not cached
    }
}

void ReleaseSourceKey(uint64_t key) {
    if (key == 0) return;
    KeyRegistry& keys = Keys();
    const std::lock_guard<std::mutex> lock(keys.mutex);
    const auto name = keys.byKey.find(key);
    if (name == keys.byKey.end()) return;
    const auto entry = keys.byIdentity.find(name->second);
    if (entry == keys.byIdentity.end() || --entry->second.holders > 0) return;
    try {
        keys.released.push_back(key);
    } catch (...) {
        keys.byIdentity.erase(entry);
        keys.byKey.erase(name);
        return;
    }
    ForgetOldReleased(keys);
}

}  // namespace tarn
