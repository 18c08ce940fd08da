#include "imaging/rounded_math.hpp"
#include "tests/float_bits.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

/// Every 4099th float bit pattern (about a million, both signs, NaN and infinities among them)
/// plus the values at the edges of the tables' ranges.
std::vector<float> float_sweep() {
    std::vector<float> values;
    for (std::uint64_t b = 0; b < (std::uint64_t{1} << 32); b += 4099)
        values.push_back(float_of(static_cast<std::uint32_t>(b)));
    const float edges[] = {0.0f,
                           -0.0f,
                           1.0f,
                           -1.0f,
                           std::numeric_limits<float>::denorm_min(),
                           std::numeric_limits<float>::min(),
                           std::numeric_limits<float>::max(),
                           std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::quiet_NaN(),
                           -110.0f,
                           100.0f,
                           -103.97208f,
                           -87.33655f,
                           88.72283f,
                           88.72284f,
                           1e-30f,
                           2.0f,
                           0.5f};
    values.insert(values.end(), std::begin(edges), std::end(edges));
    return values;
}

/// Equal bits, or NaN on both sides (the library's NaN sign is not ours to pin).
void expect_same(float expected, float actual, double input) {
    if (std::isnan(expected) && std::isnan(actual)) return;
    EXPECT_EQ(bits_of(expected), bits_of(actual)) << "input " << std::hexfloat << input;
}

TEST(FixedPower, RoundsToFloatExactlyAsTheLibraryPower) {
    const std::vector<float> values = float_sweep();
    for (const double exponent : {0.333333, static_cast<double>(0.45f), 0.45}) {
        const FixedPower power(exponent);
        for (const float v : values) {
            const double d = v;
            expect_same(static_cast<float>(std::pow(d, exponent)), power.to_float(d), d);
        }
        // Doubles that no float reaches: between floats, and outside the float range.
        for (const double d : {0x1.0000000000001p0, 0x1.fffffffffffffp-1, 1e-300, 1e300, 0x1p-1022, 0x1p-1074,
                               std::numeric_limits<double>::max(), 0.1, 0.7, 1.0 / 3}) {
            expect_same(static_cast<float>(std::pow(d, exponent)), power.to_float(d), d);
        }
    }
}

TEST(FixedPower, ScaledRoundingMatchesInBothDirections) {
    // The product with a factor of either sign, rounded once: rounding that grows or shrinks with
    // the power, and factors that saturate (infinity) or vanish (zero).
    const FixedPower power(0.45);
    const double factors[] = {0.73, -2.5, 1e-40, -1e30,
                              0.0,  -0.0, 1e300, std::numeric_limits<double>::infinity()};
    std::uint64_t state = 12345;
    for (int i = 0; i < 200000; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        const double t = static_cast<double>(state >> 11) * 0x1p-50;  // in [0, 8)
        for (const double factor : factors) {
            const auto scaled = [factor](double p) { return static_cast<float>(p * factor); };
            expect_same(scaled(std::pow(t, 0.45)), power.rounded(t, scaled), t);
        }
    }
}

TEST(FloatExponential, RoundsToFloatExactlyAsTheLibraryExponential) {
    const FloatExponential exponential;
    for (const float t : float_sweep()) {
        const double d = t;
        expect_same(static_cast<float>(std::exp(d)), exponential.to_float(t), d);
    }
    // Densely over the range where results are neither overflowed nor zero.
    for (float t = -104.0f; t < 89.0f; t += 0.000977f)
        expect_same(static_cast<float>(std::exp(static_cast<double>(t))), exponential.to_float(t), t);
}

}  // namespace
