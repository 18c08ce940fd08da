#pragma once

#include <cstdint>
#include <cstring>

/// The bit pattern of a float, for comparisons that must tell every value apart (NaNs, signed zeros).
inline std::uint32_t bits_of(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

/// The bit pattern of a double, for the same comparisons in double precision.
inline std::uint64_t bits_of(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

/// The float with the given bit pattern.
inline float float_of(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}
