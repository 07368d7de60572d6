// What the two TIFF formats ("tiff", "ome-tiff") share: a file written through libtiff, image
// after image, each a tiled JPEG level whose tiles come in row-major order or a one-strip JPEG
// (an associated image), with the tags OpenSlide, libvips, tifffile and Bio-Formats read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../Plan.h"

typedef struct tiff TIFF;

namespace tarnexport {

// The tags of one image (an IFD). Its JPEG streams are baseline YCbCr with the chroma halved
// both ways (libjpeg's default), which the image says as readers decode them.
struct TiffImage {
    int64_t width = 0;
    int64_t height = 0;
    int64_t tileSize = 0;     // 0: one strip of the whole image
    bool reduced = false;     // a level of the pyramid below the first
    double pixelsPerCmX = 0;  // 0: no resolution tags
    double pixelsPerCmY = 0;
    std::string description;     // "": no ImageDescription
    uint16_t subImages = 0;      // the levels that follow it as its SubIFDs
    bool colourProfile = false;  // the sRGB ICC profile
};

// Whether a file of these levels' tiles (and `extra` bytes besides) may pass what classic TIFF
// addresses, so it has to be a BigTIFF. The bound takes each tile at 3 bytes a pixel, more than
// a baseline JPEG of photographic content takes.
bool NeedsBigTiff(const std::vector<PlanLevel>& levels, uint64_t extra);

// Writes `to` over `from` (as long) in the ImageDescription of the closed file's first IFD: a
// count known only once the file is whole, over the placeholder its first image was written
// with. False with a message when the file has no such description.
bool PatchFirstDescription(const std::string& path, const std::string& from, const std::string& to,
                           std::string* error);

class TiffFile {
  public:
    TiffFile() = default;
    ~TiffFile() { Abort(); }
    TiffFile(const TiffFile&) = delete;
    TiffFile& operator=(const TiffFile&) = delete;

    // Creates the file (`big`: a BigTIFF). False with a message.
    bool Open(const std::string& path, bool big, std::string* error);
    // Starts a tiled image; its tiles follow, row after row, then EndImage.
    bool BeginTiled(const TiffImage& image, std::string* error);
    bool AddTile(int64_t column, int64_t row, const uint8_t* jpeg, size_t size, std::string* error);
    bool EndImage(std::string* error);
    // A whole image in one strip: `jpeg` covers width x height.
    bool AddStripped(const TiffImage& image, const uint8_t* jpeg, size_t size, std::string* error);
    // Writes what is left and closes the file. False with a message.
    bool Close(std::string* error);
    // Closes the file without caring for what is lost (the engine removes it).
    void Abort();

    // libtiff's messages, each with the reason the system gave, if any.
    void Failed(const std::string& message);

  private:
    bool SetTags(const TiffImage& image, std::string* error);
    bool Explain(const std::string& what, std::string* error);

    TIFF* tiff_ = nullptr;
    std::string path_;
    std::string reason_;  // libtiff's last error
    int64_t columns_ = 0;
};

}  // namespace tarnexport
