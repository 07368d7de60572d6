// Deadlines of `tarn serve`'s connections. libmicrohttpd only closes a connection that stays
// silent; one that sends its request a byte at a time, or reads its answer as slowly, would hold
// a place for ever. Every connection here has a deadline for its request line and headers, and
// one for its whole request; a watcher thread shuts down the socket of a connection past its
// deadline, which libmicrohttpd then closes as any connection the client ended. A streamed answer
// may take as long as its client keeps reading: its deadline moves on with every piece taken.
#pragma once

#include <microhttpd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "http/Answer.h"

namespace tarncli::serve::http {

// One open connection, kept as libmicrohttpd's socket context.
struct WatchedConnection {
    int fd = -1;
    std::atomic<int64_t> phaseStart{0};  // Clock ticks: when the current request could begin
    std::atomic<int64_t> deadline{0};    // Clock ticks; 0 while none applies
    bool shut = false;                   // under the watch's lock
};

class ConnectionWatch {
  public:
    // `headerSeconds` for the request line and headers; `requestSeconds` for the whole request,
    // from when it could begin (the connection's start, or the end of its previous request).
    ConnectionWatch(unsigned headerSeconds, unsigned requestSeconds);
    ~ConnectionWatch();
    ConnectionWatch(const ConnectionWatch&) = delete;
    ConnectionWatch& operator=(const ConnectionWatch&) = delete;

    // libmicrohttpd's connection notification (`cls` is the watch).
    static void Notify(void* cls, MHD_Connection* connection, void** socketContext,
                       MHD_ConnectionNotificationCode code);

    // The request's headers are all in: the deadline of the whole request applies.
    void HeadersDone(MHD_Connection* connection);
    // The answer went out: the next request on the connection gets its header deadline.
    void RequestDone(MHD_Connection* connection);
    // When the whole request must be over (for waits that must end before it).
    Clock::time_point RequestDeadline(MHD_Connection* connection) const;
    // The connection's record, for Progress (null when unwatched). Valid until it closes.
    static WatchedConnection* Of(MHD_Connection* connection);
    // A streamed answer's client took a piece: it has the request time again for the next.
    void Progress(WatchedConnection* watched);

    // Connections shut down for overstaying since the start.
    uint64_t shutCount() const { return shutCount_.load(std::memory_order_relaxed); }

  private:
    void StartPhase(WatchedConnection* watched);
    void Watch();

    const Clock::duration headerTime_, requestTime_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;  // under lock_
    std::unordered_set<WatchedConnection*> open_;
    std::atomic<uint64_t> shutCount_{0};
    std::thread watcher_;
};

}  // namespace tarncli::serve::http
