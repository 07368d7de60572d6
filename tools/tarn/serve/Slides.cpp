// The slides of `tarn serve`: found and named once at start, opened anew when their file changes.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>

#include "Common.h"
#include "Pages.h"
#include "Seats.h"
#include "Server.h"

namespace tarncli::serve {

ServedSlide::~ServedSlide() {
    tarn_deepzoom_destroy(deepzoom);
    tarn_close(slide);
}

int SeatsPerSlide(int workers) {
    return std::max(1, workers / 2);
}

Server::Server(const Options& options)
    : options(options),
      seatsPerSlide(SeatsPerSlide(options.threads)),
      cache(options.cacheBytes),
      site(std::min(kHeaderSeconds, options.timeoutSeconds), options.timeoutSeconds) {}

bool FileIdentity::operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

bool IdentityOf(const std::string& path, FileIdentity* identity) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return false;
    *identity =
        FileIdentity{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
    return true;
}

namespace {

bool HasTarnExtension(const std::string& name) {
    if (name.size() <= 5) return false;
    std::string extension = name.substr(name.size() - 5);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return extension == ".tarn";
}

bool ListFolder(const std::string& folder, std::vector<std::string>* files, std::string* error) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        *error = "cannot list " + folder + ": " + strerror(errno);
        return false;
    }
    std::vector<std::string> found;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name[0] == '.' || !HasTarnExtension(name)) continue;
        std::string path = folder;
        path += '/';
        path += name;
        struct stat status {};
        if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) found.push_back(path);
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    files->insert(files->end(), found.begin(), found.end());
    return true;
}

std::string UniqueName(const std::string& base, const std::set<std::string>& taken) {
    std::string name = base;
    for (int n = 2; taken.count(name) != 0; ++n)
        name = base + "-" + std::to_string(n);
    return name;
}

bool IsLabelProperty(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return name.find("label") != std::string::npos;
}

// Everything that stays fixed while the server runs.
bool Describe(ServedSlide* served, const Options& options, std::string* error) {
    tarn_slide* slide = served->slide;
    for (const char* const* name = tarn_get_associated_image_names(slide); name && *name; ++name)
        if (!(options.hideLabel && std::strcmp(*name, "label") == 0))
            served->images.emplace_back(*name);
    for (const char* const* name = tarn_get_property_names(slide); name && *name; ++name) {
        const char* value = tarn_get_property_value(slide, *name);
        if (value != nullptr && !(options.hideLabel && IsLabelProperty(*name)))
            served->properties.emplace(*name, value);
    }

    served->deepzoom =
        tarn_deepzoom_create(slide, options.tileSize, options.overlap, options.limitBounds);
    char* dzi =
        served->deepzoom != nullptr ? tarn_deepzoom_get_dzi(served->deepzoom, "jpeg") : nullptr;
    if (dzi == nullptr) {
        const char* why = tarn_get_error(slide);
        *error = "cannot make the Deep Zoom view of " + Shown(served->path) + ": " +
                 (why != nullptr ? why : "unknown failure");
        return false;
    }
    served->descriptor = http::MakeEncoded(dzi);
    tarn_free(dzi);
    const int32_t levels = tarn_deepzoom_get_level_count(served->deepzoom);
    for (int32_t level = 0; level < levels; ++level) {
        int64_t columns = 0, rows = 0;
        tarn_deepzoom_get_level_tiles(served->deepzoom, level, &columns, &rows);
        if (columns == 1 && rows == 1) served->thumbnailLevel = level;
    }
    std::string why;
    served->iiifReady = iiif::DescribeSlide(slide, &served->iiif, &why);
    if (!served->iiifReady)
        fprintf(stderr, "tarn: %s has no IIIF service: %s\n", Shown(served->path).c_str(),
                why.c_str());
    served->dicom = PrepareDicom(slide, served->path, &why);
    if (served->dicom == nullptr && !why.empty())
        fprintf(stderr, "tarn: %s is not served over DICOMweb: %s\n", Shown(served->path).c_str(),
                why.c_str());
    served->propertiesJson = http::MakeEncoded(PropertiesJson(*served));
    served->viewerPage = http::MakeEncoded(ViewerPage(*served));
    return true;
}

}  // namespace

