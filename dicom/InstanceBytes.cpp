#include "dicom/InstanceBytes.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcostrmb.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "dicom/Datasets.h"

namespace tarn::dicom {
namespace {

constexpr uint64_t kFourGiB = uint64_t{1} << 32;
// An item's value length is 32 bits, and 0xFFFFFFFF means "undefined".
constexpr uint64_t kMaxFrameBytes = 0xFFFFFFFEu;
// Frames of offsets and lengths held before they are written into the file's table.
constexpr size_t kTableBatch = 4096;
constexpr size_t kWriteBuffer = size_t{1} << 20;

void PutU16(std::vector<uint8_t>* out, uint16_t value) {
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}
void PutU32(std::vector<uint8_t>* out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void PutU64(std::vector<uint8_t>* out, uint64_t value) {
    for (int i = 0; i < 8; ++i)
        out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Tag (FFFE,E000) and the 32-bit length: the head of an item.
void PutItemHead(std::vector<uint8_t>* out, uint32_t length) {
    PutU16(out, 0xFFFE);
    PutU16(out, 0xE000);
    PutU32(out, length);
}

// Pixel Data (7FE0,0010), OB of undefined length, and its empty Basic Offset Table item.
std::vector<uint8_t> PixelDataStart() {
    std::vector<uint8_t> out;
    PutU16(&out, 0x7FE0);
    PutU16(&out, 0x0010);
    out.push_back('O');
    out.push_back('B');
    PutU16(&out, 0);
    PutU32(&out, 0xFFFFFFFFu);
    PutItemHead(&out, 0);
    return out;
}

// The sequence delimiter (FFFE,E0DD) that ends the pixel data.
std::vector<uint8_t> PixelDataEnd() {
    std::vector<uint8_t> out;
    PutU16(&out, 0xFFFE);
    PutU16(&out, 0xE0DD);
    PutU32(&out, 0);
    return out;
}

uint64_t PaddedLength(size_t size) {
    return size + (size % 2);
}

// Where the two tables' values start in an encoded header whose last elements they are.
bool FindTables(const std::vector<uint8_t>& header, int64_t frames, uint64_t* offsets,
                uint64_t* lengths) {
    const uint64_t tableBytes = static_cast<uint64_t>(frames) * 8;
    const uint64_t both = 2 * (12 + tableBytes);
    if (header.size() < both) return false;
    *lengths = header.size() - tableBytes;
    *offsets = *lengths - 12 - tableBytes;
    auto headIs = [&](uint64_t value, uint16_t element) {
        const uint8_t* head = header.data() + value - 12;
        const uint8_t expected[8] = {0xE0, 0x7F, static_cast<uint8_t>(element), 0, 'O', 'V', 0, 0};
        const uint32_t length = uint32_t{head[8]} | (uint32_t{head[9]} << 8) |
                                (uint32_t{head[10]} << 16) | (uint32_t{head[11]} << 24);
        return std::memcmp(head, expected, 8) == 0 && length == tableBytes;
    };
    return headIs(*offsets, 0x0001) && headIs(*lengths, 0x0002);
}

// The position of an element's value in an encoded header: the tag, the VR and the 16-bit
// length of explicit VR little endian, then the value.
bool FindValue(const std::vector<uint8_t>& header, uint16_t group, uint16_t element, const char* vr,
               const std::string& value, uint64_t* position) {
    std::vector<uint8_t> pattern = {
        static_cast<uint8_t>(group),        static_cast<uint8_t>(group >> 8),
        static_cast<uint8_t>(element),      static_cast<uint8_t>(element >> 8),
        static_cast<uint8_t>(vr[0]),        static_cast<uint8_t>(vr[1]),
        static_cast<uint8_t>(value.size()), static_cast<uint8_t>(value.size() >> 8)};
    pattern.insert(pattern.end(), value.begin(), value.end());
    const auto found = std::search(header.begin(), header.end(), pattern.begin(), pattern.end());
    if (found == header.end()) return false;
    *position = static_cast<uint64_t>(found - header.begin()) + 8;
    return true;
}

// The position of the placeholder ratio's value in an encoded header.
bool FindRatio(const std::vector<uint8_t>& header, uint64_t* position) {
    return FindValue(header, 0x0028, 0x2112, "DS", kRatioPlaceholder, position);
}

// Writes the Extended Offset Table of frames of `frameLengths` into an encoded header.
void FillTables(const std::vector<uint64_t>& frameLengths, uint64_t offsetsAt, uint64_t lengthsAt,
                std::vector<uint8_t>* bytes) {
    uint64_t offset = 0;
    for (size_t i = 0; i < frameLengths.size(); ++i) {
        const uint64_t padded = PaddedLength(frameLengths[i]);
        for (int k = 0; k < 8; ++k) {
            (*bytes)[offsetsAt + i * 8 + k] = static_cast<uint8_t>(offset >> (8 * k));
            (*bytes)[lengthsAt + i * 8 + k] = static_cast<uint8_t>(padded >> (8 * k));
        }
        offset += 8 + padded;
    }
}

bool EncodeHeader(const PreparedSlide& slide, size_t index, const DatasetOptions& options,
                  std::vector<uint8_t>* bytes, std::string* error) {
    DcmFileFormat file;
    if (!BuildDataset(slide, index, options, file.getDataset(), error)) return false;
    bytes->clear();
    std::vector<uint8_t> chunk(size_t{1} << 16);
    DcmOutputBufferStream stream(chunk.data(), chunk.size());
    file.transferInit();
    OFCondition status;
    do {
        status = file.write(stream, EXS_JPEGProcess1, EET_ExplicitLength, nullptr, EGL_withoutGL,
                            EPD_noChange, 0, 0, 0, EWM_createNewMeta);
        void* written = nullptr;
        offile_off_t length = 0;
        stream.flushBuffer(written, length);
        const auto* start = static_cast<const uint8_t*>(written);
        bytes->insert(bytes->end(), start, start + length);
    } while (status == EC_StreamNotifyClient);
    file.transferEnd();
    if (status.bad()) {
        *error = std::string("cannot encode the dataset: ") + status.text();
        return false;
    }
    return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t size, std::string* error) {
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            *error = std::string("cannot write: ") + std::strerror(errno);
            return false;
        }
        data += done;
        size -= static_cast<size_t>(done);
    }
    return true;
}

bool WriteAt(int fd, uint64_t position, const uint8_t* data, size_t size, std::string* error) {
    while (size > 0) {
        const ssize_t done = ::pwrite(fd, data, size, static_cast<off_t>(position));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            *error = std::string("cannot write: ") + std::strerror(errno);
            return false;
        }
        data += done;
        size -= static_cast<size_t>(done);
        position += static_cast<uint64_t>(done);
    }
    return true;
}

}  // namespace

