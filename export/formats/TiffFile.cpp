#include "TiffFile.h"

#include <fcntl.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "dicom/IccProfile.h"

namespace tarnexport {
namespace {

// Classic TIFF addresses 4 GiB; the margin covers the IFDs, their tile tables and the profiles.
constexpr uint64_t kClassicLimit = (uint64_t{4} << 30) - (uint64_t{64} << 20);

int OnError(TIFF* /*tiff*/, void* file, const char* module, const char* format, va_list list) {
    const int cause = errno;  // what the system said of the call that failed, if it was one
    char text[512];
    vsnprintf(text, sizeof text, format, list);
    std::string message = module != nullptr && *module != '\0' ? std::string(module) + ": " : "";
    message += text;
    if (cause != 0) message += std::string(" (") + strerror(cause) + ")";
    static_cast<TiffFile*>(file)->Failed(message);
    return 1;  // handled: nothing on stderr
}

int OnWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;  // the tags are ours: libtiff's remarks on them are of no use to the user
}

// lcms2's sRGB profile as its header sizes it (dicom/ pads it to an even length for DICOM).
std::vector<uint8_t> ColourProfile() {
    std::vector<uint8_t> profile = tarn::dicom::SrgbProfile();
    if (profile.size() >= 4) {
        const size_t declared = size_t{profile[0]} << 24 | size_t{profile[1]} << 16 |
                                size_t{profile[2]} << 8 | size_t{profile[3]};
        if (declared <= profile.size()) profile.resize(declared);
    }
    return profile;
}

// A little-endian unsigned number of `size` bytes.
uint64_t Read(const uint8_t* bytes, int size) {
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

bool ReadAt(int fd, uint64_t offset, void* into, size_t size) {
    return pread(fd, into, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

// Where the first IFD's ImageDescription lies in a little-endian TIFF or BigTIFF (libtiff writes
// the machine's order), its byte count in `size`; 0 when it has none.
uint64_t DescriptionOffset(int fd, uint64_t* size) {
    uint8_t header[16];
    if (!ReadAt(fd, 0, header, sizeof header) || header[0] != 'I' || header[1] != 'I') return 0;
    const bool big = Read(header + 2, 2) == 43;
    const int number = big ? 8 : 4;  // bytes of a count or an offset
    const int entrySize = big ? 20 : 12;
    const uint64_t directory = big ? Read(header + 8, 8) : Read(header + 4, 4);
    uint8_t count[8];
    if (!ReadAt(fd, directory, count, big ? 8 : 2)) return 0;
    const uint64_t entries = Read(count, big ? 8 : 2);
    constexpr uint64_t kMostEntries = 256;  // ours have about twenty
    for (uint64_t i = 0; i < entries && i < kMostEntries; ++i) {
        uint8_t entry[20];
        if (!ReadAt(fd, directory + (big ? 8 : 2) + i * entrySize, entry, entrySize)) return 0;
        if (Read(entry, 2) != TIFFTAG_IMAGEDESCRIPTION || Read(entry + 2, 2) != TIFF_ASCII)
            continue;
        *size = Read(entry + 4, number);
        // A description longer than the entry's value field lies where the field points.
        return *size > static_cast<uint64_t>(number) ? Read(entry + 4 + number, number) : 0;
    }
    return 0;
}

}  // namespace

bool PatchFirstDescription(const std::string& path, const std::string& from, const std::string& to,
                           std::string* error) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + path + " again: " + strerror(errno);
        return false;
    }
    uint64_t size = 0;
    const uint64_t offset = DescriptionOffset(fd, &size);
    constexpr uint64_t kMostDescription = uint64_t{16} << 20;
    std::string text(offset > 0 && size <= kMostDescription ? size : 0, '\0');
    const size_t at = offset > 0 && ReadAt(fd, offset, text.data(), text.size())
                          ? text.find(from)
                          : std::string::npos;
    bool ok = at != std::string::npos && from.size() == to.size();
    if (!ok) {
        *error = "the first image of " + path + " lost its description";
    } else if (pwrite(fd, to.data(), to.size(), static_cast<off_t>(offset + at)) !=
               static_cast<ssize_t>(to.size())) {
        *error = "cannot write " + path + ": " + strerror(errno);
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        *error = "cannot write " + path + ": " + strerror(errno);
        ok = false;
    }
    return ok;
}

bool NeedsBigTiff(const std::vector<PlanLevel>& levels, uint64_t extra) {
    uint64_t bytes = extra;
    for (const PlanLevel& level : levels) {
        // Sizes are bounded by the plan (kMaxScale, 4096-pixel tiles, counted tiles): the
        // products stay far within 64 bits, but a sum past the limit needs no exact value.
        const uint64_t tile = static_cast<uint64_t>(level.tileWidth * level.tileHeight) * 3 + 16;
        bytes += static_cast<uint64_t>(level.columns * level.rows) * tile;
        if (bytes > kClassicLimit) return true;
    }
    return bytes > kClassicLimit;
}

void TiffFile::Failed(const std::string& message) {
    if (reason_.empty()) reason_ = message;  // the first is the cause, the rest its echoes
}

bool TiffFile::Explain(const std::string& what, std::string* error) {
    *error = "cannot write " + path_ + ": " + what;
    if (!reason_.empty()) *error += ": " + reason_;
    return false;
}

bool TiffFile::Open(const std::string& path, bool big, std::string* error) {
    path_ = path;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) return Explain("out of memory", error);
    TIFFOpenOptionsSetErrorHandlerExtR(options, OnError, this);
    TIFFOpenOptionsSetWarningHandlerExtR(options, OnWarning, this);
    errno = 0;
    tiff_ = TIFFOpenExt(path.c_str(), big ? "w8" : "w", options);
    TIFFOpenOptionsFree(options);
    return tiff_ != nullptr || Explain("cannot create it", error);
}

