/*
 * libDecodeTarn's modern interface: Tarn slides read the way OpenSlide reads slides.
 *
 * A program written for openslide.h ports call for call: open a slide, ask for its levels,
 * properties and associated images, and read any rectangle of any level into a buffer of your
 * own, in the pixel layout you need. Coordinates are 64-bit; x and y of a region are level-0
 * pixels, its width and height are pixels of the level read.
 *
 *     tarn_slide *slide = tarn_open("slide.tarn");
 *     if (slide == NULL) { fprintf(stderr, "%s\n", tarn_get_error(NULL)); return 1; }
 *     uint8_t *rgba = malloc(512 * 512 * 4);
 *     if (tarn_read_region(slide, rgba, 1000, 2000, 0, 512, 512, TARN_FORMAT_RGBA) != 0)
 *         fprintf(stderr, "%s\n", tarn_get_error(slide));
 *     tarn_close(slide);
 *
 * Errors: functions that can fail return 0 on success and -1 on failure (or NULL); the reason is
 * then available from tarn_get_error. A failed call leaves the slide usable.
 *
 * Threads: every function may be called from any thread, and calls on one slide may run on
 * several threads at once. The library prints nothing: every failure's reason is in
 * tarn_get_error. tarn_close may be called while other threads are inside calls on the
 * same slide: it waits for them to return before it releases the slide. A call that starts after
 * tarn_close has returned uses a released slide, like any use after free.
 *
 * Memory: buffers the library allocates for the caller (JPEG streams, DZI descriptors) are
 * released with tarn_free. Strings and name lists returned by the getters belong to the slide and
 * live until tarn_close.
 *
 * The fixed interface (DecodeTarn.h) stays available beside this one; both read the same files
 * with the same pixels and share the tile cache and the thread cap.
 */
#ifndef TARN_H
#define TARN_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define TARN_API __attribute__((visibility("default")))
#else
#define TARN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An open slide. */
typedef struct tarn_slide tarn_slide;

/* Pixel layouts of the buffers the library writes. Rows top to bottom with no gap between them;
 * 3 or 4 bytes per pixel in the order the name gives. Where a layout has alpha, pixels of the
 * picture are opaque (255) and pixels outside it are transparent (all four bytes 0). Layouts
 * without alpha show the outside as white. */
typedef enum tarn_format {
    TARN_FORMAT_RGBA = 0,
    TARN_FORMAT_BGRA = 1,
    TARN_FORMAT_RGB = 2,
    TARN_FORMAT_BGR = 3
} tarn_format;

/* How stored tiles and associated images are compressed. */
typedef enum tarn_codec {
    TARN_CODEC_UNKNOWN = 0, /* a compression the library does not decode (or a NULL slide) */
    TARN_CODEC_JPEG = 1,
    TARN_CODEC_HEVC = 2,
    TARN_CODEC_BMP = 3 /* associated images only: a thumbnail may be stored as a BMP */
} tarn_codec;

/* Bytes per pixel of a layout: 4 or 3, or 0 for a number that names none. */
TARN_API int tarn_format_bytes(tarn_format format);

/* The library's version, "MAJOR.MINOR.PATCH". */
TARN_API const char* tarn_version(void);

/* The same string, under the name openslide_get_version has here. */
TARN_API const char* tarn_get_version(void);

/* "tarn" when `filename` is a Tarn slide (a regular file, or a URL as tarn_open takes them,
 * that starts with a Tarn header), else NULL. Cheap: it reads the header only (one request for a
 * URL), so tarn_open may still refuse a damaged slide that this accepts. */
TARN_API const char* tarn_detect_vendor(const char* filename);

/* ---- Opening and closing ---- */