double MeasuredCompressionRatio(const Instance& instance, uint64_t frameBytes) {
    const double raw = static_cast<double>(instance.grid.FrameCount()) * instance.grid.frameWidth *
                       instance.grid.frameHeight * 3.0;
    return frameBytes > 0 ? raw / static_cast<double>(frameBytes) : 1.0;
}

bool UsesExtendedOffsetTable(const Instance& instance, OffsetTablePolicy policy) {
    switch (policy) {
        case OffsetTablePolicy::Always:
            return true;
        case OffsetTablePolicy::Never:
            return false;
        case OffsetTablePolicy::Auto:
            break;
    }
    // JPEG frames of 8-bit RGB stay below three bytes a pixel (plus their headers) unless an
    // encoder works against itself, so the uncompressed size bounds the pixel data.
    const uint64_t frameBytes =
        uint64_t{instance.grid.frameWidth} * instance.grid.frameHeight * 3 + 65536;
    return static_cast<uint64_t>(instance.grid.FrameCount()) > kFourGiB / frameBytes;
}

bool CheckFrame(const Instance& instance, const uint8_t* jpeg, size_t size, std::string* error) {
    if (size < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) {
        *error = "a frame is not a JPEG stream";
        return false;
    }
    if (size > kMaxFrameBytes) {
        *error = "a frame is larger than an item can hold";
        return false;
    }
    size_t at = 2;
    while (at + 4 <= size) {
        if (jpeg[at] != 0xFF) break;
        const uint8_t marker = jpeg[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        const size_t length = (size_t{jpeg[at + 2]} << 8) | jpeg[at + 3];
        if (length < 2 || at + 2 + length > size) break;
        const bool frameHeader =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frameHeader) {
            const uint8_t* sof = jpeg + at + 4;
            if (marker != 0xC0 || length < 8 + 3 * 3 || sof[0] != 8 || sof[5] != 3) {
                *error = "a frame is not a baseline JPEG of three 8-bit components";
                return false;
            }
            const uint32_t height = (uint32_t{sof[1]} << 8) | sof[2];
            const uint32_t width = (uint32_t{sof[3]} << 8) | sof[4];
            if (width != instance.grid.frameWidth || height != instance.grid.frameHeight) {
                *error = "a frame is " + std::to_string(width) + " x " + std::to_string(height) +
                         " pixels, not the instance's " + std::to_string(instance.grid.frameWidth) +
                         " x " + std::to_string(instance.grid.frameHeight);
                return false;
            }
            // YBR_FULL_422: luma sampled twice across, chroma once.
            if (sof[7] != 0x21 || sof[10] != 0x11 || sof[13] != 0x11) {
                *error = "a frame's chroma is not subsampled 4:2:2";
                return false;
            }
            return true;
        }
        if (marker == 0xDA) break;  // scan data before any frame header
        at += 2 + length;
    }
    *error = "a frame has no readable JPEG frame header";
    return false;
}

