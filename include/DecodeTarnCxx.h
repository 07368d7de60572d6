// libDecodeTarn: the operations exported under C++ names. Include DecodeTarn.h for the rest.
//
// These are the building blocks under the plain interface: file access, record readers, the
// associated-image builders, disposers, colour conversion and the bulk tile export. They follow
// the same rules as the plain interface: status codes, malloc'ed results, null accepted by every
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
ZY_API int ZyGetMacroImageInfo(FILE* stream, ZyImageInfo** pair);
ZY_API int ZyGetThumbImageInfo(FILE* stream, ZyImageInfo* thumb);

// ---- Disposers: release what they are given, accept null at every level ----
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
ZY_API int ZyGetRgbSliceOfSpecifyLayer(ZyTarnInfo* info, unsigned char** data, int layer, int x,
                                       int y);

// ---- Codecs ----
ZY_API int GetColorChannel(J_COLOR_SPACE space);
ZY_API int Yuv420pRgb(unsigned char* yuv, unsigned char* out, int width, int height,
                      _ColorSpace space);
ZY_API void Print(BmpInfo* bmpInfo);

// ---- Colour conversion and tables ----
ZY_API void Rgb2Hsv(unsigned char* rgb, float* scale, float* hsv);
ZY_API void Hsv2Rgb(float* hsv, float* scale, unsigned char* rgb);
ZY_API float ReturnMax(float a, float b, float c);
ZY_API float ReturnMin(float a, float b, float c);
ZY_API int ScalarRgb(unsigned char x, float factor);
ZY_API ColorCorrectTable* MallocColorCorrectTable();
ZY_API void InitColorRangeTable(unsigned char* range);
ZY_API void GammaTableInit(float gamma, unsigned char* table);

// ---- Convenience ----
ZY_API void Bgr2Argb(unsigned char* source, int width, int height, unsigned char* destination);
ZY_API int GetAllSliceJpeg(char* slidePath, char* outputDirectory, int tileWidth, int tileHeight);

#endif  // DECODETARN_CXX_H
