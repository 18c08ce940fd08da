#include "imaging/tonemap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tests/synthetic_photo.hpp"

namespace {

Image<float> constant_image(int width, int height, int channels, float value) {
    Image<float> image(width, height, channels);
    std::fill(image.data.get(), image.data.get() + image.size(), value);
    return image;
}

/// The value that the six layers put back at sample j: their sum plus the removed mean.
double sampled_input(const Tonemap& tonemap, int j, double mean) {
    double sum = static_cast<float>(mean);
    for (int k = 0; k < tonemap_layers; ++k) sum += tonemap.CI[k][tonemap_samples + j];
    return sum;
}

void expect_constraint_layout(const Tonemap& tonemap) {
    ASSERT_EQ(tonemap.CI.rows(), 6u);
    ASSERT_EQ(tonemap.CI.cols(), 20001u);
    for (int k = 0; k < tonemap_layers; ++k) {
        EXPECT_EQ(tonemap.CI[k][20000], 1.0);
        for (int j = 0; j < tonemap_samples; ++j)
            ASSERT_EQ(tonemap.CI[k][j], -tonemap.CI[k][tonemap_samples + j]) << k << "," << j;
    }
}

}  // namespace

TEST(SmoothingSteps, FollowTheSmallerSide) {
    using Steps = std::array<float, 5>;
    EXPECT_EQ(smoothing_steps(3000).spatial, (Steps{23.4375f, 46.875f, 93.75f, 187.5f, 375.0f}));
    EXPECT_EQ(smoothing_steps(640).spatial, (Steps{5, 10, 20, 40, 80}));
    EXPECT_EQ(smoothing_steps(40).spatial, (Steps{5, 5, 5, 5, 5}));
    const Steps m200 = smoothing_steps(200).spatial;
    const Steps m1 = smoothing_steps(1).spatial;
    const Steps expected200{5, 7.476744f, 11.180341f, 16.718508f, 25.000002f};
    const Steps expected1{5, 1.9881768f, 0.7905694f, 0.3143584f, 0.125f};
    for (int j = 0; j < 5; ++j) {
        EXPECT_FLOAT_EQ(m200[j], expected200[j]) << j;
        EXPECT_FLOAT_EQ(m1[j], expected1[j]) << j;
    }
    const Steps range = smoothing_steps(640).range;
    const Steps expected_range{0.05f, 0.08891397f, 0.15811388f, 0.28117067f, 0.5f};
    for (int j = 0; j < 5; ++j) EXPECT_FLOAT_EQ(range[j], expected_range[j]) << j;
    EXPECT_EQ(range[4], 0.5f);
}

TEST(SampleGrid, ColumnsFollowTheAspectRatio) {
    struct Case {
        int width, height, columns, rows;
    };
    for (const Case& c :
         {Case{100, 100, 100, 101}, Case{3000, 2000, 122, 82}, Case{2000, 3000, 81, 124},
          Case{640, 480, 115, 87}, Case{1, 10000, 1, 10001}, Case{5000, 1, 7071, 2}, Case{1, 1, 100, 101}}) {
        const SampleGrid grid = sample_grid(c.width, c.height);
        EXPECT_EQ(grid.columns, c.columns) << c.width << " x " << c.height;
        EXPECT_EQ(grid.rows, c.rows) << c.width << " x " << c.height;
    }
    EXPECT_EQ(sample_grid(3000, 2000).step_x, 24.590164f);
    EXPECT_EQ(sample_grid(3000, 2000).step_y, 24.390244f);
    EXPECT_EQ(sample_grid(100, 100).step_x, 1.0f);
    EXPECT_EQ(sample_grid(100, 100).step_y, 100.0f / 101.0f);
}

TEST(SampleGrid, SquareImageSamplesRowFiftyTwiceAndNeverTheLastRow) {
    const std::vector<int> pixels = sample_pixels(100, 100);
    EXPECT_EQ(pixels[50 * 100 + 7], 50 * 100 + 7);
    EXPECT_EQ(pixels[51 * 100 + 7], 50 * 100 + 7);
    for (int j = 0; j < tonemap_samples; ++j) {
        EXPECT_EQ(pixels[j] % 100, j % 100) << j;
        EXPECT_LT(pixels[j] / 100, 99) << j;
    }
}

TEST(SampleGrid, ColumnAndRowImagesKeepSamplesInsideTheirOneLine) {
    const std::vector<int> column = sample_pixels(1, 10000);
    for (int j = 1; j < tonemap_samples; ++j) {
        ASSERT_GE(column[j], column[j - 1]) << j;
        ASSERT_LT(column[j], 10000) << j;
    }
    // 5000 x 1: the used samples run through grid row 0 and on into grid row 1, all on pixel row 0.
    const std::vector<int> row = sample_pixels(5000, 1);
    for (int j = 0; j < tonemap_samples; ++j) ASSERT_LT(row[j], 5000) << j;
    for (int j = 7071; j < tonemap_samples; ++j) ASSERT_EQ(row[j], row[j - 7071]) << j;
    EXPECT_EQ(row[7070], 4999);

    for (int pixel : sample_pixels(1, 1)) ASSERT_EQ(pixel, 0);
}

