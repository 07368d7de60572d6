// `tarn serve`: the state every part of the server shares. The slides are found and named once at
// start; requests only ever look them up by those names, and every lookup checks that the file
// behind a name is still the one opened.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "EncodedCache.h"
#include "Status.h"
#include "http/Daemon.h"
#include "iiif/Slide.h"
#include "tarn.h"

namespace tarn::dicom {
struct PreparedSlide;
}

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
    int quality = 75;      // Deep Zoom tiles
    int iiifQuality = 90;  // IIIF images in JPEG
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
    uint32_t id = 0;  // this opening's number, in the keys of the encoded cache
    tarn_slide* slide = nullptr;
    tarn_deepzoom* deepzoom = nullptr;
    int32_t thumbnailLevel = 0;       // the deepest Deep Zoom level that is one tile
    std::vector<std::string> images;  // associated images served ("label" left out if hidden)
    std::map<std::string, std::string> properties;  // those served
    http::EncodedPtr descriptor, propertiesJson, viewerPage;
    // What its IIIF image service offers; `iiifReady` false (and its routes 500) when the slide
    // could not describe itself.
    iiif::SlideFacts iiif;
    bool iiifReady = false;
    // Its DICOM instances, named with the UIDs the converter derives; null when the tool is built
    // without DICOM or the slide cannot be described as DICOM (DICOMweb then does not list it).
    std::shared_ptr<const tarn::dicom::PreparedSlide> dicom;

    // Set once the slide's coarse levels are built (or none are needed): no tile waits any more.
    std::atomic<bool> coarseBuilt{false};

    // Associated images, encoded when first asked for.
    std::mutex imagesMutex;
    std::map<std::string, http::EncodedPtr> encodedImages;
};

// What tells one file from another at the same path.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{}, changed{};
    bool operator==(const FileIdentity& other) const;
};

// The identity of the file at `path`; false when there is none.
bool IdentityOf(const std::string& path, FileIdentity* identity);

// A name the server answers to, and the slide it last found at its path or URL.
struct SlideEntry {
    std::string name, path;
    // Workers busy with this slide now (Seats.h).
    std::atomic<int> seats{0};
    std::mutex lock;
    std::shared_ptr<ServedSlide> current;  // null while the file is gone or unreadable
    FileIdentity identity;                 // of the file `current` was opened from
    // A URL's slide: the version of the object `current` opened, and when the server was last
    // asked whether it still has that version; `reopening` while one request asks.
    std::string version;
    std::chrono::steady_clock::time_point checked{};
    bool reopening = false;
};

// How often a URL's object is looked at again for a new version. Between looks the slide reads
// the version it opened (the library never mixes two), or fails once the object changed.
inline constexpr std::chrono::seconds kUrlRecheck{10};

// The workers one slide may hold at once: half of them, at least one. A slide whose reads stall
// (a URL whose server stopped answering, tiles that fail slowly) then never holds them all.
int SeatsPerSlide(int workers);

struct Server {
    explicit Server(const Options& options);

    // The longest a client may take over its request line and headers.
    static constexpr unsigned kHeaderSeconds = 10;

    const Options options;
    const int seatsPerSlide;
    std::vector<std::unique_ptr<SlideEntry>> slides;  // in the order found
    std::map<std::string, SlideEntry*, std::less<>> byName;
    std::atomic<uint32_t> nextId{0};  // of slides opened, for the cache keys
    EncodedCache cache;
    http::Site site;                      // its routes are the table's (RouteTable.h)
    std::unique_ptr<ServeStatus> status;  // counts under the table's names

    // The entry named `name`, or null.
    SlideEntry* Entry(std::string_view name);
    // The slide of `entry` as its file is now: null when the file is gone or no longer a slide. A
    // file replaced since it was opened is opened anew, and nothing cached of the old one is
    // served again; so is a URL's object found changed (kUrlRecheck). The caller holds a seat of
    // the entry: the look may take long for a URL.
    std::shared_ptr<ServedSlide> Check(SlideEntry& entry);
    // The same for a look that reads nothing of the slide (answers made at start, cached ones):
    // a URL whose every seat is taken is not looked at again but taken as it was.
    std::shared_ptr<ServedSlide> Look(SlideEntry& entry);
    // Every slide served now, in the order found, as Look sees them.
    std::vector<std::shared_ptr<ServedSlide>> Current();
    // The index page of the slides served now.
    http::EncodedPtr IndexPage();

  private:
    std::shared_ptr<ServedSlide> CheckUrl(SlideEntry& entry);
    std::mutex indexLock_;
    http::EncodedPtr indexPage_;         // under indexLock_
    std::vector<uint32_t> indexSlides_;  // the ids of the slides it shows, under indexLock_
};

// The slide as the DICOM instances `tarn convert --format dicom` writes of it, with the same UIDs
// (a local file dates them by its modification time, as the converter does). Null with the
// reason; with none when the tool is built without DICOM.
std::shared_ptr<const tarn::dicom::PreparedSlide> PrepareDicom(tarn_slide* slide,
                                                               const std::string& path,
                                                               std::string* error);

// The slide files named by PATHs: files (and URLs) as given, and the *.tarn files of folders
// (not recursing). False with a message when a path does not exist.
bool FindSlideFiles(const std::vector<std::string>& paths, std::vector<std::string>* files,
                    std::string* error);

// Opens the files into `server->slides` with unique URL-safe names taken from the file names.
// A file named on the command line that does not open is an error; one found in a folder is
// reported on stderr and skipped.
bool OpenSlides(const std::vector<std::string>& files, const std::vector<std::string>& named,
                Server* server, std::string* error);

}  // namespace tarncli::serve
