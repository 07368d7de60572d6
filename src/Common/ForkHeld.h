// The live objects of one kind whose locks must all be held across fork(). fork() copies only
// the calling thread, while other threads (the library's own coarse-level builds among them) may
// be inside those locks: a fork handler takes every object's locks through LockAll and gives
// them back through UnlockAll in parent and child, so the child finds each object whole and
// unlocked.
#pragma once

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

namespace tarn {

template <typename T>
class ForkHeld {
  public:
    // False when out of memory (the object is not listed).
    bool Add(T* item) {
        const std::lock_guard<std::mutex> hold(lock_);
        try {
            all_.push_back(item);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    void Remove(T* item) {
        const std::lock_guard<std::mutex> hold(lock_);
        const auto found = std::find(all_.begin(), all_.end(), item);
        if (found != all_.end()) all_.erase(found);
    }

    // Takes the list's lock, then `lockItem(object)` for each; held until UnlockAll.
    template <typename LockItem>
    void LockAll(LockItem lockItem) {
        lock_.lock();
        for (T* item : all_)
            lockItem(*item);
    }

    template <typename UnlockItem>
    void UnlockAll(UnlockItem unlockItem) {
        for (T* item : all_)
            unlockItem(*item);
        lock_.unlock();
    }

  private:
    std::mutex lock_;
    std::vector<T*> all_;
};

}  // namespace tarn