bool TiffFile::SetTags(const TiffImage& image, std::string* error) {
    if (image.width <= 0 || image.height <= 0 || image.width > UINT32_MAX ||
        image.height > UINT32_MAX)
        return Explain("an image of " + std::to_string(image.width) + " x " +
                           std::to_string(image.height) + " pixels",
                       error);
    // Full-range YCbCr, as JFIF streams have it.
    static float referenceBlackWhite[6] = {0, 255, 128, 255, 128, 255};
    bool ok = TIFFSetField(tiff_, TIFFTAG_SUBFILETYPE, image.reduced ? FILETYPE_REDUCEDIMAGE : 0) &&
              TIFFSetField(tiff_, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width)) &&
              TIFFSetField(tiff_, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height)) &&
              TIFFSetField(tiff_, TIFFTAG_BITSPERSAMPLE, 8) &&
              TIFFSetField(tiff_, TIFFTAG_SAMPLESPERPIXEL, 3) &&
              TIFFSetField(tiff_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_JPEG) &&
              TIFFSetField(tiff_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR) &&
              TIFFSetField(tiff_, TIFFTAG_YCBCRSUBSAMPLING, 2, 2) &&
              TIFFSetField(tiff_, TIFFTAG_REFERENCEBLACKWHITE, referenceBlackWhite) &&
              TIFFSetField(tiff_, TIFFTAG_SOFTWARE, "tarn convert");
    if (image.tileSize > 0) {
        ok = ok && TIFFSetField(tiff_, TIFFTAG_TILEWIDTH, static_cast<uint32_t>(image.tileSize)) &&
             TIFFSetField(tiff_, TIFFTAG_TILELENGTH, static_cast<uint32_t>(image.tileSize));
    } else {
        ok = ok && TIFFSetField(tiff_, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(image.height));
    }
    if (image.pixelsPerCmX > 0 && image.pixelsPerCmY > 0)
        ok = ok && TIFFSetField(tiff_, TIFFTAG_XRESOLUTION, image.pixelsPerCmX) &&
             TIFFSetField(tiff_, TIFFTAG_YRESOLUTION, image.pixelsPerCmY) &&
             TIFFSetField(tiff_, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER);
    if (!image.description.empty())
        ok = ok && TIFFSetField(tiff_, TIFFTAG_IMAGEDESCRIPTION, image.description.c_str());
    if (image.colourProfile) {
        static const std::vector<uint8_t> profile = ColourProfile();
        if (profile.empty()) return Explain("lcms2 made no sRGB profile", error);
        ok = ok && TIFFSetField(tiff_, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(profile.size()),
                                profile.data());
    }
    if (image.subImages > 0) {
        // libtiff fills in the offsets as the next subImages images are written.
        const std::vector<uint64_t> offsets(image.subImages, 0);
        ok = ok && TIFFSetField(tiff_, TIFFTAG_SUBIFD, image.subImages, offsets.data());
    }
    return ok || Explain("the tags of an image", error);
}

bool TiffFile::BeginTiled(const TiffImage& image, std::string* error) {
    columns_ = image.tileSize > 0 ? (image.width + image.tileSize - 1) / image.tileSize : 0;
    return SetTags(image, error);
}

bool TiffFile::AddTile(int64_t column, int64_t row, const uint8_t* jpeg, size_t size,
                       std::string* error) {
    errno = 0;
    const auto tile = static_cast<uint32_t>(row * columns_ + column);
    if (TIFFWriteRawTile(tiff_, tile, const_cast<uint8_t*>(jpeg), static_cast<tmsize_t>(size)) ==
        static_cast<tmsize_t>(size))
        return true;
    return Explain("tile (" + std::to_string(column) + ", " + std::to_string(row) + ")", error);
}

bool TiffFile::EndImage(std::string* error) {
    errno = 0;
    return TIFFWriteDirectory(tiff_) == 1 || Explain("an image's directory", error);
}

bool TiffFile::AddStripped(const TiffImage& image, const uint8_t* jpeg, size_t size,
                           std::string* error) {
    TiffImage strip = image;
    strip.tileSize = 0;
    if (!SetTags(strip, error)) return false;
    errno = 0;
    if (TIFFWriteRawStrip(tiff_, 0, const_cast<uint8_t*>(jpeg), static_cast<tmsize_t>(size)) !=
        static_cast<tmsize_t>(size))
        return Explain("an image's strip", error);
    return EndImage(error);
}

bool TiffFile::Close(std::string* error) {
    errno = 0;
    const bool flushed = TIFFFlush(tiff_) == 1;
    TIFFClose(tiff_);
    tiff_ = nullptr;
    return flushed || Explain("its last bytes", error);
}

void TiffFile::Abort() {
    if (tiff_ == nullptr) return;
    TIFFClose(tiff_);
    tiff_ = nullptr;
}

}  // namespace tarnexport
