#include <cmath>
#include <cstddef>

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

/// The layers weighted by their solved gains: band 0 at its gain plus the fine detail boost (and,
/// when `brightness` is given, that offset added right after it), bands 1 to 5 at gains reduced
/// separately for positive and for other values.
Image<float> recombine(const Image<float>* layers, QuadProgPP::Vector<double>& x,
                       double fine_detail_boost, const float* brightness,
                       double bright_detail_falloff, double dark_detail_falloff) {
    x[0] = x[0] + fine_detail_boost;
    const float fine_gain = static_cast<float>(x[0]);
    float bright_gain[tonemap_layers] = {};
    float dark_gain[tonemap_layers] = {};
    for (int band = 1; band < tonemap_layers; ++band) {
        bright_gain[band] = falloff_gain(x[band], band, bright_detail_falloff);
        dark_gain[band] = falloff_gain(x[band], band, dark_detail_falloff);
    }

    const float* band_values[tonemap_layers] = {};
    for (int band = 1; band < tonemap_layers; ++band) band_values[band] = layers[band].data.get();

    Image<float> sum = layers[0];
    const std::size_t count = sum.size();
    float* s = sum.data.get();
    // One pass over the pixels with the bands in ascending order for each, so that every value
    // sees the same sequence of roundings as band-by-band passes would give it.
    for (std::size_t i = 0; i < count; ++i) {
        float value = s[i] * fine_gain;
        if (brightness) value = value + *brightness;
        for (int band = 1; band < tonemap_layers; ++band) {
            const float v = band_values[band][i];
            const float gain = v > 0 ? bright_gain[band] : dark_gain[band];
            value = static_cast<float>(value + static_cast<double>(v) * gain);
        }
        s[i] = value;
    }
    return sum;
}

}  // namespace

Image<float> Tonemap::compose_ldr(const Image<float>& colour, const Image<float>* layers,
                                  const double* white, double target_gain, double dynamic_range,
                                  double brightness, double bright_detail_falloff,
                                  double dark_detail_falloff, double black_point,
                                  double fine_detail_boost, double saturation) {
    QuadProgPP::Vector<double> x;
    compose(target_gain, dynamic_range, x);
    const float offset = static_cast<float>(brightness);
    const Image<float> sum = recombine(layers, x, fine_detail_boost, &offset,
                                       bright_detail_falloff, dark_detail_falloff);

    const std::size_t count = static_cast<std::size_t>(colour.width) * colour.height;
    Image<float> result(colour.width, colour.height, 3);
    const float* s = sum.data.get();
    const float* a = colour.plane_data(1);
    const float* b = colour.plane_data(2);
    float* red = result.plane_data(0);
    float* green = result.plane_data(1);
    float* blue = result.plane_data(2);
    // The single-precision 0.45, not the double: it fixes the last bits of every output value.
    const double gamma = 0.45f;
    for (std::size_t i = 0; i < count; ++i) {
        const float e = static_cast<float>(s[i] - (1 - static_cast<double>(s[i])) * black_point);
        const double fy = (static_cast<double>(e) + 0.16f) / 1.16f;
        const float fx = static_cast<float>(fy + saturation * a[i] / static_cast<double>(5.0f));
        const float fz = static_cast<float>(fy - saturation * b[i] * 0.5);
        const float fyf = static_cast<float>(fy);

        const float cx = static_cast<float>(std::pow(static_cast<double>(fx), 3.0));
        const float cy = static_cast<float>(std::pow(static_cast<double>(fyf), 3.0));
        const float cz = static_cast<float>(std::pow(static_cast<double>(fz), 3.0));
        // Only the cubes are rounded: the products with the reference white stay exact.
        const double X = static_cast<double>(cx) * 0.9505f;
        const double Y = cy;
        const double Z = static_cast<double>(cz) * 1.0891f;

        const float r = static_cast<float>((3.241f * X + -1.5374f * Y + -0.4986f * Z) / white[0]);
        const float g = static_cast<float>((-0.9692f * X + 1.876f * Y + 0.0416f * Z) / white[1]);
        const float bl = static_cast<float>((0.0556f * X + -0.204f * Y + 1.057f * Z) / white[2]);
        red[i] = static_cast<float>(std::pow(static_cast<double>(r), gamma));
        green[i] = static_cast<float>(std::pow(static_cast<double>(g), gamma));
        blue[i] = static_cast<float>(std::pow(static_cast<double>(bl), gamma));
    }
    return result;
}

Image<float> Tonemap::compose_hdr(const Image<float>& colour, const Image<float>* layers,
                                  const double* white, double target_gain, double dynamic_range,
                                  double brightness, double bright_detail_falloff,
                                  double dark_detail_falloff, double black_point,
                                  double fine_detail_boost, double saturation) {
    QuadProgPP::Vector<double> x;
    compose(target_gain, dynamic_range, x);
    // (1.8660659830736148^brightness - 1) / 0.8660659830736148: 0 at brightness 0, 1 at 1.
    const float factor =
        static_cast<float>((std::exp(brightness * 0.6238324625039507) - 1.0f) / 0.8660659830736148);
    // The normalised log luminance is mapped back through e^(s x 2.7706318).
    const float log_scale = 2.770631790161133f;
    Image<float> luminance = recombine(layers, x, fine_detail_boost, nullptr,
                                       bright_detail_falloff, dark_detail_falloff);
    const std::size_t count = luminance.size();
    float* lum = luminance.data.get();
    for (std::size_t i = 0; i < count; ++i) {
        const float t = lum[i] * log_scale;
        const float u = static_cast<float>(std::exp(static_cast<double>(t)));
        lum[i] = u * factor;
    }

    Image<float> result(colour.width, colour.height, 3);
    const float* ratio[3] = {colour.plane_data(0), colour.plane_data(1), colour.plane_data(2)};
    float* out[3] = {result.plane_data(0), result.plane_data(1), result.plane_data(2)};
    for (std::size_t i = 0; i < count; ++i) {
        const double level = lum[i] - (1 - static_cast<double>(lum[i])) * black_point;
        for (int c = 0; c < 3; ++c) {
            const double tint =
                std::pow((ratio[c][i] / white[c]) * saturation - saturation + 1, 0.45);
            out[c][i] = static_cast<float>(tint * level);
        }
    }
    return result;
}
