// The environment variables that tune remote reads, read where they apply: the cache's bound and
// the connections per host once per process, the time per call at each open.
#pragma once

#include <cstdint>

namespace tarn::remote {

inline constexpr uint64_t kDefaultCacheBytes = uint64_t{64} << 20;
inline constexpr int64_t kDefaultTimeoutMs = 60'000;
inline constexpr int kDefaultConnectionsPerHost = 8;

// A variable's value, or null when unset or when the program runs set-user-ID (whose
// environment is not the user's to trust).
const char* SettingText(const char* name);

// TARN_REMOTE_CACHE_SIZE: bytes, a plain decimal number; anything else gives the default.
uint64_t CacheBytesSetting();

// TARN_REMOTE_TIMEOUT: seconds, fractions allowed, more than 0; anything else gives the default.
int64_t TimeoutMsSetting();

// TARN_REMOTE_CONNECTIONS: 1 to 64; anything else gives the default.
int ConnectionsPerHostSetting();

// The parsers behind them: false (and *value untouched) for text that is not such a number.
bool ParseByteCount(const char* text, uint64_t* value);
bool ParseSecondsAsMs(const char* text, int64_t* ms);

}  // namespace tarn::remote