TEST(Decompose, SamplesLandOnTheNearestPixelsOfTheirCells) {
    // Each value encodes its column and row modulo 32 in steps of 1/1024, far coarser than the
    // rounding of the layers, so the sum of a sample's six layers tells which pixel it took.
    const int width = 3000;
    const int height = 2000;
    Image<float> input(width, height, 1);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) input.data[y * width + x] = ((x % 32) * 32 + y % 32 + 0.5f) / 1024.0f;

    Tonemap tonemap;
    Image<float> layers[6];
    const double mean = tonemap.decompose(input, layers);
    expect_constraint_layout(tonemap);

    struct Sample {
        int j, column, row;
    };
    for (const Sample& s : {Sample{0, 12, 12}, Sample{1, 36, 12}, Sample{121, 2987, 12}, Sample{122, 12, 36},
                            Sample{9999, 2889, 1987}}) {
        const double code = sampled_input(tonemap, s.j, mean) * 1024.0 - 0.5;
        const int decoded = static_cast<int>(std::lround(code));
        EXPECT_NEAR(code, decoded, 0.01) << "sample " << s.j;
        EXPECT_EQ(decoded / 32, s.column % 32) << "sample " << s.j;
        EXPECT_EQ(decoded % 32, s.row % 32) << "sample " << s.j;
    }
}

TEST(Decompose, LayersSumToTheInputMinusTheMeanAndLeaveTheInputAlone) {
    const Image<float> photo = synthetic_photo(160, 120);
    Image<float> colour;
    const Image<float> lightness = clamped_lightness(photo, colour);
    const Image<float> before = lightness;

    Tonemap tonemap;
    Image<float> layers[6];
    const double mean = tonemap.decompose(lightness, layers);

    long double exact_sum = 0;
    for (std::size_t i = 0; i < lightness.size(); ++i) exact_sum += lightness.data[i];
    EXPECT_NEAR(mean, static_cast<double>(exact_sum / lightness.size()), 1e-12);

    for (std::size_t i = 0; i < lightness.size(); ++i) {
        ASSERT_EQ(lightness.data[i], before.data[i]) << "input changed at " << i;
        double sum = 0;
        for (const Image<float>& layer : layers) {
            ASSERT_EQ(layer.width, 160);
            ASSERT_EQ(layer.height, 120);
            ASSERT_EQ(layer.channels, 1);
            sum += layer.data[i];
        }
        ASSERT_NEAR(sum, lightness.data[i] - mean, 2e-6) << "pixel " << i;
    }
    // The detail bands carry detail: a photograph is not all base layer.
    float largest_detail = 0;
    for (std::size_t i = 0; i < lightness.size(); ++i)
        largest_detail = std::max(largest_detail, std::fabs(layers[0].data[i]));
    EXPECT_GT(largest_detail, 0.01f);
    expect_constraint_layout(tonemap);
}

TEST(Decompose, ConstantInputGivesZeroLayersAndItsOwnMean) {
    // Halves add up exactly in the filters' single-precision cell sums: the layers are exactly 0.
    {
        Tonemap tonemap;
        Image<float> layers[6];
        EXPECT_EQ(tonemap.decompose(constant_image(300, 200, 1, 0.5f), layers), 0.5);
        for (const Image<float>& layer : layers)
            for (std::size_t i = 0; i < layer.size(); ++i) ASSERT_EQ(layer.data[i], 0.0f) << i;
        expect_constraint_layout(tonemap);
    }
    // A million values of 0.3: a single-precision running sum would drift far beyond 1e-12. The
    // coarse passes sum up to 375 x 375 pixels per cell in single precision, hence the 1e-3.
    Tonemap tonemap;
    Image<float> layers[6];
    const double mean = tonemap.decompose(constant_image(1000, 1000, 1, 0.3f), layers);
    EXPECT_NEAR(mean, static_cast<double>(0.3f), 1e-12);
    for (const Image<float>& layer : layers)
        for (std::size_t i = 0; i < layer.size(); ++i) ASSERT_NEAR(layer.data[i], 0.0f, 1e-3f) << i;
}

TEST(DecomposeLdr, WhiteAndBlackPixelsInLab) {
    Image<float> rgb(2, 1, 3);
    for (int c = 0; c < 3; ++c) {
        rgb.plane_data(c)[0] = 1.0f;
        rgb.plane_data(c)[1] = 0.0f;
    }
    Tonemap tonemap;
    Image<float> colour;
    Image<float> layers[6];
    const double mean = tonemap.decompose_ldr(rgb, colour, layers);

    ASSERT_EQ(colour.width, 2);
    ASSERT_EQ(colour.height, 1);
    ASSERT_EQ(colour.channels, 3);
    EXPECT_EQ(colour.plane_data(0)[0], 1.0f);
    EXPECT_NEAR(colour.plane_data(1)[0], 0.0f, 1e-6f);
    EXPECT_NEAR(colour.plane_data(2)[0], 0.0000613f, 0.000002f);
    EXPECT_GT(colour.plane_data(2)[0], 0.0f);

    EXPECT_EQ(colour.plane_data(0)[1], -0.16f);
    EXPECT_EQ(colour.plane_data(1)[1], 0.0f);
    EXPECT_EQ(colour.plane_data(2)[1], 0.0f);
    // The lightness is clamped before the decomposition: black reaches it as 0.
    EXPECT_EQ(mean, 0.5);
}

