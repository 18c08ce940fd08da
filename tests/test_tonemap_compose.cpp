#include "imaging/tonemap.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/same_bits.hpp"
#include "tests/synthetic_photo.hpp"

namespace {

Image<float> constant_image(int width, int height, int channels, float value) {
    Image<float> image(width, height, channels);
    std::fill(image.data.get(), image.data.get() + image.size(), value);
    return image;
}

/// A one-row problem with hand-made layers whose samples are all zero: no bound binds, so the
/// solved gains are exactly the target gain and the recombination is known to the bit.
struct HandMadeProblem {
    Tonemap tonemap;
    Image<float> colour;
    Image<float> layers[6];

    HandMadeProblem(int width, float ratio_or_a, float b) {
        const std::vector<double> zeros(120006, 0.0);
        tonemap.read_constraints(zeros.data());
        colour = constant_image(width, 1, 3, ratio_or_a);
        for (int i = 0; i < width; ++i) colour.plane_data(2)[i] = b;
        for (Image<float>& layer : layers) layer = constant_image(width, 1, 1, 0.0f);
    }

    Image<float> ldr(double brightness, double bright_falloff, double dark_falloff, double black_point,
                     double boost, double saturation = 1.0) {
        const double white[3] = {1, 1, 1};
        return tonemap.compose_ldr(colour, layers, white, 1.0, 1.0, brightness, bright_falloff, dark_falloff,
                                   black_point, boost, saturation);
    }

    Image<float> hdr(double brightness, double black_point, double saturation, const double* white) {
        return tonemap.compose_hdr(colour, layers, white, 1.0, 1.0, brightness, 0, 0, black_point, 0,
                                   saturation);
    }
};

}  // namespace

TEST(Compose, ConstantImageGivesTheTargetGainOrZeroForANegativeOne) {
    Tonemap tonemap;
    tonemap.init_constraints();
    Image<float> layers[6];
    tonemap.decompose(constant_image(64, 48, 1, 0.4f), layers);

    QuadProgPP::Vector<double> x;
    tonemap.compose(0.7, 0.5, x);
    ASSERT_EQ(x.size(), 6u);
    for (int k = 0; k < 6; ++k) EXPECT_NEAR(x[k], 0.7, 1e-9) << k;
    for (int k = 0; k < 6; ++k) EXPECT_EQ(tonemap.g0[k], -0.7);
    for (int i = 0; i < 20000; ++i) ASSERT_EQ(tonemap.ci0[i], 0.25) << i;
    EXPECT_EQ(tonemap.ci0[20000], 0.0);

    // The sum of the gains may not go negative: it holds them all at 0.
    tonemap.compose(-0.3, 0.5, x);
    for (int k = 0; k < 6; ++k) EXPECT_NEAR(x[k], 0.0, 1e-9) << k;
}

TEST(Compose, ZeroDynamicRangeLeavesOnlyAZeroRecombinationAtTheSamples) {
    Tonemap tonemap;
    tonemap.init_constraints();
    Image<float> colour;
    Image<float> layers[6];
    tonemap.decompose_ldr(synthetic_photo(96, 64), colour, layers);

    QuadProgPP::Vector<double> x;
    tonemap.compose(1.0, 0.0, x);
    for (int j = 0; j < tonemap_samples; ++j) {
        double recombined = 0;
        for (int k = 0; k < 6; ++k) recombined += x[k] * tonemap.CI[k][tonemap_samples + j];
        ASSERT_NEAR(recombined, 0.0, 1e-7) << "sample " << j;
    }
}

TEST(Compose, NegativeDynamicRangeKeepsTheSolversLastIterate) {
    Tonemap tonemap;
    tonemap.init_constraints();
    Image<float> colour;
    Image<float> layers[6];
    const Image<float> photo = synthetic_photo(48, 32);
    tonemap.decompose_ldr(photo, colour, layers);

    QuadProgPP::Vector<double> x;
    tonemap.compose(1.0, -0.2, x);
    QuadProgPP::Vector<double> direct;
    const double objective = QuadProgPP::solve_quadprog(tonemap.G, tonemap.g0, tonemap.CE, tonemap.ce0,
                                                        tonemap.CI, tonemap.ci0, direct);
    EXPECT_TRUE(std::isinf(objective));
    ASSERT_EQ(x.size(), 6u);
    for (int k = 0; k < 6; ++k) {
        EXPECT_TRUE(std::isfinite(x[k])) << k;
        EXPECT_EQ(x[k], direct[k]) << k;
    }

    const double white[3] = {1, 1, 1};
    const Image<float> out = tonemap.compose_ldr(colour, layers, white, 1.0, -0.2, 0.5, 0, 0, 0, 0, 1);
    EXPECT_EQ(out.width, 48);
    EXPECT_EQ(out.height, 32);
    EXPECT_EQ(out.channels, 3);
}