/* Opens a slide; NULL when the file cannot be opened or is not a readable Tarn slide, with the
 * reason in tarn_get_error(NULL) on the same thread. A slide with a level whose bound area covers
 * its whole grid is refused: that level would have no picture. Opening never changes the fixed
 * interface's global ColorTable. The path is resolved at open: a later change
 * of the working directory does not change which file the slide reads, and reads of a file that
 * was since removed or replaced fail.
 *
 * `filename` may be a URL:
 *   http://HOST[:PORT]/PATH, https://...  read with range requests; presigned URLs are plain
 *                                         https. Redirects are followed, to https only unless
 *                                         the URL was http.
 *   s3://BUCKET/KEY                       signed with AWS Signature Version 4: credentials from
 *                                         AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and
 *                                         AWS_SESSION_TOKEN, or the shared credentials file
 *                                         (AWS_SHARED_CREDENTIALS_FILE, AWS_PROFILE); region from
 *                                         AWS_REGION or AWS_DEFAULT_REGION; AWS_ENDPOINT_URL
 *                                         names another S3-compatible server (path-style).
 * The open makes one request for the object's first mebibyte (header, records, associated
 * images, first tables) and one per layer record it finds beyond what it has read (the last
 * mebibyte comes with the first of them); the layer records and tile tables are then kept for
 * the URL and the object's ETag in memory and in the cache folder (TARN_CACHE_DIR, as the colour
 * tables), so that opening the same object again takes one request. A slide is the version of
 * the object it opened: once the object changes on the server (ETag, Last-Modified or size),
 * reads fail as reads of a replaced file do, and no call ever mixes the bytes of two versions.
 * Reads go through a block cache of fetched bytes shared by the process's slides
 * (TARN_REMOTE_CACHE_SIZE bytes, 64 MiB by default, 0 off); the tiles of a region are fetched
 * together, neighbours in one request, on up to TARN_REMOTE_CONNECTIONS (8) reused connections
 * per host. Failed requests (resets, timeouts, 5xx, truncated bodies) are tried again with
 * growing pauses, and every call on the slide (the open included) gives up after
 * TARN_REMOTE_TIMEOUT seconds (60 by default) in all. https servers are checked against the
 * system's authorities, or those of the PEM file CURL_CA_BUNDLE names. Messages name the URL
 * without its user part and query, and never show a credential or signature. */
TARN_API tarn_slide* tarn_open(const char* filename);

/* ---- Slides from the caller's own bytes ----
 * A slide need not be a file: a reader delivers its bytes (from memory, an archive, object
 * storage...). The library reads through it what it would read from the file: the header and the
 * tables at the open (a few reads: records lying near each other come in one), the associated
 * images when first asked for, and each tile when a region needs it. */

/* A stretch of the slide's bytes. */
typedef struct tarn_range {
    uint64_t offset;
    uint64_t length;
} tarn_range;

typedef struct tarn_reader {
    /* Passed to every callback. */
    void* context;
    /* Bytes of the slide. */
    uint64_t size;
    /* Required. Copies exactly `length` bytes from `offset` of the slide into `buffer` (offset +
     * length never exceeds `size`); returns 0, or -1 when they cannot all be delivered (the call
     * reading them fails; the slide stays usable). Called from many threads at once, for the same
     * or different ranges: it must be safe to call concurrently. */
    int (*read)(void* context, uint64_t offset, void* buffer, size_t length);
    /* Optional (NULL: none). The `count` ranges a region read is about to read, in the order it
     * will read them, for a reader whose requests are costly to fetch ahead and together. A hint:
     * the reads follow whatever it does. May be called from many threads at once. */
    void (*prefetch)(void* context, const tarn_range* ranges, size_t count);
    /* Optional (NULL: none). Called exactly once: by tarn_close, or by tarn_open_with_reader when
     * the open fails, after every other callback has returned; no callback runs after it. */
    void (*close)(void* context);
    /* Optional (NULL or size 0: none). Bytes that name exactly these slide bytes: a content hash,
     * a URL with its ETag. Copied at the open. The slide's tiles are kept in the tile cache only
     * when the reader gives an identity, and slides whose readers give equal identities share
     * cached tiles: give one only when equal identities always mean equal bytes. */
    const void* identity;
    size_t identity_size;
} tarn_reader;

/* Opens a slide whose bytes `reader` delivers, as tarn_open opens a file. The record is copied;
 * `reader->context` must stay valid until close is called. NULL on failure, with the reason in
 * tarn_get_error(NULL); close has been called then (when given). */
TARN_API tarn_slide* tarn_open_with_reader(const tarn_reader* reader);

/* Releases the slide. NULL is ignored. Waits for calls on the slide running on other threads. */
TARN_API void tarn_close(tarn_slide* slide);

