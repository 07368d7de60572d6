// The number a caller passed for an enumeration. C callers may pass any int; reading an
// out-of-range value as the C++ enumeration is undefined, so its bytes are copied instead.
#pragma once

#include <cstring>
#include <type_traits>

namespace tarn {

template <class Enum>
int EnumValue(const Enum& value) {
    static_assert(std::is_enum_v<Enum> && sizeof(Enum) == sizeof(int));
    int number = 0;
    std::memcpy(&number, &value, sizeof number);
    return number;
}

}  // namespace tarn
