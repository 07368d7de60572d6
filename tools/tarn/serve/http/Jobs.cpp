#include "http/Jobs.h"

#include <algorithm>
#include <system_error>

namespace tarncli::serve::http {

bool Jobs::Start(int threads) {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        open_ = true;
    }
    for (int i = 0; i < std::max(1, threads); ++i) {
        try {
            threads_.emplace_back([this] { Work(); });
        } catch (const std::system_error&) {
            break;  // fewer threads than asked: they share the queue
        }
    }
    if (!threads_.empty()) return true;
    const std::lock_guard<std::mutex> hold(lock_);
    open_ = false;
    return false;
}

bool Jobs::Post(std::function<void()> job, const std::function<void()>& accepted) {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        if (!open_) return false;
        queue_.push_back(std::move(job));
        if (accepted) accepted();
    }
    wake_.notify_one();
    return true;
}

void Jobs::Stop() {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        open_ = false;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_)
        if (thread.joinable()) thread.join();
    threads_.clear();
}

void Jobs::Work() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        wake_.wait(hold, [this] { return !queue_.empty() || !open_; });
        if (queue_.empty()) return;  // stopping, and nothing left to answer
        std::function<void()> job = std::move(queue_.front());
        queue_.pop_front();
        hold.unlock();
        job();
        hold.lock();
    }
}

}  // namespace tarncli::serve::http
