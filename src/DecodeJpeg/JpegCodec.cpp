// JPEG encoding and decoding in memory through libjpeg-turbo.
//
// libjpeg reports fatal errors by calling error_exit, which must not return; ours jumps back to a
// recovery point. Each operation keeps its libjpeg state in a session owned by an outer function
// and runs libjpeg inside an inner function that sets the recovery point, so the outer function
// cleans up the same way after success and after a jump, and no C++ object with a destructor is
// ever jumped over.
#include "DecodeJpeg/JpegCodec.h"

#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jerror.h>

namespace tarn {
namespace {

// Rows handed to libjpeg per call; they go straight to or from the caller's layout.
constexpr int kRowBatch = 16;

// Decoded rows are corrected in runs of about this many bytes: small enough to be corrected while
// still in the core's cache, large enough that the table lookups do not keep evicting libjpeg's
// own working data (correcting every batch as it arrives is markedly slower).
constexpr size_t kCorrectRun = 128 * 1024;

struct ErrorManager {
    jpeg_error_mgr pub;  // first: libjpeg passes &pub around as cinfo->err
    jmp_buf recovery;
    Error* message;  // where libjpeg's message of a fatal error goes; may be null
};

// libjpeg's message output: the text goes to the operation's message, never to stderr.
void KeepMessage(j_common_ptr cinfo) {
    ErrorManager* error = reinterpret_cast<ErrorManager*>(cinfo->err);
    if (error->message == nullptr) return;
    (*cinfo->err->format_message)(cinfo, error->message->text);
    error->message->status = Status::Undecodable;
    error->message->loud = true;
}

// libjpeg's fatal-error exit: keep the message, then unwind to the recovery point of the
// operation that is running.
static void my_error_exit(j_common_ptr cinfo) {
    ErrorManager* error = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->output_message)(cinfo);
    longjmp(error->recovery, 1);
}

// Warnings (corrupt entropy data, premature end of data) do not stop decoding and are not
// reported: they are only counted. Trace messages are dropped.
void CountWarning(j_common_ptr cinfo, int level) {
    if (level < 0) cinfo->err->num_warnings++;
}

void InitErrorManager(ErrorManager& error, Error* message) {
    jpeg_std_error(&error.pub);
    error.pub.error_exit = my_error_exit;
    error.pub.emit_message = CountWarning;
    error.pub.output_message = KeepMessage;
    error.message = message;
}

// ---- Decoding ----

struct DecodeSession {
    jpeg_decompress_struct cinfo;
    ErrorManager error;
};

void InitDecodeSession(DecodeSession& s, Error* message) {
    std::memset(&s, 0, sizeof s);  // a zeroed cinfo can be destroyed safely at any point
    InitErrorManager(s.error, message);
    s.cinfo.err = &s.error.pub;
}

// Bytes per output pixel once the output is set up; 0 for layouts that are not 3 or 4 bytes
// (grey, RGB565), which the correction cannot handle.
int OutputPixelBytes(const jpeg_decompress_struct& cinfo) {
    if (cinfo.out_color_space == JCS_RGB565) return 0;
    const int components = cinfo.output_components;
    return components == 3 || components == 4 ? components : 0;
}

// Reads the header and sets up the output in `space`, so that its size is known before anything
// is allocated or decoded. Must stay a separate function: it holds the recovery point.
bool StartDecode(DecodeSession& s, const uint8_t* jpeg, size_t length, J_COLOR_SPACE space) {
    if (setjmp(s.error.recovery) != 0) return false;
    jpeg_create_decompress(&s.cinfo);
    jpeg_mem_src(&s.cinfo, jpeg, static_cast<unsigned long>(length));
    jpeg_read_header(&s.cinfo, TRUE);
    s.cinfo.out_color_space = space;
    jpeg_calc_output_dimensions(&s.cinfo);
    return true;
}

// Where a decode's rows go. libjpeg writes image row r at rows + r * rowStride, `channels` bytes
// per pixel from the image's left edge. With a lookup, the rows of the wanted rectangle are
// corrected as they arrive into dst (the rectangle's top-left pixel first, rows dstStride apart)
// in `format`; dst may be `rows` itself when the pixel sizes agree.
struct RowTarget {
    uint8_t* rows;
    size_t rowStride;
    int channels;
    ColorLookup lookup;
    uint8_t* dst;
    size_t dstStride;
    PixelFormat format;
};

// The needed rectangle clipped to the image; empty means all of it.
PixelRect ClipNeeded(const PixelRect& needed, uint32_t width, uint32_t height) {
    PixelRect r = needed;
    if (r.x >= width || r.y >= height || r.width == 0 || r.height == 0)
        return {0, 0, width, height};
    if (r.width > width - r.x) r.width = width - r.x;
    if (r.height > height - r.y) r.height = height - r.y;
    return r;
}

// Corrects the wanted part of image rows [first, end): in one run when whole rows lie back to
// back on both sides, else row by row.
void CorrectRows(const RowTarget& t, const PixelRect& want, uint32_t first, uint32_t end) {
    if (!t.lookup) return;
    const uint32_t top = first > want.y ? first : want.y;
    if (top >= end) return;
    const size_t srcRow = size_t{want.width} * t.channels;
    const size_t dstRow = size_t{want.width} * BytesPerPixel(t.format);
    if (t.rowStride == srcRow && t.dstStride == dstRow) {
        CorrectPixels(t.lookup, t.rows + top * t.rowStride, t.channels,
                      t.dst + (top - want.y) * t.dstStride, t.format,
                      size_t{end - top} * want.width);
        return;
    }
    for (uint32_t row = top; row < end; ++row)
        CorrectPixels(t.lookup, t.rows + row * t.rowStride + size_t{want.x} * t.channels,
                      t.channels, t.dst + (row - want.y) * t.dstStride, t.format, want.width);
}

// The one scanline loop of the codec: rows go straight into the target, skipping what `needed`
// does not cover (columns by cropping, rows above by skipping, rows below by stopping), and are
// corrected in runs while they are still in the core's cache. The kept area reaches one iMCU
// beyond `needed` on every side where the image continues, so that fancy upsampling sees the true
// neighbours of every needed pixel rather than treating the crop edge as the image edge. (Above,
// libjpeg-turbo's skip already keeps the context rows right; the margin costs at most one iMCU
// row and does not depend on that.) Must stay a separate function: it holds the recovery point.
bool DecodeRows(DecodeSession& s, const PixelRect& needed, const RowTarget& t) {
    if (setjmp(s.error.recovery) != 0) return false;
    jpeg_start_decompress(&s.cinfo);
    const uint32_t width = s.cinfo.output_width, height = s.cinfo.output_height;
    const PixelRect want = ClipNeeded(needed, width, height);
    const uint32_t mcuWidth = static_cast<uint32_t>(s.cinfo.max_h_samp_factor) * DCTSIZE;
    const uint32_t mcuHeight = static_cast<uint32_t>(s.cinfo.max_v_samp_factor) * DCTSIZE;

    JDIMENSION left = want.x > mcuWidth ? want.x - mcuWidth : 0;
    const uint32_t right =
        want.width + mcuWidth < width - want.x ? want.x + want.width + mcuWidth : width;
    if (left > 0 || right < width) {
        JDIMENSION cropWidth = right - left;
        jpeg_crop_scanline(&s.cinfo, &left, &cropWidth);  // moves left to an iMCU boundary
    }
    const uint32_t top = want.y > mcuHeight ? want.y - mcuHeight : 0;
    if (top > 0) jpeg_skip_scanlines(&s.cinfo, top);

    const uint32_t bottom = want.y + want.height;
    JSAMPROW rows[kRowBatch];
    JDIMENSION corrected = s.cinfo.output_scanline;  // rows before this one are done
    while (s.cinfo.output_scanline < bottom) {
        const JDIMENSION first = s.cinfo.output_scanline;
        const JDIMENSION remaining = bottom - first;
        const int batch = remaining < kRowBatch ? static_cast<int>(remaining) : kRowBatch;
        for (int i = 0; i < batch; ++i)
            rows[i] = t.rows + (first + i) * t.rowStride + size_t{left} * t.channels;
        if (jpeg_read_scanlines(&s.cinfo, rows, batch) == 0) return false;
        const JDIMENSION done = s.cinfo.output_scanline;
        if ((done - corrected) * t.rowStride >= kCorrectRun || done == bottom) {
            CorrectRows(t, want, corrected, done);
            corrected = done;
        }
    }
    // A full read ends like any decode, so trailing damage fails here as it would elsewhere.
    if (bottom == height) jpeg_finish_decompress(&s.cinfo);
    return true;
}

// ---- Encoding ----

static_assert(kMaxJpegSide == JPEG_MAX_DIMENSION);

// A destination that grows by doubling; unlike libjpeg's memory destination it keeps the live
// buffer where the encoder can release it after an error, and starts near the expected size.
struct GrowingDestination {
    jpeg_destination_mgr pub;  // first: libjpeg passes &pub around as cinfo->dest
    unsigned char* buffer;
    size_t capacity;
    size_t length;
};

// Streams are handed out with an int length.
constexpr size_t kMaxStream = INT_MAX;

GrowingDestination* DestinationOf(j_compress_ptr cinfo) {
    return reinterpret_cast<GrowingDestination*>(cinfo->dest);
}

void StartDestination(j_compress_ptr cinfo) {
    GrowingDestination* d = DestinationOf(cinfo);
    // Dimensions are checked by now (at most kMaxJpegSide each), so this cannot overflow. A tenth
    // of the raw size holds a typical quality-75 image without growing.
    const size_t raw = static_cast<size_t>(cinfo->image_width) * cinfo->image_height *
                       static_cast<size_t>(cinfo->input_components);
    size_t initial = raw / 8;
    if (initial < 16384) initial = 16384;
    if (initial > (size_t{64} << 20)) initial = size_t{64} << 20;
    d->buffer = static_cast<unsigned char*>(std::malloc(initial));
    if (d->buffer == nullptr) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
    d->capacity = initial;
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = initial;
}

// Called when the whole buffer is full.
boolean GrowDestination(j_compress_ptr cinfo) {
    GrowingDestination* d = DestinationOf(cinfo);
    if (d->capacity >= kMaxStream) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 1);
    const size_t grown = d->capacity > kMaxStream / 2 ? kMaxStream + 1 : d->capacity * 2;
    unsigned char* bigger = static_cast<unsigned char*>(std::realloc(d->buffer, grown));
    if (bigger == nullptr) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 2);
    d->buffer = bigger;
    d->pub.next_output_byte = bigger + d->capacity;
    d->pub.free_in_buffer = grown - d->capacity;
    d->capacity = grown;
    return TRUE;
}

