// The records of the Tarn file as the library holds them (the core, the codecs and the colour
// module share them): packed, little-endian, their exact on-disk bytes. The fixed interface hands
// out views of these (FixedApi/RecordViews.h proves the layouts are its records' at compile time).
#pragma once

#include <cstdint>

namespace tarn {

// Label and macrograph: the slots of the pair.
inline constexpr uint32_t kMacroSlots = 2;

// SlideHead::CompressionType.
inline constexpr uint32_t kCompressionJpeg = 0;
inline constexpr uint32_t kCompressionHevc = 4;

// PictureRecord::DataFormat of the thumbnail, and the stored format of an associated image.
inline constexpr uint32_t kStoredJpeg = 0;
inline constexpr uint32_t kStoredBmp = 1;

#pragma pack(push, 1)

// Header, 156 bytes at offset 0, magic "ZY".
struct SlideHead {
    char Magic[2];
    uint8_t Reserved0[28];
    uint32_t MacrographCount;  // label/macrograph records, 0 or 2
    uint32_t PersonInfoFlag;   // person record and extra slot present
    uint32_t Layer;            // resolution layers
    uint32_t ImageWidth;
    uint32_t ImageHeight;
    uint32_t TileWidth;  // for every tile of every layer
    uint32_t TileHeight;
    uint32_t ThumbWidth;
    uint32_t ThumbHeight;
    uint8_t Reserved1;
    uint8_t Quality;
    uint8_t Reserved2[4];
    float Ratio;
    double MPP;  // micrometres per pixel
    uint32_t AppMag;
    uint64_t ExtraInfoFlag;  // the slot at 6964 holds a valid extra record
    uint8_t Reserved3[8];
    uint32_t CompressionType;
    uint8_t Reserved4[48];
};

// Person information, 6808 bytes at offset 156, magic "PI".
struct PersonRecord {
    char Magic[2];
    uint8_t Reserved[6806];
};

// Extra information, 768 bytes at offset 6964, magic "EI": the colour-correction parameters.
struct ExtraRecord {
    char Magic[2];
    uint8_t Reserved0[32];
    float Gamma;
    float Gains[3];        // per output channel red, green, blue
    float HsvScale[3];     // hue, saturation, value
    float ColorMatrix[9];  // 3 x 3 row-major; row c produces output channel c
    uint8_t Reserved1[670];
};

// Label or macrograph record head, 123 bytes, magic "MI"; its JPEG bytes follow it.
struct MacroRecord {
    char Magic[2];
    uint8_t Reserved0[8];
    uint32_t Width;
    uint32_t Height;
    uint32_t Channels;
    uint8_t Reserved1[12];
    uint64_t DataSize;  // bytes of JPEG that follow
    uint8_t Reserved2;
    uint64_t NextOffset;  // next record of the chain
    uint8_t Reserved3[72];
};

// Thumbnail or layer picture record, 122 bytes, magic "IF".
struct PictureRecord {
    char Magic[2];
    uint8_t Reserved0[8];
    uint32_t TileCount;   // layer: entries of the tile size table
    uint32_t XCount;      // layer: tile columns
    uint32_t YCount;      // layer: tile rows
    uint64_t DataSize;    // thumbnail: bytes of stored image that follow
    uint64_t NextOffset;  // next picture record
    uint8_t Reserved1[12];
    uint32_t BoundWidth;   // layer: grid columns beyond the image
    uint32_t BoundHeight;  // layer: grid rows beyond the image
    uint8_t DataFormat;    // thumbnail: kStoredJpeg or kStoredBmp
    uint8_t Reserved2[63];
};

// The 40-byte BMP information header.
struct BmpHeader {
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
};

#pragma pack(pop)

}  // namespace tarn
