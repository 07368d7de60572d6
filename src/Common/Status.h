// Failures the library's internal paths tell apart and each exported function folds into the
// one status its contract names. They never leave the library as they are.
#pragma once

namespace tarn {

// Memory ran out.
inline constexpr int kNoMemory = -1001;

// The slide file is gone, was replaced by another file, or is not a regular file: nothing of the
// file the handle opened can be read any more.
inline constexpr int kFileChanged = -1002;

// `code` with the internal failures replaced by the caller's statuses for them.
inline int FoldStatus(int code, int fileChangedStatus, int noMemoryStatus) {
    if (code == kFileChanged) return fileChangedStatus;
    if (code == kNoMemory) return noMemoryStatus;
    return code;
}

}  // namespace tarn
