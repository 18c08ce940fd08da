#include "imaging/bilateral.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>
#include <vector>

#include "tests/same_bits.hpp"

namespace {

const double k1 = 0.6065f;
const double k2 = 0.1353f;

/// A plainly written bilateral grid filter: the same formulas, no tables, no strides, bounds checked.
struct NaiveFilter {
    int nx = 0, ny = 0, nz = 0;
    std::vector<float> p, q, out;

    NaiveFilter(const std::vector<float>& data, const std::vector<float>& edge, int w, int h, float s,
                float r) {
        nx = static_cast<int>((w - 1) / double(s) + 0.5);
        ny = static_cast<int>((h - 1) / double(s) + 0.5);
        nz = static_cast<int>(1 / double(r) + 0.5);
        std::vector<float> value(cells(), 0.0f), weight(cells(), 0.0f);

        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const int i = static_cast<int>(x / double(s) + 0.5) + 2;
                const int j = static_cast<int>(y / double(s) + 0.5) + 2;
                const int k = static_cast<int>(edge[y * w + x] / double(r) + 0.5) + 2;
                value.at(index(i, j, k)) += data[y * w + x];
                weight.at(index(i, j, k)) += 1.0f;
            }
        }

        for (int axis = 0; axis < 3; ++axis) {
            blur(value, axis);
            blur(weight, axis);
        }

        double qmax = 0;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const double fx = x / double(s) + 2, fy = y / double(s) + 2;
                const double fz = edge[y * w + x] / double(r) + 2;
                const int i0 = int(fx), j0 = int(fy), k0 = int(fz);
                const double ax = fx - i0, ay = fy - j0, az = fz - k0;
                double sum_p = 0, sum_q = 0;
                for (int dk = 0; dk < 2; ++dk) {
                    for (int dj = 0; dj < 2; ++dj) {
                        for (int di = 0; di < 2; ++di) {
                            const double wgt = (di ? ax : 1 - ax) * (dj ? ay : 1 - ay) * (dk ? az : 1 - az);
                            sum_p += wgt * value.at(index(i0 + di, j0 + dj, k0 + dk));
                            sum_q += wgt * weight.at(index(i0 + di, j0 + dj, k0 + dk));
                        }
                    }
                }
                p.push_back(static_cast<float>(sum_p));
                q.push_back(static_cast<float>(sum_q));
                qmax = std::max(qmax, double(q.back()));
            }
        }
        for (std::size_t n = 0; n < p.size(); ++n) {
            const double f = q[n] > 0 ? double(p[n]) / q[n] : p[n];
            const double c = q[n] / qmax;
            out.push_back(static_cast<float>(c * f + (1 - c) * data[n]));
        }
    }

    std::size_t cells() const { return std::size_t(nx + 5) * (ny + 5) * (nz + 5); }
    std::size_t index(int i, int j, int k) const {
        return i + std::size_t(nx + 5) * (j + std::size_t(ny + 5) * k);
    }

    void blur(std::vector<float>& grid, int axis) const {
        const std::vector<float> copy = grid;
        const double taps[5] = {k2, k1, 1, k1, k2};
        for (int k = 2; k <= nz + 2; ++k) {
            for (int j = 2; j <= ny + 2; ++j) {
                for (int i = 2; i <= nx + 2; ++i) {
                    double sum = 0;
                    for (int d = -2; d <= 2; ++d) {
                        const std::size_t at =
                            index(i + (axis == 0 ? d : 0), j + (axis == 1 ? d : 0), k + (axis == 2 ? d : 0));
                        sum += taps[d + 2] * copy.at(at);
                    }
                    grid[index(i, j, k)] = static_cast<float>(sum);
                }
            }
        }
    }
};

/// An image whose first plane holds `values`; further planes hold a value the filters must ignore.
Image<float> to_image(const std::vector<float>& values, int w, int h, int channels = 1) {
    Image<float> image(w, h, channels);
    std::fill(image.data.get(), image.data.get() + image.size(), 7.0f);
    std::copy(values.begin(), values.end(), image.data.get());
    return image;
}

/// A photo-like test pair: a gradient with a bright disc and noise, and its edge image in [0, 1]
/// that includes the extremes 0 and 1. A non-zero `wild` mixes in data values of +-wild that cancel
/// each other exactly in some sums, so that a change in the order or precision of a sum shows.
struct Scene {
    int w, h;
    std::vector<float> data, edge;

    Scene(int width, int height, unsigned seed, float wild = 0.0f) : w(width), h(height) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const bool disc = (x - w / 3) * (x - w / 3) + (y - h / 2) * (y - h / 2) < h * h / 8;
                const float v = 0.3f * x / w + 0.2f * y / h + (disc ? 0.4f : 0.0f) + noise(random);
                const unsigned pick = random() % 3;
                data.push_back(wild == 0.0f || pick == 0 ? v : pick == 1 ? wild : -wild);
                edge.push_back(std::min(1.0f, std::max(0.0f, 1.6f * v - 0.2f)));
            }
        }
    }
};

