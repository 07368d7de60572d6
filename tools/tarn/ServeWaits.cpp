#include "ServeWaits.h"

#include <vector>

#include "Serve.h"

namespace tarncli::serve {

BuildWaits::BuildWaits() : watcher_([this] { Watch(); }) {}

BuildWaits::~BuildWaits() {
    Stop();
}

bool BuildWaits::Suspend(MHD_Connection* connection, std::shared_ptr<ServedSlide> slide,
                         int32_t level, Clock::time_point until) {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        if (stopping_) return false;
    }
    // Suspended before it is listed, so that the watcher never resumes a running connection.
    MHD_suspend_connection(connection);
    const std::lock_guard<std::mutex> hold(lock_);
    waiting_.push_back(Waiting{connection, std::move(slide), level, until});
    return true;
}

void BuildWaits::Stop() {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    // The watcher resumes what is left before it ends.
    if (watcher_.joinable()) watcher_.join();
}

void BuildWaits::Watch() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        const Clock::time_point now = Clock::now();
        std::vector<MHD_Connection*> ready;
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (stopping_ || now >= it->until ||
                tarn_deepzoom_wait_level(it->slide->deepzoom, it->level, 0) != 0) {
                ready.push_back(it->connection);
                it = waiting_.erase(it);
            } else {
                ++it;
            }
        }
        // Resumed outside the lock: libmicrohttpd takes its own.
        hold.unlock();
        for (MHD_Connection* connection : ready)
            MHD_resume_connection(connection);
        hold.lock();
        if (stopping_ && waiting_.empty()) return;
        wake_.wait_for(hold, std::chrono::milliseconds(50));
    }
}

}  // namespace tarncli::serve
