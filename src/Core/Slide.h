// Opening and closing slides for both interfaces. The fixed interface's ZyOpenTarn and
// ZyCloseTarn add what only it has: the global `ColorTable` follows the last slide opened.
#pragma once

#include "DecodeTarn.h"

namespace tarn {

// Why a slide did not open.
enum class OpenError {
    None,
    NoPath,          // null path
    SystemError,     // the file could not be found, opened or read: `systemError` holds errno
    NotRegularFile,  // a directory, FIFO, device or socket
    Damaged,         // not a Tarn slide, or one whose records cannot be read
    NoMemory,        // memory ran out
};

struct OpenFailure {
    OpenError error = OpenError::None;
    int systemError = 0;
};

// The errno a failed open stands for: ENOMEM when memory ran out, EINVAL for a file that is not a
// regular file or not a readable Tarn slide (and for no path at all), otherwise the errno of the
// failed system call.
int ErrnoOf(const OpenFailure& failure);

// Opens a slide without touching `ColorTable`. Null on failure, with the reason in `*failure`
// (when not null). The path is resolved now: the handle keeps reading the file it opened, wherever
// the caller's working directory goes.
ZyTarnInfo* OpenSlide(const char* path, OpenFailure* failure);

// The slide's own colour table (a reference owned by the slide), for ZyOpenTarn to publish.
struct ColorLut;
const ColorLut* SlideColorLut(const ZyTarnInfo* info);

// Releases a slide opened by OpenSlide without touching `ColorTable`. Null is ignored.
void CloseSlide(ZyTarnInfo* info);

}  // namespace tarn
