/*
 * libDecodeTarn: a reader of whole-slide images stored in the Tarn format.
 *
 * Open a slide with ZyOpenTarn, ask it for its description, associated images, tiles and
 * regions, and close it with ZyCloseTarn. Every buffer the library hands out is allocated with
 * malloc and belongs to the caller, who releases it with Dispose (or free).
 *
 * Pixel buffers hold 3 bytes per pixel in blue, green, red order, rows top to bottom with no gap,
 * unless a function says otherwise. Functions returning int report 0 on success and one of the
 * ZY_E... codes below on failure. Out-parameters are written only on success unless a function
 * says otherwise. A function that runs out of memory fails with the one status its comment names
 * for it.
 *
 * A handle reads the file it opened: its path is resolved at the open, so a later change of the
 * working directory changes nothing, and once that file is gone or another file stands at its
 * path, reads fail with the file-access status of the call (ZY_E_SHORT_READ from the tile
 * fetches, ZY_E_DECODE from regions, blocks and whole layers). No call ever blocks on a FIFO or a
 * device. Reads on one handle may run on several threads at once; a handle must not be closed
 * while a read on it runs. The library works in a child process after fork(), whatever it did in
 * the parent.
 *
 * This header serves C and C++ callers alike. The library's further operations, exported under
 * C++ names, are declared in DecodeTarnCxx.h.
 */
#ifndef DECODETARN_H
#define DECODETARN_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <jpeglib.h> /* J_COLOR_SPACE */

#if defined(__GNUC__)
#define ZY_API __attribute__((visibility("default")))
#else
#define ZY_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Extent and step of each colour-table index, and the label/macrograph slot count. */
enum { ColorRange = 256, ColorStep = 1, macroNum = 2 };

/* Status codes. */
enum {
    ZY_OK = 0,
    ZY_E_CODEC = -1,         /* codec or table refused its input */
    ZY_E_EMPTY_FILE = -2,    /* stream null or file empty */
    ZY_E_SHORT_READ = -3,    /* a read delivered fewer bytes than asked */
    ZY_E_ENCODE = -6,        /* JPEG encoding of a transcoded tile yielded no data */
    ZY_E_DECODE = -7,        /* a tile failed to decode or has the wrong size */
    ZY_E_PIC_MAGIC = -10,    /* thumbnail or layer record lacks "IF", or the layer walk failed */
    ZY_E_HEAD_MAGIC = -12,   /* header magic is not "ZY" */
    ZY_E_NULL = -14,         /* null output record, null or incomplete handle */
    ZY_E_PERSON_MAGIC = -15, /* person record magic is not "PI" */
    ZY_E_MACRO_MAGIC = -16,  /* label/macrograph record magic is not "MI" */
    ZY_E_ABSENT = -17,       /* the header says the record is absent */
    ZY_E_LAYER = -18,        /* layer index out of range */
    ZY_E_TILE = -19,         /* tile column or row outside the grid */
    ZY_E_REGION = -20,       /* region size or origin outside the grid */
    ZY_E_BLOCKS = -21,       /* block grid not positive or finer than the tile grid */
    ZY_E_EXTRA_MAGIC = -22,  /* extra-information magic is not "EI" */
    ZY_E_HEVC = -28          /* HEVC decoding failed during a JPEG fetch */
};

/* Compression of the layer tiles (ZyPicHead.CompressionType). */
enum { ZY_COMPRESSION_JPEG = 0, ZY_COMPRESSION_HEVC = 4 };

/* Format of the stored thumbnail (ZyPicInfo.DataFormat, ZyImageInfo.DataFormat). */
enum { ZY_FORMAT_JPEG = 0, ZY_FORMAT_BMP = 1 };

/* ---- File records: packed, little-endian, held in memory as their on-disk bytes. ---- */
#pragma pack(push, 1)

