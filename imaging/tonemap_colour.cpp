#include <cmath>
#include <cstddef>
#include <limits>

#include "imaging/colour_space.hpp"
#include "imaging/grain_sizes.hpp"
#include "imaging/parallel.hpp"
#include "imaging/rounded_math.hpp"
#include "imaging/tonemap.hpp"

namespace {

/// The linearisation pow(v, 2.22222f) of gamma-encoded values. The 256 values byte / 255 that
/// 8-bit input brings are computed once; any other value on the spot, with the same result.
/// On 8-bit-derived RGB the Lab conversion takes less time; see bench/README.md.
class Linearisation {
public:
    Linearisation() {
        for (int k = 0; k < 256; ++k) {
            encoded[k] = k / 255.0f;
            linear[k] = power(encoded[k]);
        }
    }

    float operator()(float v) const {
        if (v >= 0.0f && v <= 1.0f) {
            const int k = static_cast<int>(v * 255.0f + 0.5f);
            if (encoded[k] == v) return linear[k];
        }
        return power(v);
    }

private:
    static float power(float v) {
        return static_cast<float>(std::pow(static_cast<double>(v), static_cast<double>(2.22222f)));
    }

    float encoded[256];
    float linear[256];
};

}  // namespace

// Both front ends are one parallel pass over the pixels (plus, for HDR, a light second pass once
// the extremes are known): the powers or logarithms of every pixel make them CPU-bound, so they
// scale with the cores, and every output is first touched by the worker that writes it; see
// bench/README.md.

Image<float> clamped_lightness(const Image<float>& rgb, Image<float>& colour) {
    const std::size_t count = static_cast<std::size_t>(rgb.width) * rgb.height;
    // Built apart and handed over at the end, so that `colour` may even be `rgb` itself.
    Image<float> lab(rgb.width, rgb.height, 3);
    Image<float> clamped(rgb.width, rgb.height, 1);

    const Linearisation linearise;
    // The cube root of CIE Lab, taken as a power of 0.333333 and without the linear segment
    // near black. Its three powers were three quarters of the conversion's time.
    static const FixedPower cube_root(0.333333);
    const float* red = rgb.plane_data(0);
    const float* green = rgb.plane_data(1);
    const float* blue = rgb.plane_data(2);
    float* lightness = lab.plane_data(0);
    float* a = lab.plane_data(1);
    float* b = lab.plane_data(2);
    float* working = clamped.data.get();
    parallel_ranges(count, converted_pixels_per_task, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const float r = linearise(red[i]);
            const float g = linearise(green[i]);
            const float bl = linearise(blue[i]);

            const double x = srgb_to_xyz_f[0][0] * static_cast<double>(r) +
                             srgb_to_xyz_f[0][1] * static_cast<double>(g) +
                             srgb_to_xyz_f[0][2] * static_cast<double>(bl);
            const double y = srgb_to_xyz_f[1][0] * static_cast<double>(r) +
                             srgb_to_xyz_f[1][1] * static_cast<double>(g) +
                             srgb_to_xyz_f[1][2] * static_cast<double>(bl);
            const float z = static_cast<float>(srgb_to_xyz_f[2][0] * static_cast<double>(r) +
                                               srgb_to_xyz_f[2][1] * static_cast<double>(g) +
                                               srgb_to_xyz_f[2][2] * static_cast<double>(bl));

            const float fx = cube_root.to_float(x / reference_white_f[0]);
            const float fy = cube_root.to_float(y);
            const float fz = cube_root.to_float(static_cast<double>(z) / reference_white_f[2]);

            const float l = static_cast<float>(1.16f * static_cast<double>(fy) - 0.16f);
            lightness[i] = l;
            a[i] = static_cast<float>((static_cast<double>(fx) - fy) * 5);
            b[i] = static_cast<float>((static_cast<double>(fy) - fz) * 2);

            // The edge image of the smoothing must lie in [0, 1]; NaN goes to 0.
            float v = l;
            if (!(v > 0)) v = 0;
            if (v >= 1) v = 1;
            working[i] = v;
        }
    });
    colour = std::move(lab);
    return clamped;
}

namespace {

/// The smallest and the largest of some log luminances.
struct Extremes {
    float lowest;
    float highest;
};

}  // namespace

Image<float> normalised_log_luminance(const Image<float>& rgb, Image<float>& colour) {
    const std::size_t count = static_cast<std::size_t>(rgb.width) * rgb.height;
    const float* red = rgb.plane_data(0);
    const float* green = rgb.plane_data(1);
    const float* blue = rgb.plane_data(2);

    // Built apart and handed over at the end, so that `colour` may even be `rgb` itself.
    Image<float> ratios(rgb.width, rgb.height, 3);
    Image<float> normalised(rgb.width, rgb.height, 1);
    float* ratio[3] = {ratios.plane_data(0), ratios.plane_data(1), ratios.plane_data(2)};
    float* lum = normalised.data.get();

    // Each range reports the extremes of its pixels. Taking the smallest and the largest is exact
    // in any order; NaN never replaces an extreme (every comparison with it fails), and a
    // logarithm is never -0, so equal extremes have equal bits.
    const float infinity = std::numeric_limits<float>::infinity();
    const auto wider = [](const Extremes& a, const Extremes& b) {
        return Extremes{b.lowest < a.lowest ? b.lowest : a.lowest,
                        b.highest > a.highest ? b.highest : a.highest};
    };
    const Extremes found = reduce_ranges(
        count, converted_pixels_per_task, Extremes{infinity, -infinity},
        [&](std::size_t begin, std::size_t end) {
            Extremes local{infinity, -infinity};
            for (std::size_t i = begin; i < end; ++i) {
                const float y = hdr_luminance(red[i], green[i], blue[i]);
                ratio[0][i] = red[i] / y;
                ratio[1][i] = green[i] / y;
                ratio[2][i] = blue[i] / y;
                // The luminance plane is reused for its logarithm.
                const float l = log_luminance(y);
                lum[i] = l;
                if (l > local.highest) local.highest = l;
                if (l < local.lowest) local.lowest = l;
            }
            return local;
        },
        wider);
    // Seeded with the first pixel as a scan in index order would be, so that a NaN there stays.
    float lmin = lum[0];
    float lmax = lum[0];
    if (found.highest > lmax) lmax = found.highest;
    if (found.lowest < lmin) lmin = found.lowest;

    // The difference is rounded before the division so that the extremes map to exactly 0 and 1.
    const float range = lmax - lmin;
    parallel_ranges(count, converted_pixels_per_task, [=](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const float offset = lum[i] - lmin;
            lum[i] = offset / range;
        }
    });
    colour = std::move(ratios);
    return normalised;
}

double Tonemap::decompose_ldr(const Image<float>& rgb, Image<float>& colour, Image<float>* layers) {
    return decompose(clamped_lightness(rgb, colour), layers);
}

double Tonemap::decompose_hdr(const Image<float>& rgb, Image<float>& colour, Image<float>* layers) {
    return decompose(normalised_log_luminance(rgb, colour), layers);
}