bool EncodeInstanceHeader(const PreparedSlide& slide, size_t index, double compressionRatio,
                          const std::vector<uint64_t>& frameLengths, std::vector<uint8_t>* bytes,
                          std::string* error) {
    if (index >= slide.instances.size()) {
        *error = "no such instance";
        return false;
    }
    const Instance& instance = slide.instances[index];
    DatasetOptions options;
    options.compressionRatio = compressionRatio;
    if (!frameLengths.empty()) {
        if (static_cast<int64_t>(frameLengths.size()) != instance.grid.FrameCount()) {
            *error = "the frame lengths do not match the instance's frames";
            return false;
        }
        options.extendedOffsetTableFrames = instance.grid.FrameCount();
    }
    if (!EncodeHeader(slide, index, options, bytes, error)) return false;
    if (frameLengths.empty()) return true;
    uint64_t offsetsAt = 0;
    uint64_t lengthsAt = 0;
    if (!FindTables(*bytes, instance.grid.FrameCount(), &offsetsAt, &lengthsAt)) {
        *error = "the offset tables are not where they belong in the encoded dataset";
        return false;
    }
    FillTables(frameLengths, offsetsAt, lengthsAt, bytes);
    return true;
}

// ---- InstanceFileWriter ----

struct InstanceFileWriter::State {
    Instance instance;
    std::string path;
    std::string temporary;
    int fd = -1;
    std::vector<uint8_t> buffer;
    bool extended = false;
    uint64_t offsetsAt = 0;  // file positions of the tables' values
    uint64_t lengthsAt = 0;
    uint64_t ratioAt = 0;
    uint64_t commentAt = 0;  // of the damaged-frames comment, 0 when it is not counted
    int64_t damaged = 0;
    int64_t frames = 0;           // written so far
    uint64_t nextItemOffset = 0;  // of the next frame's item, from the first frame's item
    uint64_t compressed = 0;
    int64_t batchFirst = 0;  // frame index of the first entry of the batch
    std::vector<uint8_t> batchOffsets;
    std::vector<uint8_t> batchLengths;
    bool failed = false;

