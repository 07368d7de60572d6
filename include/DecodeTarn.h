/*
 * libDecodeTarn: a reader of whole-slide images stored in the Tarn format.
 *
 * Open a slide with ZyOpenTarn, ask it for its description, associated images, tiles and
 * regions, and close it with ZyCloseTarn. Every buffer handed out by the Get... functions is
 * allocated with malloc and released by the caller with Dispose.
 *
 * Pixel buffers hold 3 bytes per pixel in blue, green, red order, rows top to bottom with no gap,
 * unless a function says otherwise. Functions returning int report 0 on success and one of the
 * ZY_E... codes below on failure.
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
ZY_API ZyTarnInfo* ZyOpenTarn(const char* path);
ZY_API void ZyCloseTarn(ZyTarnInfo* info);

/* ---- Tiles, regions, blocks, layers ---- */
ZY_API int ZyGetJpegSliceOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int* size,
                                        int layer, int x, int y);
ZY_API int ZyGetHevcSliceOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int* size,
                                        int layer, int x, int y);
ZY_API int ZyGetRoiRgbOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int width, int height,
                                     unsigned int x, unsigned int y, int layer);
ZY_API int ZyGetBlockJpegFromTarn(ZyTarnInfo* info, ZyImageInfo* blocks, int quality,
                                  int blocksAcross, int blocksDown, int layer, int colorSpace);
ZY_API int ZySpecifyLayerJpeg2Rgb(ZyTarnInfo* info, unsigned char** data, int* width, int* height,
                                  int layer);

/* ---- Codecs ---- */
ZY_API int ZyEncodeJpeg(unsigned char* pixels, unsigned char** jpeg, int quality, unsigned width,
                        unsigned height, J_COLOR_SPACE space);
ZY_API int ZyDecodeJpeg(const unsigned char* jpeg, unsigned long length, unsigned char** pixels,
                        J_COLOR_SPACE space);
ZY_API int DecodeHevc(const unsigned char* stream, int width, int height, int length,
                      unsigned char* out, _ColorSpace space);
ZY_API unsigned char* GetRgb24FromBmp(unsigned char* bmpData, BmpInfo* bmpInfo);

/* ---- Colour correction ---- */
ZY_API int InitColorCollectTable(ZyTarnInfo* slide);
ZY_API unsigned char* RgbColorCorrect(unsigned char* pixels, int width, int height, int channels);
ZY_API void DisposeColorCorrectTable(ColorCorrectTable* table);

/* ---- Convenience interface: each result is a new buffer (release with Dispose) or null ---- */
ZY_API char* GetDescription(ZyTarnInfo* info);
ZY_API char* GetLayerInfo(ZyTarnInfo* info, int layer);
ZY_API void Dispose(void* buffer);

ZY_API unsigned char* GetThumbnailJpeg(ZyTarnInfo* info, int* width, int* height, int* size);
ZY_API unsigned char* GetThumbnailAbgr(ZyTarnInfo* info, int* width, int* height);
ZY_API unsigned char* GetLabelJpeg(ZyTarnInfo* info, int* width, int* height, int* size);
ZY_API unsigned char* GetLabelAbgr(ZyTarnInfo* info, int* width, int* height);
ZY_API unsigned char* GetMacrographJpeg(ZyTarnInfo* info, int* width, int* height, int* size);
ZY_API unsigned char* GetMacrographAbgr(ZyTarnInfo* info, int* width, int* height);

ZY_API unsigned char* GetSliceJpeg(ZyTarnInfo* info, int layer, int column, int row, int* width,
                                   int* height, int* size);
ZY_API unsigned char* GetSliceBgr(ZyTarnInfo* info, int layer, int column, int row, int* width,
                                  int* height);
ZY_API unsigned char* GetRoiSliceJpeg(ZyTarnInfo* info, int layer, int x, int y, int width,
                                      int height, int* size);
ZY_API unsigned char* GetRoiSliceBgr(ZyTarnInfo* info, int layer, int x, int y, int width,
                                     int height);

#ifdef __cplusplus
}
#endif

#endif /* DECODETARN_H */
