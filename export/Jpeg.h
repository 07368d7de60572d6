// Baseline JPEGs of RGB pixels, encoded as libDecodeTarn encodes its own (libjpeg's defaults at
// the given quality), so a tile made here from the library's pixels has the library's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnexport {

// Replaces `jpeg` with the stream. False with a message (libjpeg's) on failure. With `chroma422`
// the chroma is halved across only (libjpeg's default halves it both ways), as DICOM's
// YBR_FULL_422 frames have it: the same bytes as dicom/'s EncodeFrameJpeg.
bool EncodeJpeg(const uint8_t* rgb, int64_t width, int64_t height, int quality,
                std::vector<uint8_t>* jpeg, std::string* error, bool chroma422 = false);

}  // namespace tarnexport