/* Header, 156 bytes at offset 0, magic "ZY". */
typedef struct ZyPicHead {
    char Magic[2];
    uint8_t Reserved0[28];
    uint32_t MacrographCount; /* 30: label/macrograph records, 0 or 2 */
    uint32_t PersonInfoFlag;  /* 34: person record and extra slot present */
    uint32_t Layer;           /* 38: number of resolution layers */
    uint32_t ImageWidth;      /* 42 */
    uint32_t ImageHeight;     /* 46 */
    uint32_t TileWidth;       /* 50: for every tile of every layer */
    uint32_t TileHeight;      /* 54 */
    uint32_t ThumbWidth;      /* 58 */
    uint32_t ThumbHeight;     /* 62 */
    uint8_t Reserved1;        /* 66 */
    uint8_t Quality;          /* 67 */
    uint8_t Reserved2[4];     /* 68 */
    float Ratio;              /* 72 */
    double MPP;               /* 76: micrometres per pixel */
    uint32_t AppMag;          /* 84 */
    uint64_t ExtraInfoFlag;   /* 88: the slot at 6964 holds a valid ZyExtraInfo */
    uint8_t Reserved3[8];     /* 96 */
    uint32_t CompressionType; /* 104: 0 JPEG, 4 HEVC */
    uint8_t Reserved4[48];    /* 108 */
} ZyPicHead;

/* Person information, 6808 bytes at offset 156, magic "PI". */
typedef struct ZyPersonInfo {
    char Magic[2];
    uint8_t Reserved[6806];
} ZyPersonInfo;

/* Extra information, 768 bytes at offset 6964, magic "EI": the colour-correction parameters. */
typedef struct ZyExtraInfo {
    char Magic[2];
    uint8_t Reserved0[32];
    float Gamma;          /* 34 */
    float Gains[3];       /* 38: per output channel red, green, blue */
    float HsvScale[3];    /* 50: hue, saturation, value */
    float ColorMatrix[9]; /* 62: 3 x 3 row-major; row c produces output channel c */
    uint8_t Reserved1[670];
} ZyExtraInfo;

/* Label or macrograph record head, 123 bytes, magic "MI"; its JPEG bytes follow it. */
typedef struct ZyMacrographInfo {
    char Magic[2];
    uint8_t Reserved0[8];
    uint32_t Width;    /* 10 */
    uint32_t Height;   /* 14 */
    uint32_t Channels; /* 18 */
    uint8_t Reserved1[12];
    uint64_t DataSize;   /* 34: bytes of JPEG that follow */
    uint8_t Reserved2;   /* 42 */
    uint64_t NextOffset; /* 43: next record of the chain */
    uint8_t Reserved3[72];
} ZyMacrographInfo;

/* Thumbnail or layer picture record, 122 bytes, magic "IF". */
typedef struct ZyPicInfo {
    char Magic[2];
    uint8_t Reserved0[8];
    uint32_t TileCount;  /* 10: layer: entries of the tile size table */
    uint32_t XCount;     /* 14: layer: tile columns */
    uint32_t YCount;     /* 18: layer: tile rows */
    uint64_t DataSize;   /* 22: thumbnail: bytes of stored image that follow */
    uint64_t NextOffset; /* 30: next picture record */
    uint8_t Reserved1[12];
    uint32_t BoundWidth;  /* 50: layer: grid columns beyond the image */
    uint32_t BoundHeight; /* 54: layer: grid rows beyond the image */
    uint8_t DataFormat;   /* 58: thumbnail: 0 JPEG, 1 BMP */
    uint8_t Reserved2[63];
} ZyPicInfo;

/* The 40-byte BMP information header. */
typedef struct BmpInfo {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
} BmpInfo;

#pragma pack(pop)

/* ---- In-memory records. ---- */

/* One image held in memory: label, macrograph, thumbnail, or a JPEG block. */
typedef struct ZyImageInfo {
    unsigned char* Data;   /* stored bytes (JPEG or BMP) */
    unsigned char* Pixels; /* decoded BGR pixels, Width * 3 bytes per row; null if not decoded */
    uint32_t Width;
    uint32_t Height;
    uint32_t Channels;
    uint32_t DataFormat; /* 0 JPEG, 1 BMP */
    uint32_t ColorSpace;
    int32_t DataSize; /* bytes of Data */
} ZyImageInfo;

