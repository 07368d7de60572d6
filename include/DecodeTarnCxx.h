// libDecodeTarn: the operations exported under C++ names. Include DecodeTarn.h for the rest.
//
// These are the building blocks under the plain interface: file access, record readers, the
// associated-image builders, disposers, colour conversion and the bulk tile export. They follow
// the same rules as the plain interface: status codes, malloc'ed results that belong to the
// caller, out-parameters written only on success unless said otherwise, null accepted by every
// disposer.
#ifndef DECODETARN_CXX_H
#define DECODETARN_CXX_H

#ifndef __cplusplus
#error "DecodeTarnCxx.h declares C++ functions; C callers use DecodeTarn.h"
#endif

#include "DecodeTarn.h"

// Records that callers build and the library only releases.
#pragma pack(push, 1)
struct ZyTileImageRecord {
    unsigned char* First;
    unsigned char* Second;
};
struct ZyTileImageInfo {
    unsigned char* Data;
    ZyTileImageRecord* Record;
};
struct ClassifyDescriptor {
    uint8_t Reserved[142];
    int32_t EntryCount;  // 142
};
struct ClassifyItemInfo {
    uint8_t Reserved[10];
    uint32_t ItemCount;  // 10
};
struct ClassifyEntry {
    ClassifyItemInfo* Info;
    unsigned char** Items;  // Info->ItemCount owned buffers
};
struct ClassifyRoot {
    ClassifyDescriptor* Descriptor;
    ClassifyEntry** Entries;  // Descriptor->EntryCount entries
};
#pragma pack(pop)

// ---- File access: thin wrappers over stdio with 64-bit positions ----
// Each returns what the wrapped call returns (NULL, -1 or a short count on failure); a null
// stream or pointer is refused the same way. ZyGetFileSize leaves the stream at position 0.
ZY_API FILE* ZyOpenFile(char* path, char* mode);
ZY_API void ZyCloseFile(FILE* stream);
ZY_API int ZyFseeki64(FILE* stream, int64_t offset, int origin);
ZY_API int64_t ZyFtelli64(FILE* stream);
ZY_API void ZyRewind(FILE* stream);
ZY_API int64_t ZyGetFileSize(FILE* stream);
ZY_API int64_t ZyGetFileSizeSystemCall(char* path);
ZY_API void* ZyMemset(void* buffer, int value, int64_t count);
ZY_API void ZyFreeMemory(void* pointer);

// ZyReadData and Access are inline, defined with the library's sources; both are exported.

// ---- Record readers: each re-reads the header and leaves the stream after its last read ----
// Codes: 0; ZY_E_EMPTY_FILE (null stream or empty file), ZY_E_HEAD_MAGIC, ZY_E_NULL (null output
// record) from the header; ZY_E_ABSENT when the header says the record is not there; the record's
// own magic code; ZY_E_SHORT_READ when a record or payload is not all in the file, or memory for a
// payload runs out. Record buffers are the caller's; payloads are allocated by the reader and
// become the caller's (release with free). After a failure the stream stands wherever the failing
// step left it.
// ZyGetPicHead: a file shorter than the header fills only the bytes it has; the magic decides.
// ZyGetMacrographInfoAndJpeg: fills one record and one payload slot (of macroNum) per record the
// chain holds, allocating each record; after a failure the slots filled so far stay filled, for
// the caller to release (DisposeMacrographInfo for heap slot arrays).
// ZyGetCurThumbnailOffset, ZyGetLayerOffset: the record's file offset (the stream is left there)
// or a negative code; they fill the caller's header. ZyGetLayerOffset: ZY_E_LAYER for an index
// out of range, ZY_E_PIC_MAGIC for any failure on the way along the chain.
// ZyGetThumbnailInfoAndJpeg: *width and *height get the header's thumbnail size before the record
// is read, so also when it then fails; *data only on success.
// ZyGetPicInfoOfSpecifyLayer: leaves the stream at the layer's tile size table.
ZY_API int ZyGetPicHead(FILE* stream, ZyPicHead* head);
ZY_API int ZyGetPersonInfo(FILE* stream, ZyPersonInfo* person);
ZY_API int ZyGetExtraInfo(FILE* stream, ZyExtraInfo* extra);
ZY_API int ZyGetMacrographInfoAndJpeg(FILE* stream, ZyMacrographInfo** records,
                                      unsigned char** jpegs);
ZY_API int64_t ZyGetCurThumbnailOffset(FILE* stream, ZyPicHead* head);
ZY_API int64_t ZyGetLayerOffset(FILE* stream, ZyPicHead* head, int layer);
ZY_API int ZyGetThumbnailInfoAndJpeg(FILE* stream, ZyPicInfo* thumb, int* width, int* height,
                                     unsigned char** data);
