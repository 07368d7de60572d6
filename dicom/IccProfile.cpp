#include "dicom/IccProfile.h"

#include <lcms2.h>

#include <algorithm>

namespace tarn::dicom {
namespace {

std::vector<uint8_t> MakeSrgbProfile() {
    std::vector<uint8_t> bytes;
    cmsHPROFILE profile = cmsCreate_sRGBProfile();
    if (profile == nullptr) return bytes;
    cmsUInt32Number size = 0;
    if (cmsSaveProfileToMem(profile, nullptr, &size) && size > 0) {
        bytes.resize(size);
        if (!cmsSaveProfileToMem(profile, bytes.data(), &size)) bytes.clear();
        bytes.resize(size);
    }
    cmsCloseProfile(profile);
    // lcms2 stamps the profile with the time it was made; a fixed date (2024-01-01 00:00:00)
    // keeps the bytes of every instance the same from one run to the next.
    static const uint8_t kDate[12] = {0x07, 0xE8, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0};
    if (bytes.size() >= 36) std::copy(kDate, kDate + 12, bytes.begin() + 24);
    // OB values are of even length; a profile's declared size is its own, so pad after it.
    if (bytes.size() % 2 != 0) bytes.push_back(0);
    return bytes;
}

}  // namespace

const std::vector<uint8_t>& SrgbProfile() {
    static const std::vector<uint8_t> profile = MakeSrgbProfile();
    return profile;
}

}  // namespace tarn::dicom
