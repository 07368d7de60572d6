// Reading slide files: opening without ever blocking, telling one file from another, and reading
// whole ranges. Everything here works on descriptors.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarn {

// What makes a file the one that was opened: the same inode of the same device, unchanged in size
// and modification time since. A file deleted and written again at once often gets the same inode
// number and, where timestamps are coarse, the same time: the inode's generation (where the file
// system keeps one, else 0) tells them apart.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modifiedSeconds = 0;
    int64_t modifiedNanoseconds = 0;
    uint32_t generation = 0;
};

bool SameFile(const FileIdentity& a, const FileIdentity& b);

// Opens `path` for reading without ever blocking: O_NONBLOCK keeps the open of a FIFO without a
// writer (or of a device) from waiting, and anything that is not a regular file is refused right
// after it. Returns the descriptor (close-on-exec) with `*identity` filled, or -1 with errno set:
// the failed call's errno, or EINVAL for a directory, FIFO, device or socket.
int OpenRegularFile(const char* path, FileIdentity* identity);

// Reads exactly `size` bytes at `offset`; false on a short read or an error.
bool ReadFully(int fd, uint64_t offset, void* out, size_t size);

}  // namespace tarn
