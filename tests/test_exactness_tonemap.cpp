#include "imaging/tonemap.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "tests/same_bits.hpp"
#include "tests/synthetic_photo.hpp"
#include "tests/worker_count.hpp"

namespace {

// Large enough that every per-pixel loop is split into many ranges across the workers.
constexpr int width = 1000;
constexpr int height = 700;

/// Everything one request computes from its image: the decomposition and the composed result.
struct RequestOutputs {
    Image<float> colour;
    Image<float> layers[tonemap_layers];
    double mean = 0.0;
    std::vector<double> constraints;
    Image<float> result;
};

/// Gamma-encoded RGB as the service makes it from bytes (value / 255) in the upper half, and
/// values off that grid in the lower half, which the linearisation computes on the spot.
Image<float> ldr_photo() {
    Image<float> photo = synthetic_photo(width, height, 5);
    for (int c = 0; c < 3; ++c) {
        float* plane = photo.plane_data(c);
        for (int i = 0; i < width * height / 2; ++i)
            plane[i] = static_cast<int>(plane[i] * 255.0f + 0.5f) / 255.0f;
    }
    return photo;
}

/// Linear RGB spanning about four decades, with positive finite luminance everywhere.
Image<float> hdr_photo() {
    Image<float> photo = synthetic_photo(width, height, 9);
    for (std::size_t i = 0; i < photo.size(); ++i)
        photo.data[i] = static_cast<float>(std::exp(9.0 * photo.data[i]));
    return photo;
}

// A tight dynamic range makes the bounds bind; unequal falloffs give the two signs of every band
// their own gains.
const double white[3] = {1.0, 0.95, 1.05};
constexpr double target_gain = 1.1;
constexpr double dynamic_range = 0.6;
constexpr double brightness = 0.35;
constexpr double bright_falloff = 0.25;
constexpr double dark_falloff = 0.6;
constexpr double black_point = 0.03;
constexpr double fine_boost = 0.4;
constexpr double saturation = 1.2;

RequestOutputs ldr_request(const Image<float>& rgb) {
    RequestOutputs out;
    Tonemap tonemap;
    tonemap.init_constraints();
    out.mean = tonemap.decompose_ldr(rgb, out.colour, out.layers);
    out.constraints.resize(tonemap_layers * tonemap_constraints);
    tonemap.write_constraints(out.constraints.data());
    out.result = tonemap.compose_ldr(out.colour, out.layers, white, target_gain, dynamic_range, brightness,
                                     bright_falloff, dark_falloff, black_point, fine_boost, saturation);
    return out;
}

RequestOutputs hdr_request(const Image<float>& rgb) {
    RequestOutputs out;
    Tonemap tonemap;
    tonemap.init_constraints();
    out.mean = tonemap.decompose_hdr(rgb, out.colour, out.layers);
    out.constraints.resize(tonemap_layers * tonemap_constraints);
    tonemap.write_constraints(out.constraints.data());
    out.result = tonemap.compose_hdr(out.colour, out.layers, white, target_gain, dynamic_range, brightness,
                                     bright_falloff, dark_falloff, black_point, fine_boost, saturation);
    return out;
}

/// Every output on all cores against the one-worker reference, bit for bit.
void expect_same_outputs(const RequestOutputs& reference, const RequestOutputs& actual) {
    EXPECT_TRUE(same_bits(reference.colour, actual.colour)) << "colour image";
    for (int k = 0; k < tonemap_layers; ++k)
        EXPECT_TRUE(same_bits(reference.layers[k], actual.layers[k])) << "layer " << k;
    EXPECT_TRUE(same_bits(&reference.mean, &actual.mean, 1)) << "mean";
    ASSERT_EQ(actual.constraints.size(), reference.constraints.size());
    EXPECT_TRUE(
        same_bits(reference.constraints.data(), actual.constraints.data(), reference.constraints.size()))
        << "CI";
    EXPECT_TRUE(same_bits(reference.result, actual.result)) << "composed result";
}

}  // namespace

TEST(TonemapExactness, LdrDecompositionAndCompositionMatchOneWorker) {
    const Image<float> rgb = ldr_photo();
    const RequestOutputs one = on_one_worker([&] { return ldr_request(rgb); });
    const RequestOutputs all = ldr_request(rgb);
    expect_same_outputs(one, all);
}

TEST(TonemapExactness, HdrDecompositionAndCompositionMatchOneWorker) {
    const Image<float> rgb = hdr_photo();
    const RequestOutputs one = on_one_worker([&] { return hdr_request(rgb); });
    const RequestOutputs all = hdr_request(rgb);
    expect_same_outputs(one, all);
}
