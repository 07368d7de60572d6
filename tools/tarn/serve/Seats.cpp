#include "Seats.h"

#include <utility>

#include "Server.h"

namespace tarncli::serve {

SlideSeat::SlideSeat(SlideSeat&& other) noexcept
    : entry_(std::exchange(other.entry_, nullptr)), wake_(other.wake_) {}

SlideSeat& SlideSeat::operator=(SlideSeat&& other) noexcept {
    if (this != &other) {
        Release();
        entry_ = std::exchange(other.entry_, nullptr);
        wake_ = other.wake_;
    }
    return *this;
}

bool SlideSeat::Take(SlideEntry& entry, int seats, http::Deferrals* wake) {
    Release();
    int taken = entry.seats.load(std::memory_order_relaxed);
    do {
        if (taken >= seats) return false;
    } while (!entry.seats.compare_exchange_weak(taken, taken + 1, std::memory_order_acq_rel));
    entry_ = &entry;
    wake_ = wake;
    return true;
}

void SlideSeat::Release() {
    if (entry_ == nullptr) return;
    entry_->seats.fetch_sub(1, std::memory_order_acq_rel);
    entry_ = nullptr;
    if (wake_ != nullptr) wake_->Wake();
}

bool SeatFree(const SlideEntry& entry, int seats) {
    return entry.seats.load(std::memory_order_acquire) < seats;
}

}  // namespace tarncli::serve