/* The message of the last call on `slide` from the calling thread that failed, or NULL when that
 * call succeeded (or none failed). With NULL: why the last tarn_open on this thread returned NULL,
 * or NULL when it succeeded. The text stays valid until the next call on the slide from this
 * thread (or the next tarn_open, for NULL). */
TARN_API const char* tarn_get_error(tarn_slide* slide);

/* ---- Levels ---- */

/* Number of levels (the slide's layers), or -1 on a NULL slide. */
TARN_API int32_t tarn_get_level_count(tarn_slide* slide);

/* Width and height of level 0's picture. -1 for both on failure. */
TARN_API void tarn_get_level0_dimensions(tarn_slide* slide, int64_t* w, int64_t* h);

/* Width and height of a level's picture: its tile grid less the bound area. -1 for both when the
 * level does not exist. */
TARN_API void tarn_get_level_dimensions(tarn_slide* slide, int32_t level, int64_t* w, int64_t* h);

/* How many level-0 pixels one pixel of the level spans: the slide's layer ratio to the power of
 * the level when that agrees with the level sizes within a pixel (exactly 2, 4, 8... for the
 * usual ratio 2), else the mean of the measured width and height ratios, as OpenSlide measures.
 * -1 when the level does not exist. */
TARN_API double tarn_get_level_downsample(tarn_slide* slide, int32_t level);

/* The level with the largest downsample not above `downsample` (0 when every level's is above
 * it), or -1 on a NULL slide. */
TARN_API int32_t tarn_get_best_level_for_downsample(tarn_slide* slide, double downsample);

/* ---- Properties ---- */

/* The standard property names, the ones OpenSlide's programs look for. */
#define TARN_PROPERTY_NAME_COMMENT "openslide.comment"
#define TARN_PROPERTY_NAME_VENDOR "openslide.vendor"
#define TARN_PROPERTY_NAME_QUICKHASH1 "openslide.quickhash-1"
#define TARN_PROPERTY_NAME_BACKGROUND_COLOR "openslide.background-color"
#define TARN_PROPERTY_NAME_OBJECTIVE_POWER "openslide.objective-power"
#define TARN_PROPERTY_NAME_MPP_X "openslide.mpp-x"
#define TARN_PROPERTY_NAME_MPP_Y "openslide.mpp-y"
#define TARN_PROPERTY_NAME_BOUNDS_X "openslide.bounds-x"
#define TARN_PROPERTY_NAME_BOUNDS_Y "openslide.bounds-y"
#define TARN_PROPERTY_NAME_BOUNDS_WIDTH "openslide.bounds-width"
#define TARN_PROPERTY_NAME_BOUNDS_HEIGHT "openslide.bounds-height"
#define TARN_PROPERTY_NAME_ICC_SIZE "openslide.icc-size"
/* OpenSlide's name for a slide's barcode. Tarn files store none, so slides never have it. */
#define TARN_PROPERTY_NAME_BARCODE "openslide.barcode"
/* Slides opened from a URL: the version of the object opened (see tarn_open). */
#define TARN_PROPERTY_NAME_OBJECT_VERSION "tarn.object-version"

/* NULL-terminated list of property names in byte order, owned by the slide:
 *   tarn.KEY               every field of the slide's description (GetDescription), with its
 *                          text: tarn.CompressionType "Jpeg", tarn.MPP "0.250000um/pixel", ...
 *   tarn.layer[N].KEY      every field of layer N's description (GetLayerInfo: LayerWidth,
 *                          LayerHeight, BoundWidth, BoundHeight, XCount, YCount) and TileCount,
 *                          the entries of its tile table
 *   openslide.vendor       "tarn"
 *   openslide.mpp-x, openslide.mpp-y   the header's micrometres per pixel (absent unless > 0)
 *   openslide.objective-power          the header's magnification (absent when 0)
 *   openslide.bounds-x, -y, -width, -height
 *                          the box of level 0, in its pixels, made of the tiles that are stored
 *                          (not empty), clipped to the picture; absent when no tile is stored
 *   openslide.level-count, openslide.level[N].width, .height, .downsample, .tile-width,
 *   .tile-height
 *   tarn.object-version    slides opened from a URL only: the object's ETag, or its
 *                          Last-Modified date and size when the server gives no ETag; a slide
 *                          opened later with the same value reads the same bytes
 *   openslide.quickhash-1  64 hexadecimal digits that stay the same for the same file: SHA-256
 *                          of its header, colour and layer records, tile size tables and the
 *                          stored bytes of the smallest level's tiles (at most 16 MiB of them).
 *                          Worked out the first time its value is asked for; that read fails
 *                          when the file was removed or replaced since the open.
 * Without a comment, background colour or colour profile, openslide.comment,
 * openslide.background-color and openslide.icc-size are absent, as OpenSlide leaves them out.
 * Numbers that are not whole print as OpenSlide prints them ("%.17g": they read back exactly). */
