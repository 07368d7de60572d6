#include "Status.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace tarncli::serve {

int LatencyHistogram::BucketOf(uint64_t micros) {
    if (micros < kSubBuckets) return static_cast<int>(micros);
    const int octave = 63 - __builtin_clzll(micros);  // >= 3
    const auto sub = static_cast<int>((micros >> (octave - 3)) & (kSubBuckets - 1));
    const int bucket = (octave - 2) * kSubBuckets + sub;
    return bucket < kBuckets ? bucket : kBuckets - 1;
}

uint64_t LatencyHistogram::UpperBound(int bucket) {
    if (bucket < kSubBuckets) return static_cast<uint64_t>(bucket) + 1;
    const int octave = bucket / kSubBuckets + 2;
    const uint64_t sub = static_cast<uint64_t>(bucket % kSubBuckets);
    return ((kSubBuckets + sub + 1) << (octave - 3));
}

void LatencyHistogram::Add(uint64_t micros) {
    // The maximum first: a snapshot that counts this request then never sees a smaller maximum.
    uint64_t seen = max_.load(std::memory_order_relaxed);
    while (micros > seen && !max_.compare_exchange_weak(seen, micros, std::memory_order_relaxed)) {
    }
    buckets_[static_cast<size_t>(BucketOf(micros))].fetch_add(1, std::memory_order_release);
}

LatencyHistogram::Snapshot LatencyHistogram::Take() const {
    std::array<uint64_t, kBuckets> counts{};
    Snapshot snapshot;
    for (size_t i = 0; i < counts.size(); ++i)
        snapshot.count += counts[i] = buckets_[i].load(std::memory_order_acquire);
    snapshot.max = max_.load(std::memory_order_relaxed);
    if (snapshot.count == 0) return Snapshot{};
    // The nearest rank: the smallest count of requests that covers the fraction. A bucket's upper
    // bound may pass the largest time seen, which bounds every percentile.
    const auto percentile = [&](double fraction) {
        const auto wanted = std::max<uint64_t>(
            1, static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(snapshot.count))));
        uint64_t seen = 0;
        for (int bucket = 0; bucket < kBuckets; ++bucket) {
            seen += counts[static_cast<size_t>(bucket)];
            if (seen >= wanted) return std::min(UpperBound(bucket), snapshot.max);
        }
        return snapshot.max;
    };
    snapshot.p50 = percentile(0.50);
    snapshot.p90 = percentile(0.90);
    snapshot.p99 = percentile(0.99);
    return snapshot;
}

ServeStatus::ServeStatus(std::vector<std::string> counters)
    : started_(std::chrono::steady_clock::now()), names_(std::move(counters)) {
    names_.emplace_back("other");
    tileCounter_ =
        static_cast<size_t>(std::find(names_.begin(), names_.end(), "tile") - names_.begin());
    byRoute_ = std::make_unique<std::atomic<uint64_t>[]>(names_.size());
}

void ServeStatus::Record(size_t counter, int status, uint64_t micros) {
    if (counter >= names_.size()) counter = Other();
    byRoute_[counter].fetch_add(1, std::memory_order_relaxed);
    const int statusClass = status >= 100 && status < 600 ? status / 100 - 1 : 5;
    byClass_[static_cast<size_t>(statusClass)].fetch_add(1, std::memory_order_relaxed);
    all_.Add(micros);
    if (counter == tileCounter_) tiles_.Add(micros);
}

namespace {

std::string LatencyJson(const LatencyHistogram& histogram) {
    const LatencyHistogram::Snapshot s = histogram.Take();
    const auto ms = [](uint64_t micros) { return static_cast<double>(micros) / 1000; };
    char text[256];
    snprintf(text, sizeof text,
             "{\"count\": %" PRIu64
             ", \"p50_ms\": %.3f, \"p90_ms\": %.3f, \"p99_ms\": %.3f, "
             "\"max_ms\": %.3f}",
             s.count, ms(s.p50), ms(s.p90), ms(s.p99), ms(s.max));
    return text;
}

}  // namespace

std::string ServeStatus::Json(const std::string& extra) const {
    const double uptime =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    uint64_t total = 0;
    std::string routes;
    for (size_t i = 0; i < names_.size(); ++i) {
        const uint64_t n = byRoute_[i].load(std::memory_order_relaxed);
        total += n;
        routes += std::string(i ? ", " : "") + "\"" + names_[i] + "\": " + std::to_string(n);
    }
    std::string classes;
    static constexpr const char* kClasses[] = {"1xx", "2xx", "3xx", "4xx", "5xx", "other"};
    for (size_t i = 0; i < byClass_.size(); ++i)
        classes += std::string(i ? ", " : "") + "\"" + kClasses[i] +
                   "\": " + std::to_string(byClass_[i].load(std::memory_order_relaxed));
    char uptimeText[32];
    snprintf(uptimeText, sizeof uptimeText, "%.1f", uptime);
    return std::string("{\"uptime_s\": ") + uptimeText +
           ", \"requests\": " + std::to_string(total) + ", \"by_route\": {" + routes +
           "}, \"by_status\": {" + classes + "}, \"latency\": " + LatencyJson(all_) +
           ", \"tile_latency\": " + LatencyJson(tiles_) + (extra.empty() ? "" : ", " + extra) + "}";
}

}  // namespace tarncli::serve
