// serve: slides over HTTP as Deep Zoom, with a browser viewer, on libmicrohttpd's worker pool.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/random.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "Commands.h"
#include "Common.h"
#include "ServeAssets.h"
#include "Server.h"
#include "routes/RouteTable.h"
#include "util/Threads.h"

namespace tarncli {
namespace {

constexpr const char* kServeHelp =
    "usage: tarn serve [options] PATH...\n"
    "\n"
    "Serves slides to web browsers: an index of the slides, a viewer for each (pan and zoom,\n"
    "overview, scale bar, label and macrograph, properties), the Deep Zoom pyramid behind\n"
    "it for any Deep Zoom client, each slide as a IIIF Image API 3.0 service with a\n"
    "Presentation 3.0 manifest (/iiif/3/NAME/info.json, /iiif/3/NAME/manifest.json), and every\n"
    "slide as a study of DICOM whole-slide instances over read-only DICOMweb (/dicomweb:\n"
    "QIDO-RS and WADO-RS). Each PATH is a slide or a folder whose *.tarn files are served,\n"
    "or a slide's URL (http://, https://, s3://BUCKET/KEY: see the README for credentials).\n"
    "Slides are known by their file names without extension (made unique, characters other than\n"
    "letters, digits, '.', '-' and '_' turned into '_'). A file replaced while served is opened\n"
    "anew at the next request; a URL's object is looked at again every 10 seconds, and a new\n"
    "version is served from then on. Stops on Ctrl-C or SIGTERM.\n"
    "\n"
    "  --host ADDRESS        listen on this IP address (default 127.0.0.1, this machine only);\n"
    "                        any address other than loopback requires an access token\n"
    "  --port N              TCP port (default 8080; 0 takes any free port)\n"
    "  --token TOKEN         require TOKEN on every request (letters, digits, '-', '_', '.',\n"
    "                        '~'), as ?token=, cookie, X-Tarn-Token or Bearer header; made up\n"
    "                        and printed when listening beyond loopback without one\n"
    "  --cors ORIGIN         let pages of ORIGIN (scheme://host[:port], several joined by ',',\n"
    "                        or '*') read the Deep Zoom, property and image routes from their\n"
    "                        scripts; they send the token as an 'Authorization: Bearer' header.\n"
    "                        IIIF and DICOMweb answer every origin ('*') unless --token or\n"
    "                        --cors is given\n"
    "  --hide-label          serve no label image nor label properties, nor the label and\n"
    "                        overview DICOM instances (labels often carry patient\n"
    "                        identifiers; a macrograph may show the label too)\n"
    "  --cache-mb N          memory for encoded tiles (default 256)\n"
    "  --threads N           worker threads (default: the number of processors); the library\n"
    "                        is kept to them\n"
    "  --max-connections N   connections at once (default 512)\n"
    "  --max-per-address N   connections at once from one address (default 64); behind a\n"
    "                        reverse proxy every client shares the proxy's address, and the\n"
    "                        proxy's own limits are the ones that tell clients apart\n"
    "  --timeout SECONDS     answer or close every request within this time, and close\n"
    "                        connections idle this long (default 30); request lines and\n"
    "                        headers must arrive within 10 seconds (or this time, if shorter).\n"
    "                        Reads of a URL's slide give up after it too, unless\n"
    "                        TARN_REMOTE_TIMEOUT is set\n"
    "  --tile-size N         Deep Zoom tile size (default 254)\n"
    "  --overlap N           Deep Zoom tile overlap (default 1)\n"
    "  --limit-bounds        show only the part of the slide that holds tissue tiles\n"
    "  --quality Q           JPEG quality of tiles (default 75)\n"
    "  --iiif-quality Q      JPEG quality of IIIF images (default 90)\n";

// The address to listen on, as a socket address. "localhost" is 127.0.0.1.
struct ListenAddress {
    sockaddr_storage storage{};
    bool ipv6 = false;
    bool loopback = false;
    std::string text;  // for URLs: brackets around IPv6
};

bool ParseHost(std::string host, ListenAddress* address) {
    if (host == "localhost") host = "127.0.0.1";
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address->storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address->storage);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        address->loopback = (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
        address->text = host;
        return true;
    }
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        address->ipv6 = true;
        address->loopback = IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
        address->text = "[" + host + "]";
        return true;
    }
    return false;
}

