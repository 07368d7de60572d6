// A worker's hold on one slide. A slide may hold at most SeatsPerSlide workers at once; a request
// beyond that waits without a worker (set aside) for a seat to free, and is turned away with 503
// and Retry-After if none does in time. So a slide whose reads stall keeps the other slides
// answered, however many requests ask for it.
#pragma once

#include "http/Deferrals.h"

namespace tarncli::serve {

struct SlideEntry;

class SlideSeat {
  public:
    SlideSeat() = default;
    ~SlideSeat() { Release(); }
    SlideSeat(const SlideSeat&) = delete;
    SlideSeat& operator=(const SlideSeat&) = delete;
    SlideSeat(SlideSeat&& other) noexcept;
    SlideSeat& operator=(SlideSeat&& other) noexcept;

    // Takes a seat of `entry` when fewer than `seats` are taken; false otherwise. `wake` hears
    // when the seat is given back (requests may wait for it).
    bool Take(SlideEntry& entry, int seats, http::Deferrals* wake);
    void Release();

  private:
    SlideEntry* entry_ = nullptr;
    http::Deferrals* wake_ = nullptr;
};

// Whether `entry` has a seat free now.
bool SeatFree(const SlideEntry& entry, int seats);

}  // namespace tarncli::serve
