// Why a slide did not open, for both interfaces: the fixed one reports it through errno, tarn.h
// as a message.
#pragma once

#include "Common/Error.h"

namespace tarn {

enum class OpenError {
    None,
    NoPath,          // no path (or no reader) given
    SystemError,     // the file could not be found, opened or read: `systemError` holds errno
    NotRegularFile,  // a directory, FIFO, device or socket
    Damaged,         // not a Tarn slide, or one whose records cannot be read
    NoMemory,        // memory ran out
    SourceFailed,    // a caller's reader failed: `why` says how
};

struct OpenFailure {
    OpenError error = OpenError::None;
    int systemError = 0;
    Error why;  // details, when there are any
};

// The errno a failed open stands for: ENOMEM when memory ran out, EINVAL for a file that is not a
// regular file or not a readable Tarn slide (and for no path at all), EIO for a reader that
// failed, otherwise the errno of the failed system call.
int ErrnoOf(const OpenFailure& failure);

}  // namespace tarn
