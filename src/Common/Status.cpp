#include "Common/Status.h"

namespace tarn {

const char* StatusText(Status status) {
    switch (status) {
        case Status::Ok:
            return "ok";
        case Status::NoMemory:
            return "out of memory";
        case Status::FileChanged:
            return "the slide's file is gone or was replaced";
        case Status::ShortRead:
            return "the bytes are not all in the file";
        case Status::EmptyFile:
            return "no file, or an empty one";
        case Status::NoInput:
            return "a record or buffer is missing";
        case Status::Absent:
            return "the file has no such record";
        case Status::BadHeadMagic:
            return "not a Tarn slide (no \"ZY\" header)";
        case Status::BadPersonMagic:
            return "the person record is damaged (no \"PI\")";
        case Status::BadExtraMagic:
            return "the extra information is damaged (no \"EI\")";
        case Status::BadMacroMagic:
            return "a label or macrograph record is damaged (no \"MI\")";
        case Status::BadPictureMagic:
            return "a picture record is damaged (no \"IF\")";
        case Status::NoLevel:
            return "no such level";
        case Status::NoTile:
            return "no such tile";
        case Status::BadRegion:
            return "the region does not fit the level";
        case Status::BadBlocks:
            return "the block grid does not fit the level";
        case Status::Undecodable:
            return "the tile does not decode";
        case Status::EncodeFailed:
            return "the JPEG encoder failed";
        case Status::HevcFailed:
            return "the HEVC tile does not decode";
        case Status::Refused:
            return "the codec refused its input";
    }
    return "unknown status";
}

}  // namespace tarn
