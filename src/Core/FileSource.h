// Slide files as byte sources.
#pragma once

#include "Common/Status.h"
#include "Core/ByteSource.h"
#include "Core/OpenFailure.h"

namespace tarn {

// The regular file at `path` as a source. The path is resolved now (symbolic links and the
// working directory), and every read opens the file anew and checks that it still is the file
// opened now (device, inode, generation, size, modification time), failing with Status::FileChanged
// otherwise: a handle keeps reading the file it opened or nothing. Holding no descriptor between
// reads, a process may keep thousands of slides open. Opening never blocks (FIFOs and devices are
// refused). False with `*failure` set.
bool OpenFileSource(const char* path, ByteSource* source, OpenFailure* failure);

// A source over whatever regular file stands at `path` at each read, with no identity and no size
// of its own (reads are checked against the file's size then): for handles a caller built. The
// path is borrowed; the source needs no release.
ByteSource PathSource(const char* path);

}  // namespace tarn