/* Tile table of one layer, indexed x + XCount * y. */
typedef struct ZySliceInfo {
    uint64_t* Offsets; /* absolute file offset of each tile */
    uint32_t* Sizes;   /* stored bytes of each tile; 0 marks an empty tile */
} ZySliceInfo;

/* An open slide. Built only by ZyOpenTarn, read-only until ZyCloseTarn. */
typedef struct ZyTarnInfo {
    char* Path;
    ZyPicHead* PicHead;
    ZyPersonInfo* PersonInfo;  /* null when the file has none */
    ZyExtraInfo* ExtraInfo;    /* null when the file has none */
    ZyImageInfo** MacroImages; /* [0] label, [1] macrograph; null when the file has none */
    ZyImageInfo* ThumbImage;
    ZyPicInfo** PicInfos;     /* one per layer */
    ZySliceInfo** SliceInfos; /* one per layer */
} ZyTarnInfo;

/* The colour-correction table: plane[c][R][G][B] is output channel c (0 red, 1 green, 2 blue)
 * for input (R, G, B); every index passes through range first. */
typedef struct ColorCorrectTable {
    unsigned char*** plane[3];
    unsigned char range[256];
} ColorCorrectTable;

/* Output layouts of the HEVC decoder. */
typedef enum _ColorSpace {
    CS_RGB24 = 2,
    CS_BGR24 = 3,
    CS_ARGB = 25,
    CS_RGBA = 26,
    CS_ABGR = 27,
    CS_BGRA = 28
} _ColorSpace;

/* The table used by the functions that take no slide handle (ZyDecodeJpeg, RgbColorCorrect,
 * DecodeHevc): each successful ZyOpenTarn points it at that slide's table, ZyCloseTarn and a failed
 * ZyOpenTarn empty it. Reads through a slide handle always use that slide's own table. */
ZY_API extern ColorCorrectTable* ColorTable;

/* ---- Slide handle ---- */

/* Opens the slide at `path` (a regular file: anything else is refused without blocking). Returns
 * the handle, to be released with ZyCloseTarn, or NULL with errno set: ENOMEM when memory ran
 * out, EINVAL for no path, a file that is not a regular file or not a readable Tarn slide, and
 * otherwise the errno of the system call that failed (ENOENT, EACCES, ...). A successful open
 * points ColorTable at the slide's table; a file that was read and refused empties it; a file
 * that could not be opened leaves it alone. The handle's Path is the path as given. */
ZY_API ZyTarnInfo* ZyOpenTarn(const char* path);

/* Releases the handle and everything it owns, and empties ColorTable. NULL is ignored. Buffers
 * handed out earlier stay valid and the caller's. */
ZY_API void ZyCloseTarn(ZyTarnInfo* info);

/* ---- Tiles, regions, blocks, layers ----
 * Each checks the handle (ZY_E_NULL) before the layer index (ZY_E_LAYER, also for negative
 * indices), and both before its other arguments unless said otherwise. */

/* Tile (x, y) of `layer` as a JPEG: the stored bytes of a JPEG slide, a quality-75 JPEG of an HEVC
 * tile, or a white JPEG for a tile the file does not hold. 0 with *data (the caller's) and *size;
 * on failure both are untouched: ZY_E_NULL (also for null outputs), ZY_E_LAYER, ZY_E_TILE,
 * ZY_E_DECODE (a compression the library does not decode), ZY_E_SHORT_READ (the tile cannot be
 * read: file gone or replaced, tile past its end, or no memory), ZY_E_HEVC, ZY_E_ENCODE. */
ZY_API int ZyGetJpegSliceOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int* size,
                                        int layer, int x, int y);

/* Tile (x, y) of `layer` as stored, whatever the compression. 0 with *data (the caller's) and
 * *size, or *data NULL and *size 0 for a tile the file does not hold. Failures as above, outputs
 * untouched: ZY_E_NULL, ZY_E_LAYER, ZY_E_TILE, ZY_E_SHORT_READ. */
