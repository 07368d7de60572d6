#include "FixedApi/StatusCodes.h"

#include "DecodeTarn.h"

namespace tarn {

int FixedCode(Status status, FixedCall call) {
    switch (status) {
        case Status::Ok:
            return ZY_OK;
        case Status::NoMemory:
            return call == FixedCall::Records || call == FixedCall::TileFetch ? ZY_E_SHORT_READ
                                                                              : ZY_E_DECODE;
        case Status::FileChanged:
        case Status::ShortRead:
            return call == FixedCall::Region ? ZY_E_DECODE : ZY_E_SHORT_READ;
        case Status::Undecodable:
            return ZY_E_DECODE;
        case Status::EmptyFile:
            return ZY_E_EMPTY_FILE;
        case Status::NoInput:
            return ZY_E_NULL;
        case Status::Absent:
            return ZY_E_ABSENT;
        case Status::BadHeadMagic:
            return ZY_E_HEAD_MAGIC;
        case Status::BadPersonMagic:
            return ZY_E_PERSON_MAGIC;
        case Status::BadExtraMagic:
            return ZY_E_EXTRA_MAGIC;
        case Status::BadMacroMagic:
            return ZY_E_MACRO_MAGIC;
        case Status::BadPictureMagic:
            return ZY_E_PIC_MAGIC;
        case Status::NoLevel:
            return ZY_E_LAYER;
        case Status::NoTile:
            return ZY_E_TILE;
        case Status::BadRegion:
            return ZY_E_REGION;
        case Status::BadBlocks:
            return ZY_E_BLOCKS;
        case Status::EncodeFailed:
            return ZY_E_ENCODE;
        case Status::HevcFailed:
            return ZY_E_HEVC;
        case Status::Refused:
            return ZY_E_CODEC;
    }
    return ZY_E_DECODE;
}

}  // namespace tarn