bool FindSlideFiles(const std::vector<std::string>& paths, std::vector<std::string>* files,
                    std::string* error) {
    for (const std::string& path : paths) {
        struct stat status {};
        if (IsUrl(path)) {
            files->push_back(path);
            continue;
        }
        if (stat(path.c_str(), &status) != 0) {
            *error = "cannot open " + path + ": " + strerror(errno);
            return false;
        }
        if (!S_ISDIR(status.st_mode))
            files->push_back(path);
        else if (!ListFolder(path, files, error))
            return false;
    }
    return true;
}

namespace {

// Opens the slide at URL `url` as `name`, with the version of the object opened in `version`;
// null with a message when it cannot be.
std::shared_ptr<ServedSlide> OpenServedUrl(const std::string& url, const std::string& name,
                                           uint32_t id, const Options& options,
                                           std::string* version, std::string* error) {
    auto served = std::make_shared<ServedSlide>();
    served->path = url;
    served->name = name;
    served->slide = tarn_open(url.c_str());
    if (served->slide == nullptr) {
        const char* why = tarn_get_error(nullptr);
        *error = "cannot open " + Shown(url) + ": " + (why != nullptr ? why : "not a Tarn slide");
        return nullptr;
    }
    const char* opened = tarn_get_property_value(served->slide, TARN_PROPERTY_NAME_OBJECT_VERSION);
    *version = opened != nullptr ? opened : "";
    if (!Describe(served.get(), options, error)) return nullptr;
    served->id = id;
    return served;
}

// Opens the slide at `path` as `name`, with the identity of the file opened in `identity`;
// null with a message when it cannot be. The identity is taken before and after the open, so
// that a file replaced meanwhile is never taken for the one read.
std::shared_ptr<ServedSlide> OpenServed(const std::string& path, const std::string& name,
                                        uint32_t id, const Options& options, FileIdentity* identity,
                                        std::string* error) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        FileIdentity before, after;
        if (!IdentityOf(path, &before)) {
            *error = "cannot open " + path + ": " + strerror(errno);
            return nullptr;
        }
        auto served = std::make_shared<ServedSlide>();
        served->path = path;
        served->name = name;
        served->slide = tarn_open(path.c_str());
        if (served->slide == nullptr) {
            const char* why = tarn_get_error(nullptr);
            *error = "cannot open " + path + ": " + (why != nullptr ? why : "not a Tarn slide");
            *identity = before;
            return nullptr;
        }
        if (!IdentityOf(path, &after) || !(after == before)) continue;
        *identity = before;
        if (!Describe(served.get(), options, error)) return nullptr;
        served->id = id;
        return served;
    }
    *error = "cannot open " + path + ": it keeps changing";
    return nullptr;
}

}  // namespace

bool OpenSlides(const std::vector<std::string>& files, const std::vector<std::string>& named,
                Server* server, std::string* error) {
    std::set<std::string> taken;
    for (const std::string& path : files) {
        auto entry = std::make_unique<SlideEntry>();
        entry->path = path;
        entry->name = UniqueName(SlideName(path), taken);
        std::string message;
        if (IsUrl(path)) {
            entry->current = OpenServedUrl(path, entry->name, server->nextId++, server->options,
                                           &entry->version, &message);
            entry->checked = std::chrono::steady_clock::now();
        } else {
            entry->current = OpenServed(path, entry->name, server->nextId++, server->options,
                                        &entry->identity, &message);
        }
        if (entry->current == nullptr) {
            if (std::find(named.begin(), named.end(), path) != named.end()) {
                *error = message;
                return false;
            }
            fprintf(stderr, "tarn: skipping %s\n", message.c_str());
            continue;
        }
        taken.insert(entry->name);
        server->byName.emplace(entry->name, entry.get());
        server->slides.push_back(std::move(entry));
    }
    return true;
}

