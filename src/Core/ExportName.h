// The name of an exported tile's file: one definition for the batch export, `tarn export` and
// tarnslide's export, which must agree to resume each other's work.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarn {

// "<column>_<row>_<width>_<height>.jpeg" into `out` (`size` bytes, NUL-terminated when size > 0,
// cut to fit): the length of the whole name, as snprintf counts, or -1 for a negative number.
int ExportTileName(char* out, size_t size, int64_t column, int64_t row, int64_t width,
                   int64_t height);

}  // namespace tarn