void SetPort(ListenAddress* address, int port) {
    const auto network = htons(static_cast<uint16_t>(port));
    if (address->ipv6)
        reinterpret_cast<sockaddr_in6*>(&address->storage)->sin6_port = network;
    else
        reinterpret_cast<sockaddr_in*>(&address->storage)->sin_port = network;
}

bool ValidToken(const std::string& token) {
    return !token.empty() && token.size() <= 256 &&
           token.find_first_not_of(
               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
               "0123456789-_.~") == std::string::npos;
}

bool MakeToken(std::string* token) {
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return false;
    char hex[2 * sizeof bytes + 1];
    for (size_t i = 0; i < sizeof bytes; ++i)
        snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
    *token = hex;
    return true;
}

// Reads every option into `options`; false (with the message printed) on wrong usage.
bool ReadOptions(const Args& args, serve::Options* options, ListenAddress* address) {
    long port = 0, cacheMb = 0, threads = 0, connections = 0, perAddress = 0, timeout = 0,
         tileSize = 0, overlap = 0, quality = 0, iiifQuality = 0;
    std::string error;
    const long processors = tarn::ProcessorCount();
    if (!IntOption(args, "port", 0, 65535, 8080, &port, &error) ||
        !IntOption(args, "cache-mb", 0, 1 << 20, 256, &cacheMb, &error) ||
        !IntOption(args, "threads", 1, 256, processors, &threads, &error) ||
        !IntOption(args, "max-connections", 1, 100000, 512, &connections, &error) ||
        !IntOption(args, "max-per-address", 1, 100000, 64, &perAddress, &error) ||
        !IntOption(args, "timeout", 1, 3600, 30, &timeout, &error) ||
        !IntOption(args, "tile-size", 1, 8192, 254, &tileSize, &error) ||
        !IntOption(args, "overlap", 0, 8192, 1, &overlap, &error) ||
        !IntOption(args, "quality", 1, 100, 75, &quality, &error) ||
        !IntOption(args, "iiif-quality", 1, 100, 90, &iiifQuality, &error)) {
        fprintf(stderr, "tarn: %s\n", error.c_str());
        return false;
    }
    const std::string host = args.Option("host").value_or("127.0.0.1");
    if (!ParseHost(host, address)) {
        fprintf(stderr, "tarn: --host takes an IP address (or localhost), not '%s'\n",
                host.c_str());
        return false;
    }
    SetPort(address, static_cast<int>(port));
    options->token = args.Option("token").value_or("");
    if (args.Option("token") && !ValidToken(options->token)) {
        fprintf(stderr, "tarn: --token takes letters, digits, '-', '_', '.' and '~' only\n");
        return false;
    }
    if (args.Option("cors") && !serve::http::ValidCorsOrigins(*args.Option("cors"))) {
        fprintf(stderr,
                "tarn: --cors takes '*' or origins such as https://viewer.example:8443, joined "
                "by ','\n");
        return false;
    }
    options->host = host;
    options->port = static_cast<int>(port);
    options->hideLabel = args.Has("hide-label");
    options->limitBounds = args.Has("limit-bounds");
    options->cacheBytes = static_cast<size_t>(cacheMb) << 20;
    options->threads = static_cast<int>(threads);
    options->maxConnections = static_cast<unsigned>(connections);
    options->maxPerAddress = static_cast<unsigned>(perAddress);
    options->timeoutSeconds = static_cast<unsigned>(timeout);
    options->tileSize = static_cast<int>(tileSize);
    options->overlap = static_cast<int>(overlap);
    options->quality = static_cast<int>(quality);
    options->iiifQuality = static_cast<int>(iiifQuality);
    return true;
}

