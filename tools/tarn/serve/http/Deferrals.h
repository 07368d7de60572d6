// Requests whose answer must wait: a tile of a coarse level still being built, a slide whose
// share of the workers is taken. Such a request is set aside (libmicrohttpd suspends its
// connection, so the worker goes on serving other requests) until its condition holds or its
// time is up; it is then routed again as if it had just arrived.
#pragma once

#include <microhttpd.h>

#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

#include "http/Answer.h"

namespace tarncli::serve::http {

class Deferrals {
  public:
    Deferrals();
    ~Deferrals();
    Deferrals(const Deferrals&) = delete;
    Deferrals& operator=(const Deferrals&) = delete;

    // Suspends `connection` until `ready()` or `until`; false (nothing done) once stopping.
    bool Suspend(MHD_Connection* connection, std::function<bool()> ready, Clock::time_point until);
    // Something a condition may wait for happened: look at them now rather than at the next
    // round.
    void Wake();
    // Resumes every connection set aside, and sets none aside any more (before the daemon stops).
    void Stop();

  private:
    struct Waiting {
        MHD_Connection* connection;
        std::function<bool()> ready;
        Clock::time_point until;
    };
    void Watch();

    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;       // under lock_
    bool woken_ = false;          // under lock_
    std::list<Waiting> waiting_;  // under lock_
    std::thread watcher_;
};

}  // namespace tarncli::serve::http
