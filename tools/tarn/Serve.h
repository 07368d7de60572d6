// `tarn serve`: the state every part of the server shares. The slides are opened and named once at
// start; requests only ever look them up by those names.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ServeConnections.h"
#include "ServeStatus.h"
#include "ServeTiles.h"
#include "tarn.h"

namespace tarncli::serve {

struct Options {
    std::string host = "127.0.0.1";
    int port = 8080;    // 0: any free port
    std::string token;  // required on every request when not empty
    bool hideLabel = false;
    size_t cacheBytes = size_t{256} << 20;
    int threads = 2;                // workers, and the library's thread cap while opening
    unsigned maxConnections = 512;  // at once, all clients together
    unsigned maxPerAddress = 64;    // at once from one peer address
    unsigned timeoutSeconds = 30;   // an idle or stalled connection is closed after this
    int tileSize = 254, overlap = 1;
    bool limitBounds = false;
    int quality = 75;
};

// A slide as the server shows it. Everything that cannot change while it runs (the descriptor,
// the properties, the viewer page) is made once at start.
struct ServedSlide {
    ServedSlide() = default;
    ServedSlide(const ServedSlide&) = delete;
    ServedSlide& operator=(const ServedSlide&) = delete;
    ~ServedSlide();

    std::string name;  // the only way requests refer to it
    std::string path;
    tarn_slide* slide = nullptr;
    tarn_deepzoom* deepzoom = nullptr;
    TileSource source{};
    int32_t thumbnailLevel = 0;       // the deepest Deep Zoom level that is one tile
    std::vector<std::string> images;  // associated images served ("label" left out if hidden)
    std::map<std::string, std::string> properties;  // those served
    EncodedPtr descriptor, propertiesJson, viewerPage;

    // Associated images, encoded when first asked for.
    std::mutex imagesMutex;
    std::map<std::string, EncodedPtr> encodedImages;
};

struct Server {
    explicit Server(const Options& options)
        : options(options),
          tiles(options.cacheBytes),
          watch(std::min(kHeaderSeconds, options.timeoutSeconds), options.timeoutSeconds) {}

    // The longest a client may take over its request line and headers.
    static constexpr unsigned kHeaderSeconds = 10;

    const Options options;
    // Without a token (on loopback) requests must name the server by a loopback host name, so
    // that a web page whose own name resolves to 127.0.0.1 cannot read the slides.
    bool checkHost = false;
    std::vector<std::unique_ptr<ServedSlide>> slides;
    std::map<std::string, ServedSlide*, std::less<>> byName;
    EncodedPtr indexPage;
    TileCache tiles;
    ServeStatus status;
    ConnectionWatch watch;

    ServedSlide* Find(std::string_view name) const;
};

// The slide files named by PATHs: files as given, and the *.tarn files of folders (not
// recursing). False with a message when a path does not exist.
bool FindSlideFiles(const std::vector<std::string>& paths, std::vector<std::string>* files,
                    std::string* error);

// Opens the files into `server->slides` with unique URL-safe names taken from the file names.
// A file named on the command line that does not open is an error; one found in a folder is
// reported on stderr and skipped.
bool OpenSlides(const std::vector<std::string>& files, const std::vector<std::string>& named,
                Server* server, std::string* error);

// An associated image of `slide` as JPEG or PNG; null (with a message) when it cannot be read.
EncodedPtr AssociatedImage(ServedSlide& slide, const std::string& image, bool png,
                           std::string* error);

}  // namespace tarncli::serve