TEST(ComposeHdr, LuminanceFactorFollowsTheBrightness) {
    HandMadeProblem problem(4, 1.0f, 1.0f);
    const double white[3] = {1, 1, 1};
    struct Case {
        double brightness;
        float factor;
    };
    for (const Case& c : {Case{0, 0.0f}, Case{0.5, 0.42264709f}, Case{1, 1.0f}, Case{2, 2.866066f}}) {
        const Image<float> out = problem.hdr(c.brightness, 0, 0, white);
        for (std::size_t i = 0; i < out.size(); ++i)
            ASSERT_FLOAT_EQ(out.data[i], c.factor) << "brightness " << c.brightness;
    }
    EXPECT_EQ(problem.hdr(0, 0, 0, white).data[0], 0.0f);
    EXPECT_EQ(problem.hdr(1, 0, 0, white).data[0], 1.0f);
}

TEST(ComposeHdr, BlackPointActsOnTheLuminanceTerm) {
    HandMadeProblem problem(2, 0.8f, 1.2f);
    const double white[3] = {1, 1, 1};
    const Image<float> dark = problem.hdr(0, 0.25, 1, white);
    const Image<float> unity = problem.hdr(1, 1, 1, white);
    const Image<float> plain = problem.hdr(2, 0, 1, white);
    const Image<float> full = problem.hdr(2, 1, 1, white);
    const float factor = 2.866066f;
    for (int c = 0; c < 3; ++c) {
        const float tint = static_cast<float>(std::pow(problem.colour.plane_data(c)[0], 0.45));
        EXPECT_FLOAT_EQ(dark.plane_data(c)[0], -0.25f * tint) << c;
        EXPECT_FLOAT_EQ(unity.plane_data(c)[0], tint) << c;
        EXPECT_FLOAT_EQ(plain.plane_data(c)[0], factor * tint) << c;
        EXPECT_FLOAT_EQ(full.plane_data(c)[0], (2 * factor - 1) * tint) << c;
    }
}

TEST(ComposeHdr, SaturationZeroGivesGrey) {
    Tonemap tonemap;
    tonemap.init_constraints();
    Image<float> colour;
    Image<float> layers[6];
    tonemap.decompose_hdr(synthetic_photo(48, 32), colour, layers);

    const double white[3] = {0.9, 1.1, 1.3};
    const Image<float> out =
        tonemap.compose_hdr(colour, layers, white, 0.8, 0.9, 1.2, 0.3, 0.2, 0.1, 0.5, 0.0);
    ASSERT_EQ(out.channels, 3);
    for (int i = 0; i < 48 * 32; ++i) {
        ASSERT_EQ(out.plane_data(1)[i], out.plane_data(0)[i]) << i;
        ASSERT_EQ(out.plane_data(2)[i], out.plane_data(0)[i]) << i;
    }
    const Image<float> coloured =
        tonemap.compose_hdr(colour, layers, white, 0.8, 0.9, 1.2, 0.3, 0.2, 0.1, 0.5, 1.0);
    EXPECT_NE(coloured.plane_data(2)[0], coloured.plane_data(0)[0]);
}

TEST(ComposeLdr, SaturationZeroLeavesOnlyTheMatrixRowSums) {
    HandMadeProblem problem(3, 0.3f, -0.2f);
    const Image<float> out = problem.ldr(0.6, 0, 0, 0, 0, 0.0);
    // Before the power 0.45 the planes are 1.000145, 1.000082 and 1.000027 times one value.
    const double gamma = 0.45f;
    for (int i = 0; i < 3; ++i) {
        const double red = std::pow(out.plane_data(0)[i], 1 / gamma);
        const double green = std::pow(out.plane_data(1)[i], 1 / gamma);
        const double blue = std::pow(out.plane_data(2)[i], 1 / gamma);
        EXPECT_NEAR(red / blue, 1.000145 / 1.000027, 2e-6) << i;
        EXPECT_NEAR(green / blue, 1.000082 / 1.000027, 2e-6) << i;
    }
}