ZY_API int ZyGetPicInfoOfSpecifyLayer(FILE* stream, ZyPicInfo* picInfo, int layer);

// ---- Associated images ----
// Fill the caller's cleared pair (two slots) or zeroed thumbnail record with the stored bytes and
// the pixels decoded through ColorTable (empty Pixels when they do not decode to the recorded
// size, or without a ColorTable). Codes of the readers above; ZY_E_SHORT_READ also when memory
// runs out. On failure the pair or record is untouched and nothing stays allocated. Release with
// DisposeMacroImageInfo and DisposeThumbImageInfo.
ZY_API int ZyGetMacroImageInfo(FILE* stream, ZyImageInfo** pair);
ZY_API int ZyGetThumbImageInfo(FILE* stream, ZyImageInfo* thumb);

// ---- Disposers: release what they are given, accept null at every level ----
// The caller empties its own reference afterwards.
ZY_API void DisposeMacroImageInfo(ZyImageInfo** pair);
ZY_API void DisposeThumbImageInfo(ZyImageInfo* image);
ZY_API void DisposeThumbnailInfo(ZyPicInfo* thumb, unsigned char* data);
ZY_API void DisposeMacrographInfo(ZyMacrographInfo** records, unsigned char** jpegs);
ZY_API void DisposePicHead(ZyPicHead* head);
ZY_API void DisposePersonInfo(ZyPersonInfo* person);
ZY_API void DisposeExtraInfo(ZyExtraInfo* extra);
ZY_API void DisposeSliceLayerInfo(ZyPicInfo** picInfos, ZySliceInfo** sliceInfos, int count);
ZY_API void DisposeTileImageInfo(ZyTileImageInfo* info);
ZY_API void DisposeClassifyRoot(ClassifyRoot* root);

// ---- Tiles ----
// Tile (x, y) of `layer` as TileWidth x TileHeight blue-green-red pixels: 0 with *data (the
// caller's). A tile the file does not hold is white, passed through the colour correction on a
// JPEG slide (as the white JPEG of the tile fetch decodes). ZY_E_NULL, ZY_E_LAYER, ZY_E_TILE and
// ZY_E_SHORT_READ (the tile cannot be read: file gone or replaced, tile past its end) leave *data
// untouched. ZY_E_DECODE (a tile that does not decode to the tile size, a compression the library
// does not decode, no colour table, no memory) writes *data: white pixels of an HEVC slide's tile
// that failed to decode, else NULL; the caller releases what is not NULL.
ZY_API int ZyGetRgbSliceOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int layer, int x,
                                       int y);

// ---- Codecs ----
// Bytes per pixel of a libjpeg colour space the codec accepts (3 or 4), else -1.
ZY_API int GetColorChannel(J_COLOR_SPACE space);
// YUV 4:2:0 planes (luma, U, V, gapless) to `space` through ColorTable into the caller's `out`:
// the bytes written, or -1 (bad arguments, no ColorTable).
ZY_API int Yuv420pRgb(unsigned char* yuv, unsigned char* out, int width, int height,
                      _ColorSpace space);
// Prints a one-line summary of a BMP information header on stdout.
ZY_API void Print(BmpInfo* bmpInfo);

// ---- Colour conversion and tables ----
// The conversions of the correction (single precision). MallocColorCorrectTable: a table in the
// documented layout of separate blocks, ranges set, entries not (the caller's; release with
// DisposeColorCorrectTable), or NULL when memory runs out.
ZY_API void Rgb2Hsv(unsigned char* rgb, float* scale, float* hsv);
ZY_API void Hsv2Rgb(float* hsv, float* scale, unsigned char* rgb);
ZY_API float ReturnMax(float a, float b, float c);
ZY_API float ReturnMin(float a, float b, float c);
ZY_API int ScalarRgb(unsigned char x, float factor);
ZY_API ColorCorrectTable* MallocColorCorrectTable();
ZY_API void InitColorRangeTable(unsigned char* range);
ZY_API void GammaTableInit(float gamma, unsigned char* table);

// ---- Convenience ----
// width x height 3-byte pixels into the caller's 4-byte destination: the three bytes, then 255.
ZY_API void Bgr2Argb(unsigned char* source, int width, int height, unsigned char* destination);
// Cuts layer 0's picture of the slide at `slidePath` into tiles of tileWidth x tileHeight and
// writes each as "dir/column_row_width_height.jpeg" (quality 75). 1 when every file is whole on
// disk (also for sizes below 1: nothing to write); 0 when the slide does not open, its bound is
// larger than its grid, a region or a file fails (a file half written is removed; earlier files
// stay), a name would pass 255 characters, or memory runs out.
ZY_API int GetAllSliceJpeg(char* slidePath, char* outputDirectory, int tileWidth, int tileHeight);

#endif  // DECODETARN_CXX_H