ZY_API int ZyGetHevcSliceOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int* size,
                                        int layer, int x, int y);

/* The width x height rectangle at (x, y) of `layer`'s grid as pixels; it may reach past the
 * grid's right and bottom edges, where it is white, as are tiles the file does not hold. 0 with
 * *data (the caller's). ZY_E_NULL, ZY_E_LAYER, ZY_E_REGION (a size below 1 or larger than the
 * grid, an origin outside it) leave *data untouched; ZY_E_DECODE (a tile that cannot be read or
 * decoded, a file gone or replaced, no memory) sets *data to NULL. */
ZY_API int ZyGetRoiRgbOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int width, int height,
                                     unsigned int x, unsigned int y, int layer);

/* The picture of `layer` (its grid less the bound) cut into blocksAcross x blocksDown blocks,
 * each encoded at `quality` into blocks[row * blocksAcross + column]: Data (the caller's, also
 * after a failure), Width, Height, Channels 3 and DataSize (the encoder's result); other members
 * are left alone. `colorSpace` is the libjpeg colour space the block's 3-byte pixels are read as.
 * 0 on success. Refused before any record is touched: ZY_E_CODEC (checked first: a colour space
 * whose pixels are not 3 bytes), ZY_E_NULL, ZY_E_LAYER, ZY_E_BLOCKS (counts below 1 or above the
 * tile counts, or a block wider or taller than a JPEG can be, 65,500: use a finer block grid).
 * ZY_E_REGION or ZY_E_DECODE of a block's region stop the cut there: earlier blocks keep their
 * JPEGs, later records are untouched. */
ZY_API int ZyGetBlockJpegFromTarn(ZyTarnInfo* info, ZyImageInfo* blocks, int quality,
                                  int blocksAcross, int blocksDown, int layer, int colorSpace);

/* The whole grid of `layer` as pixels, decoded on every processor (or as many as the thread cap
 * allows). 0 with *data (the caller's; NULL for a grid without tiles), *width and *height. A tile
 * that cannot be read or decoded is white. ZY_E_DECODE when the slide's file is gone or replaced,
 * when not one of the layer's stored tiles can be read and decoded, or when memory runs out;
 * outputs are untouched on every failure. */
ZY_API int ZySpecifyLayerJpeg2Rgb(ZyTarnInfo* info, unsigned char** data, int* width, int* height,
                                  int layer);

/* ---- Codecs ---- */

/* A JPEG of width x height pixels laid out in `space`. The stream's length, with the stream (the
 * caller's) in *jpeg; -1 for a colour space whose pixels are not 3 or 4 bytes, 0 when libjpeg
 * fails (memory included); on failure nothing is allocated and *jpeg is untouched. */
ZY_API int ZyEncodeJpeg(unsigned char* pixels, unsigned char** jpeg, int quality, unsigned width,
                        unsigned height, J_COLOR_SPACE space);

/* Decodes a JPEG into pixels of `space`, corrected through ColorTable (bytes 0, 1, 2 read as blue,
 * green, red; a fourth byte set to 255). The byte size, with the pixels (the caller's) in *pixels;
 * 0 when the stream does not decode or memory runs out, *pixels untouched. Without a ColorTable
 * the size comes back with *pixels set to NULL. */
ZY_API int ZyDecodeJpeg(const unsigned char* jpeg, unsigned long length, unsigned char** pixels,
                        J_COLOR_SPACE space);

/* Decodes one HEVC tile of width x height into the caller's `out`, in the layout `space`, corrected
 * through ColorTable. The bytes written, or -1 (bad arguments, no ColorTable, a stream that does
 * not decode to that size); `out` is then not written. */
ZY_API int DecodeHevc(const unsigned char* stream, int width, int height, int length,
                      unsigned char* out, _ColorSpace space);