TARN_API const char* const* tarn_get_property_names(tarn_slide* slide);

/* The value of a property as text, owned by the slide; NULL for a name the slide has not. */
TARN_API const char* tarn_get_property_value(tarn_slide* slide, const char* name);

/* ---- Associated images: "label", "macro", "thumbnail" ---- */

/* NULL-terminated list of the associated images the slide has and can decode. */
TARN_API const char* const* tarn_get_associated_image_names(tarn_slide* slide);

/* Width and height of an associated image; -1 for both when the slide has no such image. */
TARN_API void tarn_get_associated_image_dimensions(tarn_slide* slide, const char* name, int64_t* w,
                                                   int64_t* h);

/* Writes the associated image into `dest` (width x height pixels of `format`). 0, or -1 with
 * `dest` untouched. */
TARN_API int tarn_read_associated_image(tarn_slide* slide, const char* name, void* dest,
                                        tarn_format format);

/* The associated image as a baseline JPEG of `quality` (1-100) of its pixels: a new buffer in
 * *jpeg (release with tarn_free) and its length in *size. 0, or -1 with both untouched. */
TARN_API int tarn_read_associated_image_jpeg(tarn_slide* slide, const char* name, int quality,
                                             uint8_t** jpeg, size_t* size);

/* The associated image's bytes as the file stores them, before colour correction: a JPEG, or a
 * BMP for some thumbnails, as *codec says (when not NULL). A new buffer in *data (release with
 * tarn_free) and its length in *size. 0, or -1 with the outputs untouched. */
TARN_API int tarn_read_associated_image_stored(tarn_slide* slide, const char* name, uint8_t** data,
                                               size_t* size, tarn_codec* codec);

/* ---- Colour profiles ----
 * The pixels the library hands out, after the slide's colour correction, are meant for display as
 * they are: read them as sRGB. Tarn files carry no ICC profile, so every slide and associated
 * image answers as OpenSlide does for a slide without one: a profile size of 0, nothing to read,
 * and no openslide.icc-size property. */

/* Bytes of the slide's ICC profile: 0 (none), or -1 for a NULL slide. */
TARN_API int64_t tarn_get_icc_profile_size(tarn_slide* slide);

/* Writes the slide's ICC profile (tarn_get_icc_profile_size bytes: none) into `dest`. 0, or -1
 * for a NULL slide. */
TARN_API int tarn_read_icc_profile(tarn_slide* slide, void* dest);

/* Bytes of an associated image's ICC profile: 0 (none), or -1 when the slide has no such image. */
TARN_API int64_t tarn_get_associated_image_icc_profile_size(tarn_slide* slide, const char* name);

/* Writes an associated image's ICC profile (none) into `dest`. 0, or -1 when the slide has no
 * such image. */
TARN_API int tarn_read_associated_image_icc_profile(tarn_slide* slide, const char* name,
                                                    void* dest);

/* ---- Regions ---- */

/* Writes the w x h pixels of `level` whose top-left corner lies at level-0 pixel (x, y) into
 * `dest` (w * h * tarn_format_bytes(format) bytes). Level-0 coordinates map to the level by
 * dividing by its downsample and rounding down. Inside the picture the pixels are those the
 * fixed interface gives for the same area; outside it (negative positions, past the right or
 * bottom edge, the grid's bound area included) they are transparent, or white in layouts
 * without alpha. 0 on success; -1 on failure, when the content of `dest` is unspecified. A w or
 * h of 0 succeeds and writes nothing; negative sizes fail. */
