// Reused connections, a bounded number per host. A libcurl easy handle keeps its connection open
// between the requests it makes, so handing out idle handles reuses connections.
#pragma once

#include <cstdint>
#include <string>

namespace tarn::remote {

// An idle handle of `poolKey`'s host, or a new one while fewer than the host's bound are in use;
// otherwise waits for one until `deadlineMs` (steady clock) and gives null then, or when no
// handle can be made.
void* TakeConnection(const std::string& poolKey, int64_t deadlineMs);

// Gives a handle back: kept for reuse when `reusable`, else closed.
void ReturnConnection(const std::string& poolKey, void* handle, bool reusable);

// Milliseconds of the steady clock, the clock of every deadline here.
int64_t NowMs();

}  // namespace tarn::remote
