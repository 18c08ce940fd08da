#include <cmath>
#include <cstddef>

#include "imaging/colour_space.hpp"
#include "imaging/grain_sizes.hpp"
#include "imaging/parallel.hpp"
#include "imaging/rounded_math.hpp"
#include "imaging/tonemap.hpp"

void Tonemap::compose(double target_gain, double dynamic_range, QuadProgPP::Vector<double>& x) {
    for (int k = 0; k < tonemap_layers; ++k) g0[k] = -target_gain;
    for (int i = 0; i < 2 * tonemap_samples; ++i) ci0[i] = dynamic_range * 0.5;
    x.resize(tonemap_layers);
    // Infeasible bounds (a negative range) end the solver at its last iterate; those gains are
    // used as they stand, so the objective it returns is of no interest.
    QuadProgPP::solve_quadprog(G, g0, CE, ce0, CI, ci0, x);
}

namespace {

/// The gain of band `band` for layer values of one sign: reduced linearly with the band index.
float falloff_gain(double gain, int band, double falloff) {
    return static_cast<float>(gain * (1 - band * falloff / static_cast<double>(5.0f)));
}

/// The layers weighted by their solved gains, one pixel at a time: band 0 at its gain plus the
/// fine detail boost (and, for Lab lightness, the brightness offset added right after it), bands
/// 1 to 5 at gains reduced separately for positive and for other values.
class Recombination {
public:
    Recombination(const Image<float>* layers, QuadProgPP::Vector<double>& x, double fine_detail_boost,
                  bool offset, float brightness, double bright_detail_falloff, double dark_detail_falloff)
        : offset_(offset), brightness_(brightness) {
        x[0] = x[0] + fine_detail_boost;
        fine_gain_ = static_cast<float>(x[0]);
        for (int band = 0; band < tonemap_layers; ++band) band_values_[band] = layers[band].data.get();
        for (int band = 1; band < tonemap_layers; ++band) {
            gains_[band][0] = falloff_gain(x[band], band, dark_detail_falloff);
            gains_[band][1] = falloff_gain(x[band], band, bright_detail_falloff);
        }
    }

    /// The recombined value at pixel i. The bands are added in ascending order, so every value
    /// sees the same sequence of roundings as band-by-band passes over the image would give it.
    float operator()(std::size_t i) const {
        float value = band_values_[0][i] * fine_gain_;
        if (offset_) value = value + brightness_;
        for (int band = 1; band < tonemap_layers; ++band) {
            const float v = band_values_[band][i];
            // Indexed by the sign rather than branched on: detail changes sign from pixel to
            // pixel, and a branch here was often mispredicted on the synthetic photo (see
            // bench/README.md); the index costs no misprediction.
            const float gain = gains_[band][v > 0];
            value = static_cast<float>(value + static_cast<double>(v) * gain);
        }
        return value;
    }

private:
    const float* band_values_[tonemap_layers] = {};
    float fine_gain_ = 0;
    /// Per band, the gain of values that are not positive (NaN included), then of positive ones.
    float gains_[tonemap_layers][2] = {};
    bool offset_;
    float brightness_;
};

/// pow(v, 3.0) of a float widened to double, rounded back to float. For every float but NaN the
/// product v * v * v gives the same float: checked over all 2^32 bit patterns against this C
/// library's pow, which takes longer (see bench/README.md). v * v is exact in double, so the product
/// is rounded once, like a correctly rounded power. NaN keeps the library's sign.
float cube(float v) {
    const double d = v;
    return static_cast<float>(std::isnan(d) ? std::pow(d, 3.0) : d * d * d);
}

}  // namespace

// Each composition is one parallel pass over the pixels that recombines the layers and turns the
// result into RGB at once: six layer reads and three writes per pixel, no recombined plane in
// memory, and the powers and exponentials, CPU-bound, spread over the cores; see
// bench/README.md.

