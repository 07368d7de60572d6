// The colour profile of every instance: the pixels the library hands out are sRGB.
#pragma once

#include <cstdint>
#include <vector>

namespace tarn::dicom {

// lcms2's sRGB profile, serialised; made once per process. Empty when lcms2 fails.
const std::vector<uint8_t>& SrgbProfile();

}  // namespace tarn::dicom
