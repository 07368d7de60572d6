// What the server has done since it started: request counts by route and by status, and latency
// percentiles, kept in lock-free counters that every worker thread updates.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace tarncli::serve {

enum class Route {
    Index,
    Viewer,
    Descriptor,
    Tile,
    Properties,
    Associated,
    Static,
    Favicon,
    Status,
    Other,  // refused or unknown requests
    Count
};

const char* RouteName(Route route);

// Latencies in a histogram of 8 buckets per power of two microseconds (12.5 % resolution), so
// that percentiles cost no lock and no memory per request.
class LatencyHistogram {
  public:
    void Add(uint64_t micros);

    // Counts and percentiles read from one copy of the counters, so that they agree with one
    // another (p50 <= p90 <= p99 <= max) however many requests finish meanwhile.
    struct Snapshot {
        uint64_t count = 0, p50 = 0, p90 = 0, p99 = 0, max = 0;  // microseconds
    };
    Snapshot Take() const;

  private:
    static constexpr int kSubBuckets = 8;
    static constexpr int kBuckets = 64 * kSubBuckets;
    static int BucketOf(uint64_t micros);
    static uint64_t UpperBound(int bucket);

    std::array<std::atomic<uint64_t>, kBuckets> buckets_{};
    std::atomic<uint64_t> max_{0};
};

class ServeStatus {
  public:
    ServeStatus() : started_(std::chrono::steady_clock::now()) {}

    // One finished request: its route, HTTP status and time from request line to last byte.
    void Record(Route route, int status, uint64_t micros);

    // Everything as a JSON object; `extra` (members without braces, may be empty) is appended.
    std::string Json(const std::string& extra) const;

  private:
    static constexpr size_t kRoutes = static_cast<size_t>(Route::Count);
    const std::chrono::steady_clock::time_point started_;
    std::array<std::atomic<uint64_t>, kRoutes> byRoute_{};
    std::array<std::atomic<uint64_t>, 6> byClass_{};  // 1xx..5xx, and anything else
    LatencyHistogram all_, tiles_;
};

}  // namespace tarncli::serve
