// What the server has done since it started: request counts by route and by status, and latency
// percentiles, kept in lock-free counters that every worker thread updates. Routes are counted
// under the names the route table gives them, in its order, then "other" for requests no route
// answered.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarncli::serve {

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
    // `counters`: the names requests are counted under; the latency of tiles is the one of
    // requests counted as "tile".
    explicit ServeStatus(std::vector<std::string> counters);

    // The index under which requests no route answered are counted.
    size_t Other() const { return names_.size() - 1; }

    // One finished request: its counter, HTTP status and time from request line to last byte.
    void Record(size_t counter, int status, uint64_t micros);

    // Everything as a JSON object; `extra` (members without braces, may be empty) is appended.
    std::string Json(const std::string& extra) const;

  private:
    const std::chrono::steady_clock::time_point started_;
    std::vector<std::string> names_;  // the counters', "other" last
    size_t tileCounter_;
    std::unique_ptr<std::atomic<uint64_t>[]> byRoute_;
    std::array<std::atomic<uint64_t>, 6> byClass_{};  // 1xx..5xx, and anything else
    LatencyHistogram all_, tiles_;
};

}  // namespace tarncli::serve
