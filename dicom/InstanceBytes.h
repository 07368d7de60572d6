// A slide's instances as DICOM Part 10 bytes: written to files frame by frame, or streamed.
//
// An instance is its file meta and dataset (encoded by DCMTK, everything before the pixel data)
// followed by the encapsulated JPEG frames, which this file writes itself: an empty Basic Offset
// Table item, one item per frame (padded to even length) and a sequence delimiter. Frames come
// in row-major order (TILED_FULL), one at a time, and nothing but the frame at hand is held, so
// memory does not grow with the slide.
//
// Where an instance's frames may pass 4 GiB, which a Basic Offset Table cannot address, an
// Extended Offset Table (7FE0,0001) and its lengths (7FE0,0002) are written just before the
// pixel data: zeros first, filled in as frames are written. Its offsets count from the first
// byte of the first frame's item, its lengths are the items' value lengths (even).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dicom/Slide.h"

namespace tarn::dicom {

enum class OffsetTablePolicy {
    Auto,    // an Extended Offset Table where the frames may pass 4 GiB (uncompressed, they do)
    Always,  // one for every instance (tests, readers that want random access)
    Never,
};

// Whether an instance gets an Extended Offset Table under `policy`.
bool UsesExtendedOffsetTable(const Instance& instance, OffsetTablePolicy policy);

// Checks that `jpeg` is a baseline JPEG of the instance's frame size with three 8-bit
// components; false with the reason.
bool CheckFrame(const Instance& instance, const uint8_t* jpeg, size_t size, std::string* error);

// Writes one instance to a file. Begin creates a temporary file beside `path`; AddFrame appends
// the next frame; Finish writes the end, fills in the Extended Offset Table and the measured
// LossyImageCompressionRatio, flushes the file to disk and renames it to `path`. Abort (and the
// destructor of an unfinished writer) removes the temporary file.
struct FileOptions {
    OffsetTablePolicy offsetTable = OffsetTablePolicy::Auto;
    // ImageComments tells how many frames were handed in as damaged (white in place of a tile
    // that could not be read), or that none was: the converter's skip-damaged option.
    bool countDamagedFrames = false;
};

class InstanceFileWriter {
  public:
    InstanceFileWriter();
    ~InstanceFileWriter();
    InstanceFileWriter(const InstanceFileWriter&) = delete;
    InstanceFileWriter& operator=(const InstanceFileWriter&) = delete;

    bool Begin(const PreparedSlide& slide, size_t index, const std::string& path,
               OffsetTablePolicy policy, std::string* error);
    bool Begin(const PreparedSlide& slide, size_t index, const std::string& path,
               const FileOptions& options, std::string* error);
    // `damaged`: the frame stands white for a tile that could not be read (counted with
    // FileOptions::countDamagedFrames).
    bool AddFrame(const uint8_t* jpeg, size_t size, std::string* error, bool damaged = false);
    bool Finish(std::string* error);
    void Abort();

    struct State;

  private:
    std::unique_ptr<State> state_;
};

// Fetches frame `index` (0-based, row-major) of the instance being streamed.
using FrameSource =
    std::function<bool(int64_t index, std::vector<uint8_t>* jpeg, std::string* error)>;

struct StreamOptions {
    // LossyImageCompressionRatio to record (the frames are not known ahead); 0: estimated from
    // the JPEG quality.
    double compressionRatio = 0;
    // When not empty, the byte length of every frame the source will give, in order: the
    // stream then carries an Extended Offset Table (and fails should a frame differ).
    std::vector<uint64_t> frameLengths;
    // Writes the ratio as InstanceFileWriter does, padded to 16 characters: a stream given the
    // ratio the writer measures (MeasuredCompressionRatio) is then the converter's file, byte for
    // byte, wherever the file has no Extended Offset Table.
    bool paddedRatio = false;
};

// LossyImageCompressionRatio as InstanceFileWriter measures it: the frames' bytes uncompressed
// over `frameBytes`, the sum of the JPEG frames' sizes.
double MeasuredCompressionRatio(const Instance& instance, uint64_t frameBytes);

// A whole instance as a Part 10 byte stream, produced as it is read (for WADO-RS retrievals):
// the header at once, then each frame as the source gives it. Its length is not known ahead.
class InstanceStream {
  public:
    InstanceStream();
    ~InstanceStream();
    InstanceStream(const InstanceStream&) = delete;
    InstanceStream& operator=(const InstanceStream&) = delete;

    bool Begin(const PreparedSlide& slide, size_t index, FrameSource source,
               const StreamOptions& options, std::string* error);
    // Copies up to `capacity` next bytes into `dest`: the count, 0 at the end, -1 on failure
    // (the reason in error()).
    int64_t Read(uint8_t* dest, size_t capacity);
    const std::string& error() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

// The file meta and dataset of an instance, encoded: the bytes before its pixel data.
bool EncodeInstanceHeader(const PreparedSlide& slide, size_t index, double compressionRatio,
                          const std::vector<uint64_t>& frameLengths, std::vector<uint8_t>* bytes,
                          std::string* error);

}  // namespace tarn::dicom
