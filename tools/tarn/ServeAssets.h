// The viewer's static files, built into the binary: `tarn serve` reads nothing from disk but the
// slides it was given, and the pages it serves load nothing from elsewhere.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarncli::serve {

struct EmbeddedFile {
    std::string_view name;  // "viewer.js", "openseadragon.min.js", "images/home_rest.png", ...
    std::string_view bytes;
};

// The generated table (EmbedFiles.cmake).
extern const EmbeddedFile kEmbeddedFiles[];
extern const size_t kEmbeddedFileCount;
// False when the tool was built without OpenSeadragon, which the viewer runs on.
extern const bool kViewerBuilt;

// What a server built without the viewer says, at start and on its viewer pages.
inline constexpr const char* kViewerMissing =
    "this tarn was built without its browser viewer (OpenSeadragon, from npm): run\n"
    "scripts/install-deps.sh viewer in its source tree and build it again. Deep Zoom clients\n"
    "can still read the slides at /deepzoom/<slide>.dzi.";

// A file by its exact name, or null. Names come from the build, never from a request: a request
// can only pick one of them.
const EmbeddedFile* FindEmbeddedFile(std::string_view name);

// The MIME type for a file name's extension.
std::string_view ContentTypeOf(std::string_view name);

}  // namespace tarncli::serve