void FinishDestination(j_compress_ptr cinfo) {
    GrowingDestination* d = DestinationOf(cinfo);
    d->length = d->capacity - d->pub.free_in_buffer;
}

struct EncodeSession {
    jpeg_compress_struct cinfo;
    ErrorManager error;
    GrowingDestination destination;
};

void InitEncodeSession(EncodeSession& s, Error* message) {
    std::memset(&s, 0, sizeof s);
    InitErrorManager(s.error, message);
    s.cinfo.err = &s.error.pub;
    s.destination.pub.init_destination = StartDestination;
    s.destination.pub.empty_output_buffer = GrowDestination;
    s.destination.pub.term_destination = FinishDestination;
}

// Must stay a separate function: it holds the recovery point.
bool CompressRows(EncodeSession& s, const uint8_t* pixels, uint32_t width, uint32_t height,
                  int quality, J_COLOR_SPACE space, int channels) {
    if (setjmp(s.error.recovery) != 0) return false;
    jpeg_create_compress(&s.cinfo);
    s.cinfo.dest = &s.destination.pub;
    s.cinfo.image_width = width;
    s.cinfo.image_height = height;
    s.cinfo.input_components = channels;
    s.cinfo.in_color_space = space;  // before the defaults, which derive the JPEG space from it
    jpeg_set_defaults(&s.cinfo);
    jpeg_set_quality(&s.cinfo, quality, TRUE);
    jpeg_start_compress(&s.cinfo, TRUE);

    const size_t stride = static_cast<size_t>(width) * channels;
    JSAMPROW rows[kRowBatch];
    while (s.cinfo.next_scanline < s.cinfo.image_height) {
        const JDIMENSION first = s.cinfo.next_scanline;
        const JDIMENSION left = s.cinfo.image_height - first;
        const int batch = left < kRowBatch ? static_cast<int>(left) : kRowBatch;
        // libjpeg's row type is not const, but compression only reads the rows.
        for (int i = 0; i < batch; ++i)
            rows[i] = const_cast<JSAMPROW>(pixels + (first + i) * stride);
        jpeg_write_scanlines(&s.cinfo, rows, batch);
    }
    jpeg_finish_compress(&s.cinfo);
    return s.destination.length <= kMaxStream;
}

}  // namespace

