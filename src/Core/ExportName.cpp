#include "Core/ExportName.h"

#include <cstdio>

namespace tarn {

int ExportTileName(char* out, size_t size, int64_t column, int64_t row, int64_t width,
                   int64_t height) {
    if (column < 0 || row < 0 || width < 0 || height < 0) return -1;
    return snprintf(out, size, "%lld_%lld_%lld_%lld.jpeg", static_cast<long long>(column),
                    static_cast<long long>(row), static_cast<long long>(width),
                    static_cast<long long>(height));
}

}  // namespace tarn
