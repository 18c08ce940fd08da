#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

// Powers and exponentials whose results are rounded at once (to float, say): with the very bits
// that rounding the C library's result gives, at a fraction of the library's cost.
//
// Each function is first approximated from tables to within a few parts in 10^15. When every value
// within 2^-40 of that approximation rounds to the same result, so do the exact value and the
// library's, which lies within an ulp (2^-52) of it: that result is returned. Otherwise (about one
// value in 40000, where the function lies next to a rounding boundary) and outside the inputs the
// tables cover, the library is asked. Checked besides over all 2^32 floats as inputs: the same
// bits as the library for exp and for the powers 0.45f and 0.333333. What the tables save is in
// bench/README.md.

namespace rounded_math_detail {

/// Far above the approximations' errors (below 2^-48) and the library's (below 2^-52).
constexpr double tolerance = 1.0 / (std::uint64_t{1} << 40);

/// round(estimate) when every value within `tolerance` of it rounds alike, else round(exact()).
/// `round` must be monotone (never decreasing, or never increasing) and return a float.
template <typename Round, typename Exact>
float settle(double estimate, const Round& round, const Exact& exact) {
    const float low = round(estimate * (1.0 - tolerance));
    const float high = round(estimate * (1.0 + tolerance));
    std::uint32_t low_bits;
    std::uint32_t high_bits;
    std::memcpy(&low_bits, &low, sizeof low_bits);
    std::memcpy(&high_bits, &high, sizeof high_bits);
    return low_bits == high_bits ? low : round(exact());
}

/// 2^m as a double, for m within the normal exponents.
inline double power_of_two(int m) {
    const std::uint64_t bits = static_cast<std::uint64_t>(m + 1023) << 52;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

/// To float, the rounding of most callers.
inline float to_float(double v) { return static_cast<float>(v); }

}  // namespace rounded_math_detail

/// pow(v, exponent) for one fixed exponent strictly between 0 and 1.
class FixedPower {
public:
    /// Tables for pow(v, exponent).
    explicit FixedPower(double exponent) : exponent_(exponent) {
        for (int biased = 1; biased <= max_biased_exponent; ++biased)
            binade_power_[biased - 1] = std::pow(std::ldexp(1.0, biased - 1023), exponent);
        for (int j = 0; j < segments; ++j) {
            // The centre of mantissa segment j, whose reciprocal brings the segment close to 1.
            const double centre = 1.0 + (j + 0.5) / segments;
            reciprocal_[j] = 1.0 / centre;
            reciprocal_power_[j] = std::pow(reciprocal_[j], -exponent);
        }
        // Binomial series of (1 + r)^exponent.
        double coefficient = 1.0;
        for (int k = 0; k < series_terms; ++k) {
            coefficient = coefficient * (exponent - k) / (k + 1);
            series_[k] = coefficient;
        }
    }

    /// round(pow(v, exponent)) as if the library's power were rounded; `round` as for settle.
    template <typename Round>
    float rounded(double v, const Round& round) const {
        const auto exact = [this, v] { return std::pow(v, exponent_); };
        if (v >= std::numeric_limits<double>::min() && v <= std::numeric_limits<double>::max())
            return rounded_math_detail::settle(approximate(v), round, exact);
        return round(exact());
    }

    /// float(pow(v, exponent)), bit for bit.
    float to_float(double v) const { return rounded(v, rounded_math_detail::to_float); }

private:
    static constexpr int max_biased_exponent = 2046;
    static constexpr int segment_bits = 8;
    static constexpr int segments = 1 << segment_bits;
    static constexpr int series_terms = 5;

    /// v^exponent for a positive normal v: v = 2^e * m with m in [1, 2) lying in segment j;
    /// m * reciprocal_j = 1 + r with |r| <= 2^-9, so
    /// v^exponent = (2^e)^exponent * reciprocal_j^-exponent * (1 + r)^exponent.
    double approximate(double v) const {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        const int biased = static_cast<int>(bits >> 52);
        const int j = static_cast<int>((bits >> (52 - segment_bits)) & (segments - 1));
        const std::uint64_t mantissa_bits =
            (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1023} << 52);
        double mantissa;
        std::memcpy(&mantissa, &mantissa_bits, sizeof mantissa);
        const double r = mantissa * reciprocal_[j] - 1.0;
        const double near_one =
            1.0 + r * (series_[0] + r * (series_[1] + r * (series_[2] + r * (series_[3] + r * series_[4]))));
        return binade_power_[biased - 1] * reciprocal_power_[j] * near_one;
    }

    double exponent_;
    /// (2^e)^exponent for every normal binade, indexed by the biased exponent minus 1.
    double binade_power_[max_biased_exponent];
    /// 1 / (centre of segment j), rounded.
    double reciprocal_[segments];
    /// That reciprocal to the power -exponent.
    double reciprocal_power_[segments];
    /// Coefficients of r^1 ... r^5 in (1 + r)^exponent.
    double series_[series_terms];
};

/// exp(t) of a float t widened to double.
class FloatExponential {
public:
    /// Tables for exp.
    FloatExponential() {
        for (int j = 0; j < steps; ++j) step_power_[j] = std::exp2(static_cast<double>(j) / steps);
    }

    /// float(exp(t)), bit for bit.
    float to_float(float t) const {
        const auto exact = [t] { return std::exp(static_cast<double>(t)); };
        // Beyond these, exp(t) overflows or underflows a float.
        if (t > -110.0f && t < 100.0f)
            return rounded_math_detail::settle(approximate(t), rounded_math_detail::to_float, exact);
        return rounded_math_detail::to_float(exact());
    }

private:
    static constexpr int step_bits = 8;
    static constexpr int steps = 1 << step_bits;

    /// exp(t) = 2^(k / steps) * exp(r) with k the integer nearest to t * steps / ln 2, so that
    /// |r| is at most about ln 2 / (2 * steps); exp(r) from its Taylor series.
    double approximate(float t) const {
        const double scaled = t * (steps / ln2);
        const int k = static_cast<int>(scaled < 0 ? scaled - 0.5 : scaled + 0.5);
        // ln 2 / steps in two parts, the first of 29 bits, so that its product with k is exact.
        const double r = (t - k * step_high) - k * step_low;
        const double near_one =
            1.0 + r * (1.0 + r * (1.0 / 2 + r * (1.0 / 6 + r * (1.0 / 24 + r * (1.0 / 120)))));
        return rounded_math_detail::power_of_two(k >> step_bits) * step_power_[k & (steps - 1)] * near_one;
    }

    static constexpr double ln2 = 0.6931471805599453;
    static constexpr double step_high = 0x1.62e42ffp-9;
    static constexpr double step_low = -0x1.718432a1b0e26p-43;

    /// 2^(j / steps) for j = 0 ... steps - 1.
    double step_power_[steps];
};