serve::http::ListenOptions ListenOptionsOf(const serve::Options& o, const ListenAddress& address) {
    serve::http::ListenOptions listen;
    listen.address = address.storage;
    listen.ipv6 = address.ipv6;
    listen.threads = o.threads;
    listen.maxConnections = o.maxConnections;
    listen.maxPerAddress = o.maxPerAddress;
    listen.timeoutSeconds = o.timeoutSeconds;
    return listen;
}

// The HTTP layer's view of the server: its routes, its access rules, and its counts.
void MakeSite(serve::Server* server, const std::optional<std::string>& cors) {
    serve::http::Site& site = server->site;
    site.routes = serve::MakeRouteTable(*server);
    server->status = std::make_unique<serve::ServeStatus>(serve::CounterNames(site.routes));
    site.token = server->options.token;
    site.loopbackHostsOnly = server->options.token.empty();
    site.cors = serve::http::MakeCorsPolicy(cors ? &*cors : nullptr, !site.token.empty());
    serve::ServeStatus* status = server->status.get();
    site.record = [status](const serve::http::Route* route, int code, uint64_t micros) {
        status->Record(route != nullptr ? route->counterIndex : status->Other(), code, micros);
    };
}

}  // namespace

int RunServe(int argc, char** argv) {
    // Every thread started from here on (the library's, the server's) leaves SIGINT and SIGTERM
    // to the main thread, which waits for them below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Args args;
    int exitCode = 0;
    if (!ParseCommandRange(
            argc, argv, kServeHelp,
            {"host", "port", "token", "cors", "cache-mb", "threads", "max-connections",
             "max-per-address", "timeout", "tile-size", "overlap", "quality", "iiif-quality"},
            {"hide-label", "limit-bounds"}, 1, SIZE_MAX, &args, &exitCode))
        return exitCode;
    serve::Options options;
    ListenAddress address;
    if (!ReadOptions(args, &options, &address)) return kExitUsage;
    if (!address.loopback && options.token.empty() && !MakeToken(&options.token))
        return Fail("cannot make an access token: no random numbers");

    // No thread runs yet: the environment may still change.
    if (getenv("TARN_REMOTE_TIMEOUT") == nullptr)
        setenv("TARN_REMOTE_TIMEOUT", std::to_string(options.timeoutSeconds).c_str(), 1);

    std::vector<std::string> files;
    std::string error;
    if (!serve::FindSlideFiles(args.positional, &files, &error)) return Fail(error);
    auto server = std::make_unique<serve::Server>(options);
    MakeSite(server.get(), args.Option("cors"));
    // Opening may build colour tables on every thread it is given; serving then reads each tile
    // on the worker that asked for it.
    tarn_set_threads(options.threads);
    if (!serve::OpenSlides(files, args.positional, server.get(), &error)) return Fail(error);
    if (server->slides.empty()) return Fail("no slides to serve");
    tarn_set_threads(1);

    serve::http::Daemon* daemon =
        serve::http::StartDaemon(&server->site, ListenOptionsOf(options, address));
    if (daemon == nullptr)
        return Fail("cannot listen on " + address.text + ":" + std::to_string(options.port) + ": " +
                    strerror(errno));
    const int port = serve::http::DaemonPort(daemon);
    for (const auto& entry : server->slides)
        printf("  %-24s %s\n", entry->name.c_str(), Shown(entry->path).c_str());
    const size_t count = server->slides.size();
    const std::string query = options.token.empty() ? "" : "?token=" + options.token;
    if (!serve::kViewerBuilt) printf("note: %s\n", serve::kViewerMissing);
    printf("serving %zu slide%s at http://%s:%d/%s\n", count, count == 1 ? "" : "s",
           address.text.c_str(), port, query.c_str());
    fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    printf("stopping (%s)\n", signal == SIGINT ? "interrupted" : "terminated");
    fflush(stdout);
    serve::http::StopDaemon(daemon);
    server.reset();
    return kExitOk;
}

}  // namespace tarncli
