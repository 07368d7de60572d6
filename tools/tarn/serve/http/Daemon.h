// The HTTP layer's hold on libmicrohttpd, the only part of the server that knows it: a request's
// target checked and split, its headers read, its access checked (the token, loopback host
// names, cross-origin preflights), its route found in the table and run, deferred answers set
// aside, and the answer sent, from a buffer or streamed. Everything else sees plain values
// (Request.h, Answer.h, Route.h).
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "http/Connections.h"
#include "http/Cors.h"
#include "http/Deferrals.h"
#include "http/Jobs.h"
#include "http/Route.h"

namespace tarncli::serve::http {

// What the layer serves, and the parts that follow every connection and set requests aside.
struct Site {
    // `headerSeconds` for a request line and headers, `requestSeconds` for a whole request (and
    // for each piece a streamed answer's client takes).
    Site(unsigned headerSeconds, unsigned requestSeconds) : watch(headerSeconds, requestSeconds) {}

    std::vector<Route> routes;
    std::string token;               // required on the routes that need it, when not empty
    bool loopbackHostsOnly = false;  // answer only requests naming a loopback host
    CorsPolicy cors;
    // Called once per finished request: its route (null when no handler ran: refused, not
    // found, a preflight), its status and its time from request line to last byte.
    std::function<void(const Route* route, int status, uint64_t micros)> record;

    ConnectionWatch watch;
    Deferrals deferrals;
    Jobs handlers;  // run the routes' handlers, `threads` of them
};

struct ListenOptions {
    sockaddr_storage address{};
    bool ipv6 = false;
    int threads = 1;  // workers: handlers that may run at once
    unsigned maxConnections = 512, maxPerAddress = 64, timeoutSeconds = 30;
};

struct Daemon;

// Serves `site` (which must outlive the daemon) until StopDaemon; null with errno on failure.
Daemon* StartDaemon(Site* site, const ListenOptions& options);
// The port listened on.
int DaemonPort(const Daemon* daemon);
// Answers the requests set aside, stops every worker, and frees the daemon.
void StopDaemon(Daemon* daemon);

}  // namespace tarncli::serve::http
