#include "dicom/Uids.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

namespace tarn::dicom {

std::string UidOfUuid(const uint8_t uuid[16]) {
    unsigned __int128 value = 0;
    for (int i = 0; i < 16; ++i)
        value = (value << 8) | uuid[i];
    std::string digits;
    do {
        digits.push_back(static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    std::reverse(digits.begin(), digits.end());
    return "2.25." + digits;
}

std::string DerivedUid(const std::string& identity, const std::string& purpose) {
    // The separators keep ("ab", "c") and ("a", "bc") apart.
    static const char kNamespace[] = "tarn-dicom-uid";
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const char nul = 0;
    bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1 &&
              EVP_DigestUpdate(context, kNamespace, sizeof kNamespace - 1) == 1 &&
              EVP_DigestUpdate(context, &nul, 1) == 1 &&
              EVP_DigestUpdate(context, identity.data(), identity.size()) == 1 &&
              EVP_DigestUpdate(context, &nul, 1) == 1 &&
              EVP_DigestUpdate(context, purpose.data(), purpose.size()) == 1 &&
              EVP_DigestFinal_ex(context, digest, &digestSize) == 1 && digestSize >= 16;
    EVP_MD_CTX_free(context);
    if (!ok) return {};
    uint8_t uuid[16];
    std::memcpy(uuid, digest, 16);
    uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0F) | 0x80);  // version 8
    uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3F) | 0x80);  // RFC variant
    return UidOfUuid(uuid);
}

std::string RandomIdentity() {
    std::string bytes(32, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()),
                   static_cast<int>(bytes.size())) != 1) {
        return {};
    }
    return bytes;
}

}  // namespace tarn::dicom
