// Requests for tiles of coarse levels still being built. Such a request is set aside
// (libmicrohttpd suspends its connection, so the worker goes on serving other requests) until the
// build is over or its time is up; it is then answered as if it had just arrived: with the tile,
// or with 503 and Retry-After.
#pragma once

#include <microhttpd.h>

#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "ServeConnections.h"

namespace tarncli::serve {

struct ServedSlide;

class BuildWaits {
  public:
    BuildWaits();
    ~BuildWaits();
    BuildWaits(const BuildWaits&) = delete;
    BuildWaits& operator=(const BuildWaits&) = delete;

    // Suspends `connection` until Deep Zoom level `level` of `slide` is ready or `until`; false
    // (nothing done) once stopping.
    bool Suspend(MHD_Connection* connection, std::shared_ptr<ServedSlide> slide, int32_t level,
                 Clock::time_point until);
    // Resumes every connection set aside, and sets none aside any more (before the daemon stops).
    void Stop();

  private:
    struct Waiting {
        MHD_Connection* connection;
        std::shared_ptr<ServedSlide> slide;
        int32_t level;
        Clock::time_point until;
    };
    void Watch();

    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;       // under lock_
    std::list<Waiting> waiting_;  // under lock_
    std::thread watcher_;
};

}  // namespace tarncli::serve