// A URL's slide, looked at again when kUrlRecheck has passed: kept while the object has the
// version it opened, replaced by the new version's (and its cached answers dropped) once it
// changed, gone while the object cannot be opened. The look opens the URL outside the entry's
// lock, which may take the whole remote timeout: meanwhile the slide's other requests are
// answered from the version at hand.
std::shared_ptr<ServedSlide> Server::CheckUrl(SlideEntry& entry) {
    {
        const std::lock_guard<std::mutex> hold(entry.lock);
        const auto now = std::chrono::steady_clock::now();
        if (entry.reopening || now - entry.checked < kUrlRecheck) return entry.current;
        entry.checked = now;
        entry.reopening = true;
    }
    std::string version, error;
    auto opened = OpenServedUrl(entry.path, entry.name, nextId++, options, &version, &error);
    std::shared_ptr<ServedSlide> replaced;  // closed outside the lock
    const std::lock_guard<std::mutex> hold(entry.lock);
    entry.reopening = false;
    if (opened != nullptr && entry.current != nullptr && version == entry.version) {
        replaced = std::move(opened);
        return entry.current;
    }
    if (entry.current != nullptr) cache.DropSlide(entry.current->id);
    if (opened == nullptr)
        fprintf(stderr, "tarn: %s is not served: %s\n", entry.name.c_str(), error.c_str());
    replaced = std::move(entry.current);
    entry.current = std::move(opened);
    entry.version = version;
    return entry.current;
}

std::shared_ptr<ServedSlide> Server::Check(SlideEntry& entry) {
    if (IsUrl(entry.path)) return CheckUrl(entry);
    FileIdentity now;
    const bool exists = IdentityOf(entry.path, &now);
    const std::lock_guard<std::mutex> hold(entry.lock);
    // The same file as before (which may be one that would not open).
    if (exists && now == entry.identity) return entry.current;
    if (entry.current != nullptr) {
        cache.DropSlide(entry.current->id);
        entry.current.reset();
    }
    entry.identity = FileIdentity{};
    if (!exists) return nullptr;
    std::string error;
    entry.current = OpenServed(entry.path, entry.name, nextId++, options, &entry.identity, &error);
    if (entry.current == nullptr)
        fprintf(stderr, "tarn: %s changed and is not served: %s\n", entry.name.c_str(),
                error.c_str());
    return entry.current;
}

SlideEntry* Server::Entry(std::string_view name) {
    const auto it = byName.find(name);
    return it != byName.end() ? it->second : nullptr;
}

std::shared_ptr<ServedSlide> Server::Look(SlideEntry& entry) {
    SlideSeat seat;
    if (!IsUrl(entry.path) || seat.Take(entry, seatsPerSlide, &site.deferrals)) return Check(entry);
    const std::lock_guard<std::mutex> hold(entry.lock);
    return entry.current;
}

std::vector<std::shared_ptr<ServedSlide>> Server::Current() {
    std::vector<std::shared_ptr<ServedSlide>> current;
    for (const auto& entry : slides)
        if (auto slide = Look(*entry)) current.push_back(std::move(slide));
    return current;
}

http::EncodedPtr Server::IndexPage() {
    const std::vector<std::shared_ptr<ServedSlide>> current = Current();
    std::vector<uint32_t> shown;
    shown.reserve(current.size());
    for (const auto& slide : current)
        shown.push_back(slide->id);
    const std::lock_guard<std::mutex> hold(indexLock_);
    if (indexPage_ == nullptr || shown != indexSlides_) {
        indexPage_ = http::MakeEncoded(serve::IndexPage(current));
        indexSlides_ = std::move(shown);
    }
    return indexPage_;
}

}  // namespace tarncli::serve
