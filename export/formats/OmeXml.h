// The OME-XML an OME-TIFF carries in its first image's description: one Image per series, each
// an RGB plane of bytes stored in one IFD of the file's main chain (the pyramid's reduced levels
// hang off the first as its SubIFDs and need no mention).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnexport {

struct OmeImage {
    std::string name;
    int64_t width = 0;
    int64_t height = 0;
    double micrometresX = 0;  // the pixel size; 0 when it has none (an associated image)
    double micrometresY = 0;
};

// The document, images[i] in IFD i. `annotations` are key-value pairs kept with the first image
// (a MapAnnotation).
std::string OmeXml(const std::vector<OmeImage>& images,
                   const std::vector<std::pair<std::string, std::string>>& annotations);

}  // namespace tarnexport