TARN_API int tarn_read_region(tarn_slide* slide, void* dest, int64_t x, int64_t y, int32_t level,
                              int64_t w, int64_t h, tarn_format format);

/* The same region with (x, y) in pixels of `level` itself, rather than of level 0: what a
 * program that walks one level (an exporter, a tile server, a patch sampler) reads, without
 * turning its coordinates into level 0's and back. */
TARN_API int tarn_read_level_region(tarn_slide* slide, void* dest, int32_t level, int64_t x,
                                    int64_t y, int64_t w, int64_t h, tarn_format format);

/* ---- Patches by the batch: many regions of one size and level ----
 * Reading patches together costs less than reading them one by one: each stored tile the
 * patches touch is decoded once for the batch, however many patches share it, and copied into
 * each. The decoded tiles held at once stay within 64 MiB: a batch needing more decodes again the
 * tiles it dropped, so a huge batch never holds the level in memory. Work runs on up to `threads`
 * workers (within the thread cap, tarn_set_threads; 0 or less: as many as the cap allows), which
 * exist only while a call or a batch reader does: a process may fork whenever neither runs, and a
 * child makes its own readers. */

/* Writes `count` patches of w x h pixels of `level` into `dest`, one after another (patch i at
 * byte i * w * h * tarn_format_bytes(format)), the top-left corner of patch i at level-0 pixel
 * (xy[2 i], xy[2 i + 1]), as tarn_read_region reads each. status[i] (when `status` is not NULL)
 * is 0 for a patch read and -1 for one that failed (its pixels unspecified): a failed patch never
 * stops the others. 0 when every patch was read; -1 when one failed (tarn_get_error names the
 * first) or the arguments are wrong (no such level, a negative count or size, a NULL buffer:
 * every status is then -1). With threads 1 the caller's thread does all the work. */
TARN_API int tarn_read_regions(tarn_slide* slide, int64_t count, const int64_t* xy, int32_t level,
                               int64_t w, int64_t h, tarn_format format, void* dest, int* status,
                               int threads);

/* A stream of the same patches in batches of `batch_size` (the last may be smaller), in the order
 * of `xy` (copied), decoded ahead: up to `prefetch` batches are read by the reader's workers while
 * the caller works on the current one (0: each batch is read by tarn_batch_reader_next on the
 * caller's thread and its helpers). A decoded tile the next batches need is kept for them within
 * the bound above. NULL (reason in tarn_get_error(slide)) for wrong arguments, as
 * tarn_read_regions, a batch size below 1 or a negative prefetch. The reader holds the slide:
 * destroy readers before closing their slide. A reader belongs to the process that created it: in
 * a forked child, tarn_batch_reader_next fails and tarn_batch_reader_destroy leaves it alone. */
typedef struct tarn_batch_reader tarn_batch_reader;
TARN_API tarn_batch_reader* tarn_batch_reader_create(tarn_slide* slide, int64_t count,
                                                     const int64_t* xy, int32_t level, int64_t w,
                                                     int64_t h, tarn_format format,
                                                     int64_t batch_size, int32_t prefetch,
                                                     int threads);

/* The next batch into `dest` (room for batch_size patches, laid out as tarn_read_regions lays
 * them out), and in *filled how many patches it holds: 0 once every batch has been read. 0 when
 * every patch of the batch was read; -1 when one failed (the others are there; tarn_get_error of
 * the slide names the first failure on the calling thread) or for a NULL reader, `filled` or
 * `dest`. Calls on one reader take turns: one thread at a time. */
TARN_API int tarn_batch_reader_next(tarn_batch_reader* reader, void* dest, int64_t* filled);

/* Stops the reader's workers, waiting for a batch they are decoding, and releases it. NULL is
 * ignored. */
TARN_API void tarn_batch_reader_destroy(tarn_batch_reader* reader);

/* ---- Stored tiles: the grid the file keeps each level in ----
 * A level is stored as a grid of `cols` x `rows` tiles of tile_w x tile_h pixels (the same size
 * for every level); the grid may reach past the level's picture at the right and bottom, and a
 * tile the file does not store is white. */

/* How the slide's tiles are compressed. */
TARN_API tarn_codec tarn_get_tile_codec(tarn_slide* slide);

