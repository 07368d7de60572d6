// Reading slide files: opening without ever blocking, telling one file from another, and reading
// whole ranges. Everything here works on descriptors; the exported stdio wrappers stay as they are.
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

// A bounds-checked reader over a file, {source, size, offset}: the source is a descriptor (read
// with pread) or a stdio stream (read with fseeko and fread, which leaves the stream after the
// last byte read, as callers of the stream-based record readers expect). Invariant: offset <= size,
// and only the functions below move the offset. A read that would pass the size fails before it
// touches anything, so callers check a payload's size before they allocate for it.
struct FileReader {
    int fd = -1;
    void* stream = nullptr;  // FILE*, kept opaque so that this header needs no stdio
    uint64_t size = 0;
    uint64_t offset = 0;
};

FileReader ReaderOverDescriptor(int fd, uint64_t size);

// A reader over a stdio stream, its size taken from the file behind it (measured by seeking
// when it is not a regular file). False when the size cannot be known.
bool ReaderOverStream(void* stream, FileReader* reader);

// Bytes from the offset to the end.
inline uint64_t BytesLeft(const FileReader& reader) {
    return reader.size - reader.offset;
}

// Exactly `count` bytes at `offset`; afterwards the offset stands after them. False, with nothing
// read and the offset unchanged, when they do not all lie inside the file; false also when the
// source fails to deliver them.
bool ReadBytesAt(FileReader& reader, uint64_t offset, void* out, uint64_t count);

// The same at the current offset.
inline bool ReadBytes(FileReader& reader, void* out, uint64_t count) {
    return ReadBytesAt(reader, reader.offset, out, count);
}

// Up to `count` bytes at `offset`, as many as the file holds there: for the fixed records that
// are judged by their magic alone, so that a file ending inside one leaves the rest of the
// caller's record as it was. Returns the bytes read.
uint64_t ReadAvailableAt(FileReader& reader, uint64_t offset, void* out, uint64_t count);

}  // namespace tarn
