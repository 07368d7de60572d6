// How an operation of the library's core ended. The core speaks only these; each interface says
// what they mean to its callers (the fixed interface through its one mapping to its codes,
// FixedApi/StatusCodes.h; tarn.h through the failure's text).
#pragma once

namespace tarn {

enum class Status {
    Ok,
    NoMemory,         // memory ran out
    FileChanged,      // the file the slide opened is gone, was replaced, or is not a file now
    ShortRead,        // bytes asked for are not all there: a short file, a read that failed
    EmptyFile,        // no stream, or an empty file
    NoInput,          // a record, handle or buffer that is needed is missing
    Absent,           // the header says the record is not in the file
    BadHeadMagic,     // the header's magic is not "ZY"
    BadPersonMagic,   // the person record's magic is not "PI"
    BadExtraMagic,    // the extra-information record's magic is not "EI"
    BadMacroMagic,    // a label/macrograph record's magic is not "MI"
    BadPictureMagic,  // a thumbnail or layer record lacks "IF", or the layer chain breaks
    NoLevel,          // no such level
    NoTile,           // no such tile in the level's grid
    BadRegion,        // a region of no size, outside the grid, or larger than it
    BadBlocks,        // a block grid of no blocks, finer than the tiles, or beyond JPEG's size
    Undecodable,      // a tile that does not decode (to its size), or that nothing decodes
    EncodeFailed,     // the JPEG encoder gave no stream
    HevcFailed,       // an HEVC tile did not decode while it was turned into a JPEG
    Refused,          // a codec or table refused its input
};

// What `status` means, in a few words ("ok", "out of memory", ...).
const char* StatusText(Status status);

}  // namespace tarn