/* The tile size and the grid of `level`. 0, or -1 with every output set to -1 when the level does
 * not exist. */
TARN_API int tarn_get_level_tile_grid(tarn_slide* slide, int32_t level, int64_t* tile_w,
                                      int64_t* tile_h, int64_t* cols, int64_t* rows);

/* Tile (col, row) of `level` as the file holds it (a JPEG or HEVC stream, as
 * tarn_get_tile_codec says, before colour correction): a new buffer in *data (release with
 * tarn_free) and its length in *size; a tile the file does not store gives 0 with *data NULL and
 * *size 0. -1 with both untouched when the tile does not exist or cannot be read. */
TARN_API int tarn_read_stored_tile(tarn_slide* slide, int32_t level, int64_t col, int64_t row,
                                   uint8_t** data, size_t* size);

/* Tile (col, row) of `level` decoded and colour-corrected, the whole stored tile
 * (tile_w x tile_h pixels of `format`, the part past the picture as stored): opaque white for a
 * tile the file does not store. 0, or -1 when the tile does not exist or does not decode; the
 * content of `dest` is then unspecified. */
TARN_API int tarn_read_tile(tarn_slide* slide, int32_t level, int64_t col, int64_t row, void* dest,
                            tarn_format format);

/* ---- Coarse levels: the pyramid below the coarsest level the slide stores ----
 * Coarse level k (1 to tarn_get_coarse_level_count) is the slide's coarsest level halved k times
 * (each side rounded up), down to the first that fits in 256 x 256 pixels; a slide whose coarsest
 * level fits already has none. Pixel (i, j) of coarse level k is the mean of the 2^k x 2^k pixels
 * of the coarsest level it covers (those inside its picture). Where the coarsest level is large
 * (more than 2048 x 2048 pixels) they come from the coarse levels the library builds once per
 * slide in the background and keeps as JPEG tiles (see the Deep Zoom calls below): reading them
 * waits for that build, and their pixels are those kept tiles', within JPEG's tolerance of the
 * exact means. Whatever the slide, a read holds a few MiB beyond `dest`. */
TARN_API int32_t tarn_get_coarse_level_count(tarn_slide* slide);

/* Width and height of coarse level `level` (1 to the count); -1 for both when it does not
 * exist. */
TARN_API void tarn_get_coarse_level_dimensions(tarn_slide* slide, int32_t level, int64_t* w,
                                               int64_t* h);

/* The w x h pixels of coarse level `level` at (x, y), in its own pixels, as tarn_read_level_region
 * reads a stored level: transparent (or white) outside its picture. 0, or -1. */
TARN_API int tarn_read_coarse_region(tarn_slide* slide, void* dest, int32_t level, int64_t x,
                                     int64_t y, int64_t w, int64_t h, tarn_format format);

/* 1 when coarse levels can be read without waiting (always for a slide that builds none);
 * otherwise starts the build if it has not run and waits up to `timeout_ms` milliseconds for it
 * (0: does not wait; negative: as long as it takes): 1 once it is over, 0 while it runs. -1 on a
 * NULL slide. tarn_get_coarse_build_progress: from 0 to 1 (1 when over or none is needed), -1 on
 * a NULL slide. */
TARN_API int tarn_wait_coarse_levels(tarn_slide* slide, int32_t timeout_ms);
TARN_API double tarn_get_coarse_build_progress(tarn_slide* slide);

/* ---- Export tiles: a level cut into tiles of the caller's size, as `tarn export` writes them ----
 */

/* Tile (col, row) of `level` cut into tiles of tile_w x tile_h pixels: the rectangle of the
 * level's tile grid whose top-left pixel is (col * tile_w, row * tile_h), in pixels of the level,
 * as a baseline JPEG of quality 75 encoded the way the fixed interface's GetRoiSliceJpeg encodes
 * regions (a tile inside the grid gives exactly its bytes). The tiles of the last column and row
 * reach past the picture into the grid's bound area, which shows what is stored there, and
 * beyond the grid they are white. A level whose picture is W x H pixels has ceil(W / tile_w) x
 * ceil(H / tile_h) such tiles. tile_w and tile_h are 1 to 65500; the tile's origin must lie
 * inside the grid. A new buffer in *jpeg (release with tarn_free) and its length in *size; 0, or
 * -1 with both untouched. */
