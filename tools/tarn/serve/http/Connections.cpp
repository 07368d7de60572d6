#include "http/Connections.h"

#include <sys/socket.h>

#include <new>

namespace tarncli::serve::http {

namespace {

int64_t Ticks(Clock::time_point time) {
    return time.time_since_epoch().count();
}

}  // namespace

ConnectionWatch::ConnectionWatch(unsigned headerSeconds, unsigned requestSeconds)
    : headerTime_(std::chrono::seconds(headerSeconds)),
      requestTime_(std::chrono::seconds(requestSeconds)) {
    watcher_ = std::thread([this] { Watch(); });
}

ConnectionWatch::~ConnectionWatch() {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    watcher_.join();
    for (WatchedConnection* watched : open_)
        delete watched;
}

WatchedConnection* ConnectionWatch::Of(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<WatchedConnection*>(info->socket_context) : nullptr;
}

void ConnectionWatch::StartPhase(WatchedConnection* watched) {
    const Clock::time_point now = Clock::now();
    watched->phaseStart.store(Ticks(now), std::memory_order_relaxed);
    watched->deadline.store(Ticks(now + std::min(headerTime_, requestTime_)),
                            std::memory_order_relaxed);
}

void ConnectionWatch::Notify(void* cls, MHD_Connection* connection, void** socketContext,
                             MHD_ConnectionNotificationCode code) {
    auto* watch = static_cast<ConnectionWatch*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        auto* watched = new (std::nothrow) WatchedConnection;
        if (watched == nullptr || info == nullptr) {
            delete watched;
            return;  // unwatched: libmicrohttpd's idle timeout still applies
        }
        watched->fd = info->connect_fd;
        watch->StartPhase(watched);
        try {
            const std::lock_guard<std::mutex> hold(watch->lock_);
            watch->open_.insert(watched);
        } catch (const std::bad_alloc&) {
            delete watched;
            return;
        }
        *socketContext = watched;
        return;
    }
    // Closed: libmicrohttpd closes the socket after this returns, so the watcher, which shuts
    // sockets down under the same lock, never touches a descriptor that was reused.
    auto* watched = static_cast<WatchedConnection*>(*socketContext);
    if (watched == nullptr) return;
    {
        const std::lock_guard<std::mutex> hold(watch->lock_);
        watch->open_.erase(watched);
    }
    delete watched;
    *socketContext = nullptr;
}

void ConnectionWatch::HeadersDone(MHD_Connection* connection) {
    if (WatchedConnection* watched = Of(connection))
        watched->deadline.store(
            watched->phaseStart.load(std::memory_order_relaxed) + requestTime_.count(),
            std::memory_order_relaxed);
}

void ConnectionWatch::RequestDone(MHD_Connection* connection) {
    if (WatchedConnection* watched = Of(connection)) StartPhase(watched);
}

Clock::time_point ConnectionWatch::RequestDeadline(MHD_Connection* connection) const {
    const WatchedConnection* watched = Of(connection);
    if (watched == nullptr) return Clock::now() + requestTime_;
    return Clock::time_point(Clock::duration(watched->phaseStart.load(std::memory_order_relaxed))) +
           requestTime_;
}

void ConnectionWatch::Progress(WatchedConnection* watched) {
    if (watched != nullptr)
        watched->deadline.store(Ticks(Clock::now() + requestTime_), std::memory_order_relaxed);
}

void ConnectionWatch::Watch() {
    std::unique_lock<std::mutex> hold(lock_);
    while (!stopping_) {
        const int64_t now = Ticks(Clock::now());
        for (WatchedConnection* watched : open_) {
            const int64_t deadline = watched->deadline.load(std::memory_order_relaxed);
            if (watched->shut || deadline == 0 || deadline > now) continue;
            // The client then reads an end of stream, and libmicrohttpd closes the connection.
            shutdown(watched->fd, SHUT_RDWR);
            watched->shut = true;
            shutCount_.fetch_add(1, std::memory_order_relaxed);
        }
        wake_.wait_for(hold, std::chrono::milliseconds(200));
    }
}

}  // namespace tarncli::serve::http
