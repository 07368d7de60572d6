// The threads that run route handlers. libmicrohttpd's own threads only read requests and send
// answers: a handler may block for as long as a slide's reads take (a remote slide whose server
// stalls, say), and a libmicrohttpd thread that blocks also holds every connection it accepted
// in the same round. So a request's connection is suspended while one of these threads answers
// it, and resumed with the answer.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tarncli::serve::http {

class Jobs {
  public:
    Jobs() = default;
    ~Jobs() { Stop(); }
    Jobs(const Jobs&) = delete;
    Jobs& operator=(const Jobs&) = delete;

    // Starts `threads` threads (at least one); false when none could start.
    bool Start(int threads);
    // Queues `job`, calling `accepted` first (under the queue's lock, so before the job can
    // run); false, and neither called, when not started or stopping.
    bool Post(std::function<void()> job, const std::function<void()>& accepted = {});
    // Runs what is queued, then ends every thread.
    void Stop();

  private:
    void Work();

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;  // under lock_
    bool open_ = false;                        // under lock_
    std::vector<std::thread> threads_;
};

}  // namespace tarncli::serve::http
