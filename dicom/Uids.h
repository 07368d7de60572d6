// DICOM UIDs of a slide's instances: "2.25." followed by the decimal value of a UUID.
//
// The UUIDs are name-based (RFC 9562 version 8, SHA-256): the first 128 bits of
// SHA-256("tarn-dicom-uid" NUL identity NUL purpose) with the version and variant bits set. One
// slide's content (its identity bytes) always gives the same UIDs, for the converter and the
// server alike; other content gives others. The purposes name what the UID is for: "study",
// "series", "instance/level/3", ...
#pragma once

#include <cstdint>
#include <string>

namespace tarn::dicom {

// The UID of `purpose` for the slide whose content `identity` names.
std::string DerivedUid(const std::string& identity, const std::string& purpose);

// 32 random bytes from the system's generator, to stand for a slide's identity when its
// instances are to get fresh UIDs. Empty when the generator fails.
std::string RandomIdentity();

// "2.25." and the decimal value of the 16 bytes (big-endian).
std::string UidOfUuid(const uint8_t uuid[16]);

}  // namespace tarn::dicom
