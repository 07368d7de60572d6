#include "Registry.h"

#include <iterator>

namespace tarnexport {
namespace {

// One line per format, the default first.
// clang-format off
const FormatEntry* const kFormats[] = {
    &kTilesFormat,
    &kDeepZoomFormat,
    &kOmeZarrFormat,
#if TARN_EXPORT_DICOM
    &kDicomFormat,
#endif
#if TARN_EXPORT_TIFF
    &kTiffFormat,
    &kOmeTiffFormat,
#endif
};
// clang-format on

}  // namespace

size_t FormatCount() {
    return std::size(kFormats);
}

const FormatEntry* FormatAt(size_t index) {
    return index < std::size(kFormats) ? kFormats[index] : nullptr;
}

const FormatEntry* FindFormat(const std::string& name) {
    for (const FormatEntry* format : kFormats)
        if (name == format->name) return format;
    return nullptr;
}

}  // namespace tarnexport