/* The pixels of a BMP file image (24 or 32 bits, bottom-up) as 3-byte blue-green-red, top row
 * first, in a new buffer (the caller's); the information header is copied to *bmpInfo. NULL when
 * the image cannot be laid out or memory runs out. */
ZY_API unsigned char* GetRgb24FromBmp(unsigned char* bmpData, BmpInfo* bmpInfo);

/* ---- Colour correction ---- */

/* Points ColorTable at the table of the slide's parameters (built, or shared when it exists).
 * 0; ZY_E_CODEC for a NULL slide or when memory runs out (ColorTable is then empty). */
ZY_API int InitColorCollectTable(ZyTarnInfo* slide);

/* A corrected copy (the caller's) of width x height pixels of 3 or 4 bytes through ColorTable;
 * NULL for bad arguments, no ColorTable, or no memory. */
ZY_API unsigned char* RgbColorCorrect(unsigned char* pixels, int width, int height, int channels);

/* Releases a table. A table the library built is only released by the library once no slide
 * uses it: this then just drops ColorTable's hold on it. ColorTable is emptied when it pointed at
 * the table. NULL is ignored. */
ZY_API void DisposeColorCorrectTable(ColorCorrectTable* table);

/* ---- Convenience interface ----
 * Each result is a new buffer, the caller's, released with Dispose, or NULL on any failure
 * (memory included). Out-parameters may be NULL and are written only when a buffer is returned,
 * except where said otherwise. */

/* The slide as "Key=value|..." text (512 bytes at most), or NULL. */
ZY_API char* GetDescription(ZyTarnInfo* info);
/* One layer's grid as "LayerWidth=...|...|YCount=..." text, or NULL (also for a layer out of
 * range). */
ZY_API char* GetLayerInfo(ZyTarnInfo* info, int layer);
/* Releases any buffer the library handed out; NULL is ignored. */
ZY_API void Dispose(void* buffer);

/* The thumbnail re-encoded as a quality-75 JPEG. When its encoding fails, the outputs are set to
 * 0. */
ZY_API unsigned char* GetThumbnailJpeg(ZyTarnInfo* info, int* width, int* height, int* size);
/* The label's or macrograph's JPEG as stored; NULL for a slide without them. */
ZY_API unsigned char* GetLabelJpeg(ZyTarnInfo* info, int* width, int* height, int* size);
ZY_API unsigned char* GetMacrographJpeg(ZyTarnInfo* info, int* width, int* height, int* size);
/* The thumbnail, label or macrograph as 4-byte pixels, blue, green, red, 255; NULL for an image
 * the slide lacks or could not decode. */
ZY_API unsigned char* GetThumbnailAbgr(ZyTarnInfo* info, int* width, int* height);
ZY_API unsigned char* GetLabelAbgr(ZyTarnInfo* info, int* width, int* height);
ZY_API unsigned char* GetMacrographAbgr(ZyTarnInfo* info, int* width, int* height);

/* One tile as ZyGetJpegSliceOfSpecifyLayer gives it; width and height are the header's tile
 * size. */
ZY_API unsigned char* GetSliceJpeg(ZyTarnInfo* info, int layer, int column, int row, int* width,
                                   int* height, int* size);
/* One tile as pixels (ZyGetRgbSliceOfSpecifyLayer), TileWidth x TileHeight x 3 bytes. */
ZY_API unsigned char* GetSliceBgr(ZyTarnInfo* info, int layer, int column, int row, int* width,
                                  int* height);
/* A region (ZyGetRoiRgbOfSpecifyLayer) as a quality-75 JPEG; NULL also for a region wider or
 * taller than a JPEG can be (65,500). */
ZY_API unsigned char* GetRoiSliceJpeg(ZyTarnInfo* info, int layer, int x, int y, int width,
                                      int height, int* size);
/* A region as pixels, width x height x 3 bytes. */
ZY_API unsigned char* GetRoiSliceBgr(ZyTarnInfo* info, int layer, int x, int y, int width,
                                     int height);

#ifdef __cplusplus
}
#endif

#endif /* DECODETARN_H */