namespace {

// Where a tile's decoded rows go: a buffer the caller holds, or one made big enough only once the
// header shows the tile's size.
struct TileRoom {
    uint8_t* rows = nullptr;
    size_t stride = 0;
    ByteBuffer* grow = nullptr;
};

Status DecodeTile(const uint8_t* jpeg, size_t length, uint32_t width, uint32_t height,
                  const PixelRect& needed, TileRoom room, const ColorLookup& lookup, uint8_t* dst,
                  size_t dstStride, PixelFormat format, Error* why) {
    if (width == 0 || height == 0) return Status::Undecodable;
    if (room.grow == nullptr && (room.rows == nullptr || room.stride / 3 < width))
        return Status::Undecodable;
    if (lookup && dst == nullptr) return Status::Undecodable;
    DecodeSession s;
    InitDecodeSession(s, why);
    // A tile of another size is refused after its header, before any pixel is decoded.
    Status code = StartDecode(s, jpeg, length, JCS_EXT_BGR) ? Status::Ok : Status::Undecodable;
    if (code == Status::Ok && (s.cinfo.output_width != width || s.cinfo.output_height != height ||
                               s.cinfo.output_components != 3)) {
        Say(why, "the JPEG is %u x %u pixels of %d bytes, not %u x %u of 3", s.cinfo.output_width,
            s.cinfo.output_height, s.cinfo.output_components, width, height);
        code = Status::Undecodable;
    }
    if (code == Status::Ok && room.grow != nullptr) {
        room.stride = size_t{width} * 3;
        if (room.grow->Reserve(room.stride * height)) {
            room.rows = room.grow->data();
        } else {
            Say(why, "out of memory");
            code = Status::NoMemory;
        }
    }
    if (code == Status::Ok &&
        !DecodeRows(s, needed,
                    RowTarget{room.rows, room.stride, 3, lookup, dst, dstStride, format}))
        code = Status::Undecodable;
    jpeg_destroy_decompress(&s.cinfo);
    return code;
}

}  // namespace