TEST(ComposeLdr, BlackPointOneMapsVToTwoVMinusOne) {
    HandMadeProblem problem(2, 0.05f, -0.05f);
    EXPECT_TRUE(same_bits(problem.ldr(0.5, 0, 0, 0, 0), problem.ldr(0.75, 0, 0, 1, 0)));
    EXPECT_TRUE(same_bits(problem.ldr(1.0, 0, 0, 0, 0), problem.ldr(1.0, 0, 0, 1, 0)));
    const Image<float> lowered = problem.ldr(0.5, 0, 0, 0.5, 0);
    const Image<float> plain = problem.ldr(0.5, 0, 0, 0, 0);
    EXPECT_LT(lowered.plane_data(1)[0], plain.plane_data(1)[0]);
}

TEST(ComposeLdr, FalloffsReduceCoarseBandsBySign) {
    // Bright falloff 1: band 5's positive values get gain 0, band 1's 0.8; negative values and
    // band 0 keep their gain. The reference carries the reduced values at gain 1.
    HandMadeProblem bright(6, 0.0f, 0.0f);
    HandMadeProblem reference(6, 0.0f, 0.0f);
    for (HandMadeProblem* p : {&bright, &reference})
        for (int i = 0; i < 6; ++i) p->layers[0].data[i] = 0.125f;
    bright.layers[5].data[0] = 0.25f;
    bright.layers[5].data[1] = -0.25f;
    bright.layers[1].data[2] = 0.25f;
    bright.layers[1].data[3] = -0.25f;
    bright.layers[3].data[4] = -0.25f;
    reference.layers[5].data[1] = -0.25f;
    reference.layers[1].data[2] = 0.2f;
    reference.layers[1].data[3] = -0.25f;
    reference.layers[3].data[4] = -0.25f;
    EXPECT_TRUE(same_bits(reference.ldr(0.5, 0, 0, 0, 0), bright.ldr(0.5, 1, 0, 0, 0)));
    EXPECT_NE(bright.ldr(0.5, 0, 0, 0, 0).data[0], reference.ldr(0.5, 0, 0, 0, 0).data[0]);

    // Dark falloff 0.5: band 2's negative values get gain 0.8, band 5's 0.5; positive keep 1.
    HandMadeProblem dark(4, 0.0f, 0.0f);
    HandMadeProblem dark_reference(4, 0.0f, 0.0f);
    dark.layers[2].data[0] = -0.25f;
    dark.layers[2].data[1] = 0.25f;
    dark.layers[5].data[2] = -0.25f;
    dark.layers[5].data[3] = 0.25f;
    dark_reference.layers[2].data[0] = -0.2f;
    dark_reference.layers[2].data[1] = 0.25f;
    dark_reference.layers[5].data[2] = -0.125f;
    dark_reference.layers[5].data[3] = 0.25f;
    EXPECT_TRUE(same_bits(dark_reference.ldr(0.5, 0, 0, 0, 0), dark.ldr(0.5, 0, 0.5, 0, 0)));
}

TEST(ComposeLdr, FineDetailBoostRaisesBandZeroOnly) {
    HandMadeProblem boosted(2, 0.0f, 0.0f);
    HandMadeProblem reference(2, 0.0f, 0.0f);
    for (int i = 0; i < 2; ++i) {
        boosted.layers[0].data[i] = 0.125f;
        reference.layers[0].data[i] = 0.25f;
        boosted.layers[3].data[i] = 0.125f;
        reference.layers[3].data[i] = 0.125f;
    }
    EXPECT_TRUE(same_bits(reference.ldr(0.5, 0, 0, 0, 0), boosted.ldr(0.5, 0, 0, 0, 1)));

    HandMadeProblem no_fine_detail(2, 0.0f, 0.0f);
    for (int i = 0; i < 2; ++i) no_fine_detail.layers[4].data[i] = -0.125f;
    EXPECT_TRUE(same_bits(no_fine_detail.ldr(0.5, 0, 0, 0, 0), no_fine_detail.ldr(0.5, 0, 0, 0, 3)));
}

TEST(ComposeLdr, NeutralSettingsGiveTheInputBack) {
    const int width = 120;
    const int height = 80;
    const Image<float> photo = synthetic_photo(width, height, 7);
    Tonemap tonemap;
    tonemap.init_constraints();
    Image<float> colour;
    Image<float> layers[6];
    const double mean = tonemap.decompose_ldr(photo, colour, layers);

    const double white[3] = {1, 1, 1};
    const Image<float> out = tonemap.compose_ldr(colour, layers, white, 1.0, 1e6, mean, 0, 0, 0, 0, 1);
    ASSERT_EQ(out.width, width);
    ASSERT_EQ(out.height, height);
    ASSERT_EQ(out.channels, 3);
    for (std::size_t i = 0; i < out.size(); ++i)
        ASSERT_NEAR(out.data[i], photo.data[i], 0.01)
            << "plane " << i / (width * height) << ", pixel " << i % (width * height);
}
