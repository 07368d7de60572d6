// A byte-bounded cache that drops its least recently used entries first, split into shards by key
// so that threads rarely meet on a lock. It knows nothing of slides: the library keeps decoded
// tiles in it, `tarn serve` encoded ones.
//
// Each entry is charged a number of bytes; a shard holds at most its share of the capacity, so
// the cache never holds more than its capacity, and an entry larger than a share is never kept.
// Values leave the cache by copy (Find) and are destroyed outside the locks, so a value that is a
// reference-counted handle may be held by readers after its entry was evicted.
//
// Key: copyable and equality-comparable. Hash: a functor giving a uint64_t per key. Value:
// movable and copyable.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

namespace tarn::util {

struct LruStats {
    uint64_t hits = 0;
    uint64_t misses = 0;
    uint64_t bytes = 0;     // charged to the entries held now
    uint64_t capacity = 0;  // the bound on `bytes`
    uint64_t entries = 0;
};

// How a cache splits its capacity: into `fixed` shards, or (fixed 0) into one shard per
// `leastShare` bytes of capacity, at least one and at most `most`.
struct LruShards {
    int fixed = 0;
    size_t leastShare = size_t{4} << 20;
    int most = 8;
};

template <class Key, class Value, class Hash>
class Lru {
  public:
    static constexpr int kMaxShards = 16;

    Lru(size_t capacity, LruShards shards) : layout_(shards) {
        layout_.most = std::clamp(layout_.most, 1, kMaxShards);
        if (layout_.fixed > kMaxShards) layout_.fixed = kMaxShards;
        const int count = ShardCountFor(capacity);
        count_.store(count, std::memory_order_relaxed);
        capacity_.store(capacity, std::memory_order_relaxed);
        for (int i = 0; i < count; ++i)
            shards_[i].share = ShareOf(capacity, count, i);
    }

    ~Lru() {
        for (Shard& shard : shards_) {
            DeleteChain(EvictDownTo(shard, 0));
            free(shard.buckets);
        }
    }

    Lru(const Lru&) = delete;
    Lru& operator=(const Lru&) = delete;