TEST(Cblf, AgreesWithPlainEvaluationValueForValue) {
    for (const auto& [s, r, wild] :
         {std::tuple{2.7f, 0.13f, 0.0f}, std::tuple{1.0f, 0.25f, 0.0f}, std::tuple{5.3f, 0.05f, 0.0f},
          std::tuple{1.0f, 0.13f, 1e12f}, std::tuple{2.7f, 0.13f, 1e12f}, std::tuple{1.0f, 0.13f, 1e20f},
          std::tuple{1.4f, 0.3f, 1e20f}}) {
        SCOPED_TRACE(testing::Message() << "s " << s << ", r " << r << ", wild " << wild);
        const Scene scene(37, 23, 1, wild);
        const Image<float> data = to_image(scene.data, scene.w, scene.h, 3);
        const Image<float> edge = to_image(scene.edge, scene.w, scene.h, 2);
        const NaiveFilter naive(scene.data, scene.edge, scene.w, scene.h, s, r);
        EXPECT_TRUE(same_bits(naive.out, cblf(data, edge, s, r)));
        EXPECT_TRUE(std::equal(scene.data.begin(), scene.data.end(), data.data.get()));
        EXPECT_TRUE(std::equal(scene.edge.begin(), scene.edge.end(), edge.data.get()));
    }
}

TEST(Cblf, FiveTapSumsRunFromTheFarLeftTap) {
    // The two left taps cancel exactly, so the centre value survives only when they are added first.
    const float big = std::ldexp(1.0f, 60);
    const std::vector<float> data{float(k1) * big, float(-k2) * big, 1, 0, 0};
    const std::vector<float> edge(5, 0.5f);
    const NaiveFilter naive(data, edge, 5, 1, 1.0f, 0.25f);
    EXPECT_TRUE(same_bits(naive.out, cblf(to_image(data, 5, 1), to_image(edge, 5, 1), 1.0f, 0.25f)));
    EXPECT_EQ(naive.p[2], 1.0f);
}

TEST(Cblf, PixelsWithTheLargestSlicedWeightGetExactlyPOverQ) {
    const Scene scene(37, 23, 2);
    const NaiveFilter naive(scene.data, scene.edge, scene.w, scene.h, 3.1f, 0.2f);
    const Image<float> result =
        cblf(to_image(scene.data, scene.w, scene.h), to_image(scene.edge, scene.w, scene.h), 3.1f, 0.2f);
    const float qmax = *std::max_element(naive.q.begin(), naive.q.end());
    int found = 0;
    for (std::size_t n = 0; n < naive.q.size(); ++n) {
        if (naive.q[n] == qmax) {
            ++found;
            EXPECT_EQ(result.data[n], naive.p[n] / naive.q[n]);
        }
    }
    EXPECT_GE(found, 1);
}

TEST(Cblf, OnePixelKeepsItsValue) {
    for (const float e : {0.0f, 0.37f, 0.5f, 1.0f}) {
        const Image<float> data = to_image({0.8125f}, 1, 1);
        const Image<float> result = cblf(data, to_image({e}, 1, 1), 4.0f, 0.3f);
        ASSERT_EQ(result.width, 1);
        ASSERT_EQ(result.height, 1);
        EXPECT_FLOAT_EQ(result.data[0], 0.8125f) << "edge " << e;
    }
}

TEST(Cblf, ConstantImageStaysConstant) {
    const Scene scene(31, 17, 4);
    const std::vector<float> constant(scene.data.size(), 0.42f);
    const Image<float> result = cblf(to_image(constant, 31, 17), to_image(scene.edge, 31, 17), 3.3f, 0.1f);
    for (std::size_t n = 0; n < constant.size(); ++n) ASSERT_NEAR(result.data[n], 0.42f, 4e-7f) << n;
}

TEST(Cblf, RowAndColumnAreFilteredAlongTheirOneDimension) {
    const Scene scene(29, 1, 5);
    const Image<float> row = cblf(to_image(scene.data, 29, 1), to_image(scene.edge, 29, 1), 2.2f, 0.2f);
    const Image<float> column = cblf(to_image(scene.data, 1, 29), to_image(scene.edge, 1, 29), 2.2f, 0.2f);
    ASSERT_EQ(column.width, 1);
    ASSERT_EQ(column.height, 29);
    const NaiveFilter naive(scene.data, scene.edge, 29, 1, 2.2f, 0.2f);
    EXPECT_EQ(naive.ny, 0);
    EXPECT_TRUE(same_bits(naive.out, row)) << "row";
    EXPECT_TRUE(same_bits(naive.out, column)) << "column";
    EXPECT_NE(naive.out, scene.data);
}

TEST(Cblf, EdgeValuesZeroAndOneLandInTheFirstAndLastInnerCells) {
    // With r = 0.5 the edge axis has three inner cells, so 0 and 1 lie two cells apart: each pixel's
    // own cell gains the far tap of what the x pass spread from the other pixel by the near tap.
    const float a = 0.25f, b = 0.75f;
    const Image<float> result = cblf(to_image({a, b}, 2, 1), to_image({0.0f, 1.0f}, 2, 1), 1.0f, 0.5f);
    const float q = static_cast<float>(1 + k2 * k1);
    EXPECT_EQ(result.data[0], static_cast<float>(a + k2 * static_cast<float>(k1 * b)) / q);
    EXPECT_EQ(result.data[1], static_cast<float>(b + k2 * static_cast<float>(k1 * a)) / q);
}

TEST(Tblf, SecondPassUsesThreeTimesTheStepAndAThirdOfTheRange) {
    const Scene scene(64, 48, 6);
    const Image<float> data = to_image(scene.data, 64, 48);
    const Image<float> edge = to_image(scene.edge, 64, 48);
    const NaiveFilter first(scene.data, scene.edge, 64, 48, 5.0f, 0.05f);
    const NaiveFilter second(first.out, scene.edge, 64, 48, 15.0f, 0.016666668f);
    EXPECT_EQ(0.05f / 3.0f, 0.016666668f);
    EXPECT_EQ(second.nz, 60);
    EXPECT_TRUE(same_bits(second.out, tblf(data, edge, 5.0f, 0.05f)));
}

}  // namespace