bool DecodeJpegTile(const uint8_t* jpeg, size_t length, uint32_t width, uint32_t height,
                    const PixelRect& needed, uint8_t* scratch, size_t scratchStride,
                    const ColorLookup& lookup, uint8_t* dst, size_t dstStride, PixelFormat format,
                    Error* why) {
    return DecodeTile(jpeg, length, width, height, needed, TileRoom{scratch, scratchStride}, lookup,
                      dst, dstStride, format, why) == Status::Ok;
}

Status DecodeJpegTile(const uint8_t* jpeg, size_t length, uint32_t width, uint32_t height,
                      const PixelRect& needed, ByteBuffer& scratch, const ColorLookup& lookup,
                      uint8_t* dst, size_t dstStride, PixelFormat format, Error* why) {
    return DecodeTile(jpeg, length, width, height, needed, TileRoom{nullptr, 0, &scratch}, lookup,
                      dst, dstStride, format, why);
}

bool DecodeJpegBgr(const uint8_t* jpeg, size_t length, uint32_t width, uint32_t height,
                   const PixelRect& needed, uint8_t* out, size_t stride, Error* why) {
    return DecodeJpegTile(jpeg, length, width, height, needed, out, stride, ColorLookup{}, nullptr,
                          0, PixelFormat::Bgr, why);
}

