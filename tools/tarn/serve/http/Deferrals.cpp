#include "http/Deferrals.h"

#include <iterator>

namespace tarncli::serve::http {

Deferrals::Deferrals() : watcher_([this] { Watch(); }) {}

Deferrals::~Deferrals() {
    Stop();
}

bool Deferrals::Suspend(MHD_Connection* connection, std::function<bool()> ready,
                        Clock::time_point until) {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        if (stopping_) return false;
    }
    // Suspended before it is listed, so that the watcher never resumes a running connection.
    MHD_suspend_connection(connection);
    const std::lock_guard<std::mutex> hold(lock_);
    waiting_.push_back(Waiting{connection, std::move(ready), until});
    return true;
}

void Deferrals::Wake() {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        if (waiting_.empty()) return;
        woken_ = true;
    }
    wake_.notify_all();
}

void Deferrals::Stop() {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    // The watcher resumes what is left before it ends.
    if (watcher_.joinable()) watcher_.join();
}

void Deferrals::Watch() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        const Clock::time_point now = Clock::now();
        std::list<Waiting> ready;
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            const auto next = std::next(it);
            if (stopping_ || now >= it->until || it->ready())
                ready.splice(ready.end(), waiting_, it);
            it = next;
        }
        // Resumed outside the lock: libmicrohttpd takes its own. What the conditions hold (a
        // slide, say) is let go there too.
        hold.unlock();
        for (const Waiting& waiting : ready)
            MHD_resume_connection(waiting.connection);
        ready.clear();
        hold.lock();
        if (stopping_ && waiting_.empty()) return;
        wake_.wait_for(hold, std::chrono::milliseconds(50), [this] { return woken_ || stopping_; });
        woken_ = false;
    }
}

}  // namespace tarncli::serve::http