Image<float> Tonemap::compose_ldr(const Image<float>& colour, const Image<float>* layers, const double* white,
                                  double target_gain, double dynamic_range, double brightness,
                                  double bright_detail_falloff, double dark_detail_falloff,
                                  double black_point, double fine_detail_boost, double saturation) {
    QuadProgPP::Vector<double> x;
    compose(target_gain, dynamic_range, x);
    const Recombination recombined(layers, x, fine_detail_boost, true, static_cast<float>(brightness),
                                   bright_detail_falloff, dark_detail_falloff);

    const std::size_t count = static_cast<std::size_t>(colour.width) * colour.height;
    Image<float> result(colour.width, colour.height, 3);
    const float* a = colour.plane_data(1);
    const float* b = colour.plane_data(2);
    float* red = result.plane_data(0);
    float* green = result.plane_data(1);
    float* blue = result.plane_data(2);
    // The single-precision 0.45, not the double: it fixes the last bits of every output value.
    // Its three powers were most of the recomposition's time.
    static const FixedPower gamma(0.45f);
    parallel_ranges(count, recomposed_pixels_per_task, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const float s = recombined(i);
            const float e = static_cast<float>(s - (1 - static_cast<double>(s)) * black_point);
            const double fy = (static_cast<double>(e) + 0.16f) / 1.16f;
            const float fx = static_cast<float>(fy + saturation * a[i] / static_cast<double>(5.0f));
            const float fz = static_cast<float>(fy - saturation * b[i] * 0.5);
            const float fyf = static_cast<float>(fy);

            const float cx = cube(fx);
            const float cy = cube(fyf);
            const float cz = cube(fz);
            // Only the cubes are rounded: the products with the reference white stay exact.
            const double X = static_cast<double>(cx) * reference_white_f[0];
            const double Y = cy;
            const double Z = static_cast<double>(cz) * reference_white_f[2];

            const float r = static_cast<float>(
                (xyz_to_srgb_f[0][0] * X + xyz_to_srgb_f[0][1] * Y + xyz_to_srgb_f[0][2] * Z) / white[0]);
            const float g = static_cast<float>(
                (xyz_to_srgb_f[1][0] * X + xyz_to_srgb_f[1][1] * Y + xyz_to_srgb_f[1][2] * Z) / white[1]);
            const float bl = static_cast<float>(
                (xyz_to_srgb_f[2][0] * X + xyz_to_srgb_f[2][1] * Y + xyz_to_srgb_f[2][2] * Z) / white[2]);
            red[i] = gamma.to_float(r);
            green[i] = gamma.to_float(g);
            blue[i] = gamma.to_float(bl);
        }
    });
    return result;
}

Image<float> Tonemap::compose_hdr(const Image<float>& colour, const Image<float>* layers, const double* white,
                                  double target_gain, double dynamic_range, double brightness,
                                  double bright_detail_falloff, double dark_detail_falloff,
                                  double black_point, double fine_detail_boost, double saturation) {
    QuadProgPP::Vector<double> x;
    compose(target_gain, dynamic_range, x);
    // (1.8660659830736148^brightness - 1) / 0.8660659830736148: 0 at brightness 0, 1 at 1.
    const float factor =
        static_cast<float>((std::exp(brightness * 0.6238324625039507) - 1.0f) / 0.8660659830736148);
    // The normalised log luminance is mapped back through e^(s x 2.7706318).
    const float log_scale = 2.770631790161133f;
    const Recombination recombined(layers, x, fine_detail_boost, false, 0.0f, bright_detail_falloff,
                                   dark_detail_falloff);

    const std::size_t count = static_cast<std::size_t>(colour.width) * colour.height;
    Image<float> result(colour.width, colour.height, 3);
    const float* ratio[3] = {colour.plane_data(0), colour.plane_data(1), colour.plane_data(2)};
    float* out[3] = {result.plane_data(0), result.plane_data(1), result.plane_data(2)};
    // The double 0.45 of the colour term; its three powers were most of the recomposition's time.
    static const FixedPower gamma(0.45);
    static const FloatExponential exponential;
    parallel_ranges(count, recomposed_pixels_per_task, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const float t = recombined(i) * log_scale;
            const float u = exponential.to_float(t);
            const float lum = u * factor;
            const double level = lum - (1 - static_cast<double>(lum)) * black_point;
            // The stored value is the double product of the two terms rounded once, which never
            // decreases (or never increases) as the colour term grows.
            const auto times_level = [level](double tint) { return static_cast<float>(tint * level); };
            for (int c = 0; c < 3; ++c)
                out[c][i] =
                    gamma.rounded((ratio[c][i] / white[c]) * saturation - saturation + 1, times_level);
        }
    });
    return result;
}
