#include "Remote/RemoteSettings.h"

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tarn::remote {

const char* SettingText(const char* name) {
    const char* text = secure_getenv(name);
    return text != nullptr && *text != '\0' ? text : nullptr;
}

bool ParseByteCount(const char* text, uint64_t* value) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *value = parsed;
    return true;
}

bool ParseSecondsAsMs(const char* text, int64_t* ms) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const double seconds = strtod(text, &end);
    // A day at most: a bound that no network call needs more of, and far from overflow.
    if (errno != 0 || *end != '\0' || !(seconds > 0) || seconds > 86'400) return false;
    *ms = std::max<int64_t>(1, std::llround(seconds * 1000));
    return true;
}

uint64_t CacheBytesSetting() {
    uint64_t bytes = kDefaultCacheBytes;
    ParseByteCount(SettingText("TARN_REMOTE_CACHE_SIZE"), &bytes);
    return bytes;
}

int64_t TimeoutMsSetting() {
    int64_t ms = kDefaultTimeoutMs;
    ParseSecondsAsMs(SettingText("TARN_REMOTE_TIMEOUT"), &ms);
    return ms;
}

int ConnectionsPerHostSetting() {
    uint64_t count = 0;
    if (ParseByteCount(SettingText("TARN_REMOTE_CONNECTIONS"), &count) && count >= 1 && count <= 64)
        return static_cast<int>(count);
    return kDefaultConnectionsPerHost;
}

}  // namespace tarn::remote