    // On a hit, copies the value into `*value`, makes the entry the most recent and counts a hit;
    // otherwise counts a miss.
    bool Find(const Key& key, Value* value) {
        const uint64_t hash = Hash()(key);
        Shard& shard = ShardOf(hash);
        const std::lock_guard<std::mutex> lock(shard.mutex);
        Node* node = Lookup(shard, hash, key);
        if (node == nullptr) {
            shard.misses.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        if (shard.newest != node) {
            Unlink(shard, node);
            LinkNewest(shard, node);
        }
        *value = node->value;
        shard.hits.fetch_add(1, std::memory_order_relaxed);
        return true;
    }

    // Whether `key` is held now; counts nothing and changes no order.
    bool Contains(const Key& key) const {
        const uint64_t hash = Hash()(key);
        const Shard& shard = ShardOf(hash);
        const std::lock_guard<std::mutex> lock(shard.mutex);
        return Lookup(shard, hash, key) != nullptr;
    }

    // Counts a miss for a key the caller decided not to look up.
    void CountMiss(const Key& key) {
        ShardOf(Hash()(key)).misses.fetch_add(1, std::memory_order_relaxed);
    }

    // Keeps `value` under `key`, charged `charge` bytes, evicting the least recently used entries
    // of its shard as needed. Not kept (false) when it is larger than the shard's share, when the
    // key is held already (another thread kept it meanwhile), or when memory runs out.
    bool Insert(const Key& key, Value value, size_t charge) {
        const uint64_t hash = Hash()(key);
        Shard& shard = ShardOf(hash);
        Node* evicted = nullptr;
        {
            const std::lock_guard<std::mutex> lock(shard.mutex);
            if (charge > shard.share || Lookup(shard, hash, key) != nullptr || !MakeRoom(shard))
                return false;
            Node* node = new (std::nothrow) Node{key, std::move(value), charge, hash};
            if (node == nullptr) return false;
            // Room first: the share holds the new entry alone, so older ones make way for it.
            evicted = EvictDownTo(shard, shard.share - charge);
            Index(shard, node);
        }
        DeleteChain(evicted);
        return true;
    }

    // Evicts from the shard of `key` until `charge` more bytes fit in it, and hands the values
    // evicted to take(Value&&), outside the lock: a caller about to insert can reuse what they
    // hold.
    template <class Take>
    void MakeRoomFor(const Key& key, size_t charge, Take&& take) {
        Shard& shard = ShardOf(Hash()(key));
        Node* evicted = nullptr;
        {
            const std::lock_guard<std::mutex> lock(shard.mutex);
            if (charge <= shard.share) evicted = EvictDownTo(shard, shard.share - charge);
        }
        while (evicted != nullptr) {
            Node* next = evicted->chain;
            take(std::move(evicted->value));
            delete evicted;
            evicted = next;
        }
    }

    // Changes the bound, dropping the least recently used entries that no longer fit (all of
    // them when the number of shards changes with it: keys would move between shards).
    void SetCapacity(size_t capacity) {
        const std::lock_guard<std::mutex> resizing(resizing_);
        const int count = ShardCountFor(capacity);
        if (count != count_.load(std::memory_order_relaxed)) {
            Apportion(0, count);
            count_.store(count, std::memory_order_release);
        }
        capacity_.store(capacity, std::memory_order_relaxed);
        Apportion(capacity, count);
    }

    size_t capacity() const { return capacity_.load(std::memory_order_relaxed); }

    // Removes every entry whose key `pick` chooses.
    template <class Pick>
    void EraseIf(Pick&& pick) {
        for (Shard& shard : shards_) {
            Node* erased = nullptr;
            {
                const std::lock_guard<std::mutex> lock(shard.mutex);
                for (Node* node = shard.newest; node != nullptr;) {
                    Node* older = node->older;
                    if (pick(node->key)) {
                        Remove(shard, node);
                        node->chain = erased;
                        erased = node;
                    }
                    node = older;
                }
            }
            DeleteChain(erased);
        }
    }

    // What every shard can hold now: an entry charged more is never kept.
    size_t LeastShare() const {
        return capacity() / static_cast<size_t>(count_.load(std::memory_order_acquire));
    }

    LruStats Stats() const {
        LruStats stats;
        stats.capacity = capacity();
        for (const Shard& shard : shards_) {
            stats.hits += shard.hits.load(std::memory_order_relaxed);
            stats.misses += shard.misses.load(std::memory_order_relaxed);
            const std::lock_guard<std::mutex> lock(shard.mutex);
            stats.bytes += shard.bytes;
            stats.entries += shard.entries;
        }
        return stats;
    }

    // Every lock of the index, taken in the one order they are ever taken in, and given back: a
    // fork between the two finds none held by a thread the child does not have.
    void LockAll() {
        resizing_.lock();
        for (Shard& shard : shards_)
            shard.mutex.lock();
    }
    void UnlockAll() {
        for (Shard& shard : shards_)
            shard.mutex.unlock();
        resizing_.unlock();
    }

  private:
    struct Node {
        Key key;
        Value value;
        size_t charge = 0;
        uint64_t hash = 0;
        Node* chain = nullptr;  // next in its bucket, or in a list of evicted nodes
        Node* newer = nullptr;
        Node* older = nullptr;
    };

    struct alignas(64) Shard {
        mutable std::mutex mutex;
        Node** buckets = nullptr;  // bucketCount chains; the count is 0 or a power of two
        size_t bucketCount = 0;
        Node* newest = nullptr;  // the LRU list, newest to oldest
        Node* oldest = nullptr;
        size_t share = 0;
        size_t bytes = 0;
        size_t entries = 0;
        std::atomic<uint64_t> hits{0};
        std::atomic<uint64_t> misses{0};
    };

    int ShardCountFor(size_t capacity) const {
        if (layout_.fixed > 0) return layout_.fixed;
        const size_t least = layout_.leastShare > 0 ? layout_.leastShare : 1;
        return static_cast<int>(
            std::clamp<size_t>(capacity / least, 1, static_cast<size_t>(layout_.most)));
    }

    static size_t ShareOf(size_t capacity, int shards, int index) {
        const auto count = static_cast<size_t>(shards);
        return capacity / count + (static_cast<size_t>(index) < capacity % count ? 1 : 0);
    }

    // A key's shard among those in use now. While a capacity change alters their number, a key
    // may be looked for in another shard than it was kept in: a miss, never a wrong value.
    Shard& ShardOf(uint64_t hash) {
        return shards_[(hash >> 32) %
                       static_cast<uint64_t>(count_.load(std::memory_order_acquire))];
    }
    const Shard& ShardOf(uint64_t hash) const {
        return shards_[(hash >> 32) %
                       static_cast<uint64_t>(count_.load(std::memory_order_acquire))];
    }

    // ---- A shard's index and list; every function here runs under the shard's lock.

    static Node** BucketOf(const Shard& shard, uint64_t hash) {
        return &shard.buckets[hash & (shard.bucketCount - 1)];
    }

    static Node* Lookup(const Shard& shard, uint64_t hash, const Key& key) {
        if (shard.bucketCount == 0) return nullptr;
        for (Node* node = *BucketOf(shard, hash); node != nullptr; node = node->chain)
            if (node->hash == hash && node->key == key) return node;
        return nullptr;
    }

    static void LinkNewest(Shard& shard, Node* node) {
        node->older = shard.newest;
        node->newer = nullptr;
        if (shard.newest != nullptr) shard.newest->newer = node;
        shard.newest = node;
        if (shard.oldest == nullptr) shard.oldest = node;
    }

    static void Unlink(Shard& shard, Node* node) {
        if (node->newer != nullptr)
            node->newer->older = node->older;
        else
            shard.newest = node->older;
        if (node->older != nullptr)
            node->older->newer = node->newer;
        else
            shard.oldest = node->newer;
    }

    // Room in the bucket array for one more entry: doubled once there are as many entries as
    // buckets. When memory runs out the chains grow longer instead; only the first array is a
    // must.
    static bool MakeRoom(Shard& shard) {
        if (shard.entries < shard.bucketCount) return true;
        const size_t count = shard.bucketCount == 0 ? 16 : shard.bucketCount * 2;
        auto** buckets = static_cast<Node**>(calloc(count, sizeof(Node*)));
        if (buckets == nullptr) return shard.bucketCount != 0;
        for (size_t i = 0; i < shard.bucketCount; ++i) {
            for (Node* node = shard.buckets[i]; node != nullptr;) {
                Node* next = node->chain;
                Node** bucket = &buckets[node->hash & (count - 1)];
                node->chain = *bucket;
                *bucket = node;
                node = next;
            }
        }
        free(shard.buckets);
        shard.buckets = buckets;
        shard.bucketCount = count;
        return true;
    }

    static void Index(Shard& shard, Node* node) {
        Node** bucket = BucketOf(shard, node->hash);
        node->chain = *bucket;
        *bucket = node;
        LinkNewest(shard, node);
        shard.bytes += node->charge;
        ++shard.entries;
    }

    static void Remove(Shard& shard, Node* node) {
        Node** link = BucketOf(shard, node->hash);
        while (*link != node)
            link = &(*link)->chain;
        *link = node->chain;
        Unlink(shard, node);
        shard.bytes -= node->charge;
        --shard.entries;
    }

    // Evicts the oldest entries until the shard holds at most `bytes`; returns them chained, for
    // the caller to delete after unlocking: destroying values is no work for a lock.
    static Node* EvictDownTo(Shard& shard, size_t bytes) {
        Node* evicted = nullptr;
        while (shard.bytes > bytes) {
            Node* node = shard.oldest;
            Remove(shard, node);
            node->chain = evicted;
            evicted = node;
        }
        return evicted;
    }

    static void DeleteChain(Node* evicted) {
        while (evicted != nullptr) {
            // The analyzer cannot see that a node is chained only once.
            Node* next = evicted->chain;  // NOLINT(clang-analyzer-cplusplus.NewDelete)
            delete evicted;
            evicted = next;
        }
    }

    // Gives the first `count` shards their share of `capacity`, evicting what no longer fits;
    // the others get none and are emptied.
    void Apportion(size_t capacity, int count) {
        for (int i = 0; i < kMaxShards; ++i) {
            Shard& shard = shards_[i];
            Node* evicted = nullptr;
            {
                const std::lock_guard<std::mutex> lock(shard.mutex);
                shard.share = i < count ? ShareOf(capacity, count, i) : 0;
                evicted = EvictDownTo(shard, shard.share);
            }
            DeleteChain(evicted);
        }
    }

    LruShards layout_;
    std::mutex resizing_;  // one capacity change at a time, so every shard ends with its share
    std::atomic<size_t> capacity_{0};
    std::atomic<int> count_{1};  // the first count_ shards are in use
    Shard shards_[kMaxShards];
};

}  // namespace tarn::util