    bool Flush(std::string* error) {
        if (buffer.empty()) return true;
        if (!WriteAll(fd, buffer.data(), buffer.size(), error)) return false;
        buffer.clear();
        return true;
    }
    bool Append(const uint8_t* data, size_t size, std::string* error) {
        buffer.insert(buffer.end(), data, data + size);
        return buffer.size() < kWriteBuffer || Flush(error);
    }
    bool FlushTables(std::string* error) {
        if (batchOffsets.empty()) return true;
        const uint64_t at = static_cast<uint64_t>(batchFirst) * 8;
        if (!WriteAt(fd, offsetsAt + at, batchOffsets.data(), batchOffsets.size(), error) ||
            !WriteAt(fd, lengthsAt + at, batchLengths.data(), batchLengths.size(), error)) {
            return false;
        }
        batchFirst = frames;
        batchOffsets.clear();
        batchLengths.clear();
        return true;
    }
};

InstanceFileWriter::InstanceFileWriter() = default;
InstanceFileWriter::~InstanceFileWriter() {
    Abort();
}

void InstanceFileWriter::Abort() {
    if (!state_) return;
    if (state_->fd >= 0) ::close(state_->fd);
    if (!state_->temporary.empty()) ::unlink(state_->temporary.c_str());
    state_.reset();
}

bool InstanceFileWriter::Begin(const PreparedSlide& slide, size_t index, const std::string& path,
                               OffsetTablePolicy policy, std::string* error) {
    FileOptions options;
    options.offsetTable = policy;
    return Begin(slide, index, path, options, error);
}