TEST(DecomposeLdr, ClampsTheLightnessItDecomposes) {
    Image<float> rgb(3, 1, 3);
    for (int c = 0; c < 3; ++c) {
        rgb.plane_data(c)[0] = 2.0f;
        rgb.plane_data(c)[1] = std::nanf("");
        rgb.plane_data(c)[2] = 0.5f;
    }
    Image<float> colour;
    const Image<float> lightness = clamped_lightness(rgb, colour);
    EXPECT_GT(colour.plane_data(0)[0], 1.0f);
    EXPECT_TRUE(std::isnan(colour.plane_data(0)[1]));
    EXPECT_EQ(lightness.channels, 1);
    EXPECT_EQ(lightness.data[0], 1.0f);
    EXPECT_EQ(lightness.data[1], 0.0f);
    EXPECT_EQ(lightness.data[2], colour.plane_data(0)[2]);
}

TEST(DecomposeHdr, NormalisedLogLuminanceSpansExactlyZeroToOneAndIgnoresScale) {
    Image<float> rgb = synthetic_photo(64, 48);
    Image<float> scaled = rgb;
    for (std::size_t i = 0; i < scaled.size(); ++i) scaled.data[i] *= 3.0f;

    Image<float> colour;
    Image<float> scaled_colour;
    const Image<float> n = normalised_log_luminance(rgb, colour);
    const Image<float> scaled_n = normalised_log_luminance(scaled, scaled_colour);

    const float* begin = n.data.get();
    const float* end = begin + n.size();
    EXPECT_EQ(*std::min_element(begin, end), 0.0f);
    EXPECT_EQ(*std::max_element(begin, end), 1.0f);
    for (std::size_t i = 0; i < n.size(); ++i)
        ASSERT_NEAR(scaled_n.data[i], n.data[i], 1e-5f) << "pixel " << i;
    for (std::size_t i = 0; i < colour.size(); ++i)
        ASSERT_NEAR(scaled_colour.data[i], colour.data[i], 1e-6f * colour.data[i]) << i;

    // Grey pixels have a ratio of 1 in every channel.
    Image<float> grey = constant_image(2, 1, 3, 0.25f);
    for (int c = 0; c < 3; ++c) grey.plane_data(c)[1] = 0.5f;
    const Image<float> grey_n = normalised_log_luminance(grey, colour);
    for (std::size_t i = 0; i < colour.size(); ++i) EXPECT_FLOAT_EQ(colour.data[i], 1.0f);
    EXPECT_EQ(grey_n.data[0], 0.0f);
    EXPECT_EQ(grey_n.data[1], 1.0f);

    Tonemap tonemap;
    Image<float> layers[6];
    const double mean = tonemap.decompose_hdr(rgb, colour, layers);
    EXPECT_GT(mean, 0.0);
    EXPECT_LT(mean, 1.0);
    expect_constraint_layout(tonemap);
}

TEST(Constraints, InitShapesTheProblemAndLoadedValuesComeBackUnchanged) {
    Tonemap tonemap;
    EXPECT_EQ(tonemap.CI.rows(), 0u);
    EXPECT_EQ(tonemap.g0.size(), 0u);

    std::vector<double> values(120006);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = (i % 7 == 0) ? -0.0 : i * 0.37 - 9000;
    tonemap.G.resize(6, 6);
    tonemap.G[2][3] = 5.0;
    tonemap.read_constraints(values.data());

    ASSERT_EQ(tonemap.G.rows(), 6u);
    ASSERT_EQ(tonemap.G.cols(), 6u);
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j) EXPECT_EQ(tonemap.G[i][j], i == j ? 1.0 : 0.0);
    EXPECT_EQ(tonemap.CE.rows(), 6u);
    EXPECT_EQ(tonemap.CE.cols(), 0u);
    EXPECT_EQ(tonemap.g0.size(), 6u);
    EXPECT_EQ(tonemap.ce0.size(), 0u);
    ASSERT_EQ(tonemap.ci0.size(), 20001u);
    EXPECT_EQ(tonemap.ci0[20000], 0.0);
    EXPECT_EQ(tonemap.CI[1][0], values[20001]);

    std::vector<double> written(120006, 1.0);
    tonemap.write_constraints(written.data());
    for (std::size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(written[i], values[i]) << i;
        ASSERT_EQ(std::signbit(written[i]), std::signbit(values[i])) << i;
    }
}