TARN_API int tarn_read_export_tile_jpeg(tarn_slide* slide, int32_t level, int64_t col, int64_t row,
                                        int64_t tile_w, int64_t tile_h, uint8_t** jpeg,
                                        size_t* size);

/* The file name `tarn export` gives tile (col, row) of tiles of tile_w x tile_h pixels:
 * "<col>_<row>_<tile_w>_<tile_h>.jpeg", written into `name` (`size` bytes, NUL-terminated and cut
 * to fit when size > 0). Returns the length of the whole name, as snprintf does (a result of size
 * or more means it was cut), or -1 for a negative number. */
TARN_API int tarn_export_tile_name(int64_t col, int64_t row, int64_t tile_w, int64_t tile_h,
                                   char* name, size_t size);

/* ---- Deep Zoom: the pyramid OpenSlide's DeepZoomGenerator makes, rendered in C ---- */

typedef struct tarn_deepzoom tarn_deepzoom;

/* Where a Deep Zoom tile comes from. */
typedef struct tarn_deepzoom_tile {
    int64_t x, y;                    /* level-0 position of the area read */
    int32_t level;                   /* the slide level read */
    int64_t width, height;           /* size of the area read, in pixels of that level */
    int64_t tile_width, tile_height; /* size of the Deep Zoom tile */
} tarn_deepzoom_tile;

/* A Deep Zoom view of the slide with tiles of `tile_size` pixels plus `overlap` on each inner
 * side; with `limit_bounds` nonzero only the openslide.bounds-* box is shown. NULL (reason in
 * tarn_get_error(slide)) for a tile size below 1 or a negative overlap. The view holds the slide:
 * destroy views before closing their slide. */
TARN_API tarn_deepzoom* tarn_deepzoom_create(tarn_slide* slide, int32_t tile_size, int32_t overlap,
                                             int limit_bounds);
TARN_API void tarn_deepzoom_destroy(tarn_deepzoom* dz);

TARN_API int32_t tarn_deepzoom_get_level_count(tarn_deepzoom* dz);
/* Columns and rows of tiles of a Deep Zoom level; -1 for both when it does not exist. */
TARN_API void tarn_deepzoom_get_level_tiles(tarn_deepzoom* dz, int32_t level, int64_t* cols,
                                            int64_t* rows);
/* Width and height in pixels of a Deep Zoom level; -1 for both when it does not exist. */
TARN_API void tarn_deepzoom_get_level_dimensions(tarn_deepzoom* dz, int32_t level, int64_t* w,
                                                 int64_t* h);
/* Tiles of all levels together. */
TARN_API int64_t tarn_deepzoom_get_tile_count(tarn_deepzoom* dz);

/* Fills `tile` for tile (col, row) of a Deep Zoom level. 0, or -1 for a tile that does not
 * exist. */
TARN_API int tarn_deepzoom_get_tile_info(tarn_deepzoom* dz, int32_t level, int64_t col, int64_t row,
                                         tarn_deepzoom_tile* tile);

/* The tile's pixels (tile_width x tile_height of `format`) into `dest`: the area read at its
 * source level, scaled to the tile size with a box filter (each pixel the mean of the area it
 * covers: the exact mean of 2 x 2 pixels at the usual step of 2), white where there is no picture
 * (opaque in layouts with alpha). 0 or -1. */
TARN_API int tarn_deepzoom_read_tile(tarn_deepzoom* dz, int32_t level, int64_t col, int64_t row,
                                     void* dest, tarn_format format);

/* The tile as a baseline JPEG of `quality` (1-100): a new buffer in *jpeg (release with
 * tarn_free) and its length in *size. 0, or -1 with both untouched. */
TARN_API int tarn_deepzoom_read_tile_jpeg(tarn_deepzoom* dz, int32_t level, int64_t col,
                                          int64_t row, int quality, uint8_t** jpeg, size_t* size);