int DecodeJpegCorrected(const uint8_t* jpeg, size_t length, J_COLOR_SPACE space,
                        const ColorLookup& lookup, uint32_t expectedWidth, uint32_t expectedHeight,
                        unsigned char** pixels, Error* why) {
    if (pixels == nullptr) return 0;
    DecodeSession s;
    InitDecodeSession(s, why);
    bool ok = StartDecode(s, jpeg, length, space);
    const int channels = ok ? OutputPixelBytes(s.cinfo) : 0;
    const size_t stride = static_cast<size_t>(s.cinfo.output_width) * channels;
    // Whatever the layout, bytes 0, 1, 2 of each pixel are corrected as blue, green, red, and a
    // fourth byte becomes 255.
    const bool usable = channels != 0 && stride != 0 && s.cinfo.output_height <= INT_MAX / stride &&
                        (expectedWidth == 0 || s.cinfo.output_width == expectedWidth) &&
                        (expectedHeight == 0 || s.cinfo.output_height == expectedHeight);
    if (ok && !usable)
        Say(why, "the JPEG is %u x %u pixels of %d bytes, which cannot be handed out here",
            s.cinfo.output_width, s.cinfo.output_height, s.cinfo.output_components);
    ok = ok && usable;
    const size_t size = ok ? stride * s.cinfo.output_height : 0;
    auto* out = ok ? static_cast<unsigned char*>(std::malloc(size)) : nullptr;
    if (ok && out == nullptr) Say(why, "out of memory");
    ok = out != nullptr &&
         DecodeRows(s, PixelRect{},
                    RowTarget{out, stride, channels, lookup, out, stride,
                              channels == 4 ? PixelFormat::Bgra : PixelFormat::Bgr});
    jpeg_destroy_decompress(&s.cinfo);
    if (!ok || !lookup) {
        // Without a table there are no pixels to hand out, but callers still learn the size.
        std::free(out);
        if (!ok) return 0;
        out = nullptr;
    }
    *pixels = out;
    return static_cast<int>(size);
}

int EncodeJpeg(const uint8_t* pixels, uint32_t width, uint32_t height, int quality,
               J_COLOR_SPACE space, int channels, unsigned char** jpeg, Error* why) {
    if (pixels == nullptr || jpeg == nullptr) return 0;
    EncodeSession s;
    InitEncodeSession(s, why);
    const bool ok = CompressRows(s, pixels, width, height, quality, space, channels);
    jpeg_destroy_compress(&s.cinfo);
    if (!ok) {
        std::free(s.destination.buffer);
        return 0;
    }
    *jpeg = s.destination.buffer;
    return static_cast<int>(s.destination.length);
}

int EncodeJpegBgr(const uint8_t* pixels, uint32_t width, uint32_t height, int quality,
                  unsigned char** jpeg, Error* why) {
    return EncodeJpeg(pixels, width, height, quality, JCS_EXT_BGR, 3, jpeg, why);
}

int ColorSpaceChannels(int space) {
    switch (space) {
        case JCS_RGB:
        case JCS_EXT_RGB:
        case JCS_EXT_BGR:
            return 3;
        case JCS_EXT_RGBA:
        case JCS_EXT_BGRA:
        case JCS_EXT_ABGR:
        case JCS_EXT_ARGB:
            return 4;
        default:
            return -1;
    }
}

}  // namespace tarn