bool InstanceFileWriter::Begin(const PreparedSlide& slide, size_t index, const std::string& path,
                               const FileOptions& fileOptions, std::string* error) {
    const OffsetTablePolicy policy = fileOptions.offsetTable;
    Abort();
    if (index >= slide.instances.size()) {
        *error = "no such instance";
        return false;
    }
    auto state = std::make_unique<State>();
    state->instance = slide.instances[index];
    state->path = path;
    state->extended = UsesExtendedOffsetTable(state->instance, policy);
    DatasetOptions options;
    options.ratioPlaceholder = true;
    options.damagedCommentPlaceholder = fileOptions.countDamagedFrames;
    if (state->extended) options.extendedOffsetTableFrames = state->instance.grid.FrameCount();
    std::vector<uint8_t> header;
    if (!EncodeHeader(slide, index, options, &header, error)) return false;
    if (!FindRatio(header, &state->ratioAt) ||
        (fileOptions.countDamagedFrames &&
         !FindValue(header, 0x0020, 0x4000, "LT", std::string(kDamagedCommentLength, '#'),
                    &state->commentAt)) ||
        (state->extended && !FindTables(header, state->instance.grid.FrameCount(),
                                        &state->offsetsAt, &state->lengthsAt))) {
        *error = "the values to fill in are not where they belong in the encoded dataset";
        return false;
    }

    static std::atomic<uint64_t> counter{0};
    state->temporary =
        path + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    state->fd = ::open(state->temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (state->fd < 0) {
        *error = "cannot create " + state->temporary + ": " + std::strerror(errno);
        state->temporary.clear();
        return false;
    }
    state_ = std::move(state);
    const std::vector<uint8_t> start = PixelDataStart();
    // The header goes to the file at once, so that the tables it holds can be written in place.
    if (!state_->Append(header.data(), header.size(), error) ||
        !state_->Append(start.data(), start.size(), error) || !state_->Flush(error)) {
        Abort();
        return false;
    }
    return true;
}

bool InstanceFileWriter::AddFrame(const uint8_t* jpeg, size_t size, std::string* error,
                                  bool damaged) {
    if (!state_ || state_->failed) {
        *error = "the writer has no instance open";
        return false;
    }
    State& s = *state_;
    if (s.frames >= s.instance.grid.FrameCount()) {
        *error = "more frames than the instance has";
        return false;
    }
    if (!CheckFrame(s.instance, jpeg, size, error)) return false;
    const uint64_t padded = PaddedLength(size);
    std::vector<uint8_t> head;
    PutItemHead(&head, static_cast<uint32_t>(padded));
    const uint8_t pad = 0;
    if (!s.Append(head.data(), head.size(), error) || !s.Append(jpeg, size, error) ||
        (padded != size && !s.Append(&pad, 1, error))) {
        s.failed = true;
        return false;
    }
    if (s.extended) {
        PutU64(&s.batchOffsets, s.nextItemOffset);
        PutU64(&s.batchLengths, padded);
    }
    s.nextItemOffset += 8 + padded;
    s.compressed += size;
    ++s.frames;
    if (damaged) ++s.damaged;
    if (s.batchOffsets.size() >= kTableBatch * 8 && !s.FlushTables(error)) {
        s.failed = true;
        return false;
    }
    return true;
}

bool InstanceFileWriter::Finish(std::string* error) {
    if (!state_ || state_->failed) {
        *error = "the writer has no instance open";
        return false;
    }
    State& s = *state_;
    if (s.frames != s.instance.grid.FrameCount()) {
        *error = "the instance has " + std::to_string(s.instance.grid.FrameCount()) + " frames; " +
                 std::to_string(s.frames) + " were written";
        return false;
    }
    const std::vector<uint8_t> end = PixelDataEnd();
    const std::string ratio = PaddedRatio(MeasuredCompressionRatio(s.instance, s.compressed));
    const std::string comment = DamagedFramesComment(s.damaged, s.frames);
    bool ok = s.Append(end.data(), end.size(), error) && s.Flush(error) && s.FlushTables(error) &&
              WriteAt(s.fd, s.ratioAt, reinterpret_cast<const uint8_t*>(ratio.data()), ratio.size(),
                      error) &&
              (s.commentAt == 0 ||
               WriteAt(s.fd, s.commentAt, reinterpret_cast<const uint8_t*>(comment.data()),
                       comment.size(), error));
    if (ok && ::fsync(s.fd) != 0) {
        *error = std::string("cannot flush the file: ") + std::strerror(errno);
        ok = false;
    }
    if (ok) {
        const int fd = s.fd;
        s.fd = -1;
        if (::close(fd) != 0) {
            *error = std::string("cannot close the file: ") + std::strerror(errno);
            ok = false;
        }
    }
    if (ok && ::rename(s.temporary.c_str(), s.path.c_str()) != 0) {
        *error = "cannot rename the file to " + s.path + ": " + std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        Abort();
        return false;
    }
    state_.reset();
    return true;
}

// ---- InstanceStream ----

namespace {

// The header with the ratio written as the file writer writes it: the placeholder encoded, then
// overwritten by the padded value of the same length.
bool EncodePaddedRatioHeader(const PreparedSlide& slide, size_t index, const StreamOptions& options,
                             std::vector<uint8_t>* header, std::string* error) {
    if (index >= slide.instances.size()) {
        *error = "no such instance";
        return false;
    }
    const Instance& instance = slide.instances[index];
    DatasetOptions datasetOptions;
    datasetOptions.ratioPlaceholder = true;
    if (!options.frameLengths.empty()) {
        if (static_cast<int64_t>(options.frameLengths.size()) != instance.grid.FrameCount()) {
            *error = "the frame lengths do not match the instance's frames";
            return false;
        }
        datasetOptions.extendedOffsetTableFrames = instance.grid.FrameCount();
    }
    if (!EncodeHeader(slide, index, datasetOptions, header, error)) return false;
    uint64_t ratioAt = 0;
    if (!FindRatio(*header, &ratioAt)) {
        *error = "the ratio is not where it belongs in the encoded dataset";
        return false;
    }
    const double ratio = options.compressionRatio > 0
                             ? options.compressionRatio
                             : EstimatedCompressionRatio(slide.description.jpegQuality);
    const std::string text = PaddedRatio(ratio);
    std::copy(text.begin(), text.end(), header->begin() + static_cast<int64_t>(ratioAt));
    if (options.frameLengths.empty()) return true;
    uint64_t offsetsAt = 0;
    uint64_t lengthsAt = 0;
    if (!FindTables(*header, instance.grid.FrameCount(), &offsetsAt, &lengthsAt)) {
        *error = "the offset tables are not where they belong in the encoded dataset";
        return false;
    }
    FillTables(options.frameLengths, offsetsAt, lengthsAt, header);
    return true;
}

}  // namespace

struct InstanceStream::State {
    Instance instance;
    FrameSource source;
    std::vector<uint64_t> lengths;
    std::vector<uint8_t> pending;
    size_t pendingAt = 0;
    int64_t nextFrame = 0;
    bool ended = false;
    bool failed = false;
    std::string error;
    std::vector<uint8_t> frame;

    // Refills `pending` with the next piece; false at the end or on failure.
    bool Refill() {
        pending.clear();
        pendingAt = 0;
        if (nextFrame < instance.grid.FrameCount()) {
            frame.clear();
            if (!source(nextFrame, &frame, &error)) {
                if (error.empty()) error = "a frame cannot be read";
                failed = true;
                return false;
            }
            if (!CheckFrame(instance, frame.data(), frame.size(), &error) ||
                (!lengths.empty() && lengths[static_cast<size_t>(nextFrame)] != frame.size())) {
                if (error.empty()) error = "a frame's length differs from the one announced";
                failed = true;
                return false;
            }
            const uint64_t padded = PaddedLength(frame.size());
            PutItemHead(&pending, static_cast<uint32_t>(padded));
            pending.insert(pending.end(), frame.begin(), frame.end());
            if (padded != frame.size()) pending.push_back(0);
            ++nextFrame;
            return true;
        }
        if (ended) return false;
        pending = PixelDataEnd();
        ended = true;
        return true;
    }
};

InstanceStream::InstanceStream() = default;
InstanceStream::~InstanceStream() = default;

bool InstanceStream::Begin(const PreparedSlide& slide, size_t index, FrameSource source,
                           const StreamOptions& options, std::string* error) {
    state_.reset();
    auto state = std::make_unique<State>();
    std::vector<uint8_t> header;
    if (!options.paddedRatio) {
        if (!EncodeInstanceHeader(slide, index, options.compressionRatio, options.frameLengths,
                                  &header, error)) {
            return false;
        }
    } else if (!EncodePaddedRatioHeader(slide, index, options, &header, error)) {
        return false;
    }
    state->instance = slide.instances[index];
    state->source = std::move(source);
    state->lengths = options.frameLengths;
    state->pending = std::move(header);
    const std::vector<uint8_t> start = PixelDataStart();
    state->pending.insert(state->pending.end(), start.begin(), start.end());
    state_ = std::move(state);
    return true;
}

int64_t InstanceStream::Read(uint8_t* dest, size_t capacity) {
    if (!state_) return -1;
    State& s = *state_;
    if (s.failed) return -1;
    size_t copied = 0;
    while (copied < capacity) {
        if (s.pendingAt == s.pending.size() && !s.Refill()) break;
        const size_t take = std::min(capacity - copied, s.pending.size() - s.pendingAt);
        std::memcpy(dest + copied, s.pending.data() + s.pendingAt, take);
        s.pendingAt += take;
        copied += take;
    }
    return s.failed ? -1 : static_cast<int64_t>(copied);
}

const std::string& InstanceStream::error() const {
    static const std::string none = "the stream was not begun";
    return state_ ? state_->error : none;
}

}  // namespace tarn::dicom
