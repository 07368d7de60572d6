// The formats the library writes. Each is defined in a file of formats/ and listed once, in the
// table of Registry.cpp; the first there is the default.
#pragma once

#include <cstddef>
#include <string>

#include "Format.h"

namespace tarnexport {

extern const FormatEntry kTilesFormat;     // formats/Tiles.cpp
extern const FormatEntry kDeepZoomFormat;  // formats/DeepZoom.cpp
extern const FormatEntry kOmeZarrFormat;   // formats/OmeZarr.cpp
#if TARN_EXPORT_DICOM
extern const FormatEntry kDicomFormat;  // formats/Dicom.cpp, where DCMTK is installed
#endif
#if TARN_EXPORT_TIFF
extern const FormatEntry kTiffFormat;     // formats/Tiff.cpp, where libtiff is installed
extern const FormatEntry kOmeTiffFormat;  // formats/Tiff.cpp
#endif

size_t FormatCount();
const FormatEntry* FormatAt(size_t index);               // null beyond the count
const FormatEntry* FindFormat(const std::string& name);  // null for a name not listed

}  // namespace tarnexport
