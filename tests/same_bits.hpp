#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "imaging/image.hpp"
#include "tests/float_bits.hpp"

// Bit-for-bit comparisons that name the first difference. Each returns an AssertionResult, so that
// the caller adds its own context: EXPECT_TRUE(same_bits(expected, actual)) << "context".
// Floating values compare by bit pattern, so NaNs with different payloads and the two zeros differ.

namespace same_bits_detail {

/// Index of the first value whose bits differ, or count when the blocks agree.
template <typename T>
std::size_t first_difference(const T* expected, const T* actual, std::size_t count) {
    // Only arithmetic values: padding bytes inside a structure would make equal values differ.
    static_assert(std::is_arithmetic<T>::value, "same_bits compares numbers");
    // An empty image has no buffer, and memcmp may not be handed a null pointer even for no bytes.
    if (count == 0 || std::memcmp(expected, actual, count * sizeof(T)) == 0) return count;
    std::size_t i = 0;
    while (std::memcmp(&expected[i], &actual[i], sizeof(T)) == 0) ++i;
    return i;
}

/// A value as a failure message shows it: bytes as numbers, floating values with the digits that
/// tell them apart and their bit pattern, which alone shows a NaN's payload.
template <typename T>
std::string shown(T value) {
    std::ostringstream text;
    if constexpr (std::is_floating_point<T>::value)
        text << std::setprecision(std::numeric_limits<T>::max_digits10) << value << " (bits 0x" << std::hex
             << std::setfill('0') << std::setw(2 * sizeof(T)) << bits_of(value) << ")";
    else
        text << +value;
    return text.str();
}

/// The failure naming where the first difference lies and both values there.
template <typename T>
::testing::AssertionResult difference(const std::string& where, T expected, T actual) {
    return ::testing::AssertionFailure() << "first difference at " << where << ": expected "
                                         << shown(expected) << ", actual " << shown(actual);
}

/// An image's size as width x height x planes.
template <typename T>
std::string shape(const Image<T>& image) {
    return std::to_string(image.width) + " x " + std::to_string(image.height) + " x " +
           std::to_string(image.channels);
}

/// The image's values against as many expected values in storage order, the first difference named
/// by plane, column and row.
template <typename T>
::testing::AssertionResult same_values(const T* expected, const Image<T>& actual) {
    const std::size_t i = first_difference(expected, actual.data.get(), actual.size());
    if (i == actual.size()) return ::testing::AssertionSuccess();
    const std::size_t plane_size = static_cast<std::size_t>(actual.width) * actual.height;
    const std::string where = "plane " + std::to_string(i / plane_size) + ", x " +
                              std::to_string(i % actual.width) + ", y " +
                              std::to_string(i % plane_size / actual.width);
    return difference(where, expected[i], actual.data[i]);
}

}  // namespace same_bits_detail

/// Two images of the same width, height and plane count whose values agree bit for bit.
template <typename T>
::testing::AssertionResult same_bits(const Image<T>& expected, const Image<T>& actual) {
    if (expected.width != actual.width || expected.height != actual.height ||
        expected.channels != actual.channels)
        return ::testing::AssertionFailure() << "sizes differ: expected " << same_bits_detail::shape(expected)
                                             << ", actual " << same_bits_detail::shape(actual);
    return same_bits_detail::same_values(expected.data.get(), actual);
}

/// A one-plane image holding exactly the expected values, row after row, bit for bit.
template <typename T>
::testing::AssertionResult same_bits(const std::vector<T>& expected, const Image<T>& actual) {
    if (actual.channels != 1 || actual.size() != expected.size())
        return ::testing::AssertionFailure() << "sizes differ: expected one plane of " << expected.size()
                                             << " values, actual " << same_bits_detail::shape(actual);
    return same_bits_detail::same_values(expected.data(), actual);
}

/// Two blocks of count values that agree bit for bit.
template <typename T>
::testing::AssertionResult same_bits(const T* expected, const T* actual, std::size_t count) {
    const std::size_t i = same_bits_detail::first_difference(expected, actual, count);
    if (i == count) return ::testing::AssertionSuccess();
    return same_bits_detail::difference("value " + std::to_string(i), expected[i], actual[i]);
}

/// Two byte strings of the same length with the same bytes.
inline ::testing::AssertionResult same_bits(const std::vector<unsigned char>& expected,
                                            const std::vector<unsigned char>& actual) {
    const std::size_t common = std::min(expected.size(), actual.size());
    const std::size_t i = same_bits_detail::first_difference(expected.data(), actual.data(), common);
    if (i == common && expected.size() == actual.size()) return ::testing::AssertionSuccess();
    // Bytes that differ are named even when the lengths differ too: an encoder that goes wrong
    // mostly changes both, and the first wrong byte shows where.
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    if (i < common)
        failure = same_bits_detail::difference("byte " + std::to_string(i), expected[i], actual[i]);
    else
        failure << "first difference at byte " << i << ": one of them ends there";
    if (expected.size() != actual.size())
        failure << "; lengths: expected " << expected.size() << ", actual " << actual.size();
    return failure;
}