/* Coarse levels. A slide whose coarsest level is large (more than 2048 x 2048 pixels: a slide of
 * one layer, for instance) has the levels below it, each half the size of the one above, built
 * once per slide, shared by its views: in the background, streaming (a few tiles of memory),
 * starting when a tile first needs them, and kept in memory as JPEG tiles within a budget (the
 * default tile cache's capacity, at least 16 MiB; white tiles take none; when they do not all
 * fit, the finest are left out). Tiles of Deep Zoom levels at least twice as coarse as that level
 * are made from them, so that no tile reads more than a few tiles' worth of pixels. Reading such
 * a tile waits for the build. Whatever the slide, rendering a tile takes at most some 20 MiB
 * beyond the tile itself and the caches.
 *
 * tarn_deepzoom_wait_level: 1 when tiles of Deep Zoom level `level` can be read without waiting
 * (always, for levels that need no coarse levels); otherwise starts the build if it has not run,
 * and waits up to `timeout_ms` milliseconds for it (0: does not wait; negative: as long as it
 * takes): 1 once it is over, 0 while it still runs. -1 for a level that does not exist. */
TARN_API int tarn_deepzoom_wait_level(tarn_deepzoom* dz, int32_t level, int32_t timeout_ms);

/* How far the build of the view's coarse levels has gone, from 0 to 1 (1 when it is over or the
 * slide needs none); -1 for a NULL view. */
TARN_API double tarn_deepzoom_get_build_progress(tarn_deepzoom* dz);

/* The DZI descriptor (XML) naming `format` ("jpeg" or "png") as the tile format: a new
 * NUL-terminated string to release with tarn_free, or NULL. */
TARN_API char* tarn_deepzoom_get_dzi(tarn_deepzoom* dz, const char* format);

/* ---- Tile cache ----
 * Corrected tiles are kept in a byte-bounded cache so that repeated reads need no decoding.
 * Every slide of both interfaces reads through the process's default cache (64 MiB, or the
 * TARN_CACHE_SIZE environment variable in bytes; 0 turns it off) unless given a cache of its
 * own. A tile is kept when a read asks again for a part of it that a recent read asked for: a
 * read that does not repeat an earlier one decodes only what it needs and costs what it costs
 * without a cache. A hit never serves a tile of another file than the one the slide opened (or,
 * for a reader's slide, of other bytes than its identity names). */

typedef struct tarn_cache tarn_cache;

typedef struct tarn_cache_stats {
    uint64_t hits;     /* tile reads answered from the cache */
    uint64_t misses;   /* tile reads that decoded */
    uint64_t bytes;    /* bytes held now */
    uint64_t capacity; /* the bound on bytes held */
    uint64_t entries;  /* tiles held now */
} tarn_cache_stats;

/* A new cache holding at most `capacity` bytes (0: holds nothing). NULL when memory runs out. */
TARN_API tarn_cache* tarn_cache_create(size_t capacity);
/* Drops the caller's reference; the cache goes when no slide uses it any more. */
TARN_API void tarn_cache_release(tarn_cache* cache);
/* Makes `slide` read through `cache` (NULL: the default cache again). */
TARN_API void tarn_set_cache(tarn_slide* slide, tarn_cache* cache);
/* Changes the bound of `cache` (NULL: the default cache), dropping tiles beyond it. */
TARN_API void tarn_cache_set_capacity(tarn_cache* cache, size_t capacity);
/* Counters of `cache` (NULL: the default cache). 0, or -1 for a NULL `stats`. */
TARN_API int tarn_cache_get_stats(tarn_cache* cache, tarn_cache_stats* stats);

/* ---- Threads ----
 * Colour-table builds and whole-layer decodes (of both interfaces) and batches of patches spread
 * over the processors.
 * tarn_set_threads(n) caps them at n threads for the whole process (1: the calling thread only);
 * n <= 0 removes the cap. Unset, the TARN_NUM_THREADS environment variable gives the cap, and
 * without it every processor is used. Fetches of a slide read from a URL wait rather than work:
 * they run on up to TARN_REMOTE_CONNECTIONS threads per host whatever the cap. */
TARN_API void tarn_set_threads(int n);
/* The number of threads such work uses now. */
TARN_API int tarn_get_threads(void);

/* ---- Memory ---- */

/* Releases a buffer the library allocated for the caller. NULL is ignored. */
TARN_API void tarn_free(void* buffer);

#ifdef __cplusplus
}
#endif

#endif /* TARN_H */
