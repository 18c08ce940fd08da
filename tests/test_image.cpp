#include "imaging/image.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "tests/same_bits.hpp"

namespace {

/// An image of the given sizes holding the values in storage order.
template <typename T>
Image<T> make_image(int width, int height, int channels, std::initializer_list<T> values) {
    Image<T> image(width, height, channels);
    EXPECT_EQ(values.size(), image.size());
    std::copy(values.begin(), values.end(), image.data.get());
    return image;
}

/// An image of the given sizes filled with reproducible values in [lo, hi).
Image<float> random_image(int width, int height, int channels, float lo, float hi, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(lo, hi);
    Image<float> image(width, height, channels);
    for (std::size_t i = 0; i < image.size(); ++i) image.data[i] = distribution(generator);
    return image;
}

/// Equal sizes and values within the tolerance (NaN matching NaN), or the first pixel beyond it
/// with both values.
template <typename T>
::testing::AssertionResult near_image(const Image<T>& expected, const Image<T>& actual, double tolerance) {
    if (expected.width != actual.width || expected.height != actual.height ||
        expected.channels != actual.channels) {
        return ::testing::AssertionFailure()
               << "sizes differ: expected " << expected.width << " x " << expected.height << " x "
               << expected.channels << ", got " << actual.width << " x " << actual.height << " x "
               << actual.channels;
    }
    for (int c = 0; c < expected.channels; ++c) {
        for (int y = 0; y < expected.height; ++y) {
            for (int x = 0; x < expected.width; ++x) {
                const std::size_t i =
                    (static_cast<std::size_t>(c) * expected.height + y) * expected.width + x;
                const double e = static_cast<double>(expected.data[i]);
                const double a = static_cast<double>(actual.data[i]);
                const bool both_nan = std::isnan(e) && std::isnan(a);
                if (!both_nan && !(e == a || std::fabs(e - a) <= tolerance)) {
                    std::ostringstream text;
                    text.precision(std::numeric_limits<double>::max_digits10);
                    text << "first difference at x " << x << ", y " << y << ", plane " << c << ": expected "
                         << e << ", got " << a;
                    return ::testing::AssertionFailure() << text.str();
                }
            }
        }
    }
    return ::testing::AssertionSuccess();
}

/// The mean of the first plane over the clipped window [x - before, x + after] x [y - above, y + below].
Image<float> reference_box(const Image<float>& in, int before_x, int after_x, int before_y, int after_y) {
    Image<float> out(in.width, in.height, 1);
    for (int y = 0; y < in.height; ++y) {
        for (int x = 0; x < in.width; ++x) {
            double sum = 0.0;
            int count = 0;
            for (int v = std::max(y - before_y, 0); v <= std::min(y + after_y, in.height - 1); ++v) {
                for (int u = std::max(x - before_x, 0); u <= std::min(x + after_x, in.width - 1); ++u) {
                    sum += in.data[static_cast<std::size_t>(v) * in.width + u];
                    ++count;
                }
            }
            out.data[static_cast<std::size_t>(y) * in.width + x] = static_cast<float>(sum / count);
        }
    }
    return out;
}

// --- Container ---------------------------------------------------------------------------------

template <typename T>
class ImageContainerTest : public ::testing::Test {};
using PixelTypes = ::testing::Types<unsigned char, float, double>;
TYPED_TEST_SUITE(ImageContainerTest, PixelTypes);

TYPED_TEST(ImageContainerTest, CopyOwnsItsValuesAndLeavesSourceIntact) {
    using T = TypeParam;
    const Image<T> source = make_image<T>(2, 1, 2, {1, 2, 3, 4});
    Image<T> copy(source);
    EXPECT_NE(copy.data.get(), source.data.get());
    EXPECT_TRUE(same_bits(source, copy));
    copy.data[0] = 9;
    EXPECT_TRUE(same_bits(make_image<T>(2, 1, 2, {1, 2, 3, 4}), source));

    Image<T> assigned = make_image<T>(3, 3, 1, {0, 0, 0, 0, 0, 0, 0, 0, 0});
    assigned = source;
    EXPECT_NE(assigned.data.get(), source.data.get());
    EXPECT_TRUE(same_bits(source, assigned));
    assigned.data[3] = 9;
    EXPECT_EQ(T(4), source.data[3]);
}

TYPED_TEST(ImageContainerTest, MoveHandsBufferOverAndLeavesSourceEmpty) {
    using T = TypeParam;
    Image<T> source = make_image<T>(2, 1, 2, {1, 2, 3, 4});
    const T* const buffer = source.data.get();

    Image<T> moved(std::move(source));
    EXPECT_EQ(buffer, moved.data.get());
    EXPECT_TRUE(same_bits(make_image<T>(2, 1, 2, {1, 2, 3, 4}), moved));
    EXPECT_EQ(nullptr, source.data.get());
    EXPECT_EQ(0, source.width);
    EXPECT_EQ(0, source.height);
    EXPECT_EQ(0, source.channels);
    EXPECT_EQ(0u, source.size());

    Image<T> assigned = make_image<T>(1, 1, 1, {7});
    assigned = std::move(moved);
    EXPECT_EQ(buffer, assigned.data.get());
    EXPECT_EQ(nullptr, moved.data.get());
    EXPECT_EQ(0u, moved.size());

    const Image<T> copy_of_empty(moved);
    EXPECT_EQ(nullptr, copy_of_empty.data.get());
    EXPECT_EQ(0u, copy_of_empty.size());
}

TYPED_TEST(ImageContainerTest, PlaneExtractionCopiesOnePlane) {
    using T = TypeParam;
    const Image<T> image = make_image<T>(2, 2, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    EXPECT_TRUE(same_bits(make_image<T>(2, 2, 1, {5, 6, 7, 8}), plane(image, 1)));
    EXPECT_TRUE(same_bits(make_image<T>(2, 2, 1, {9, 10, 11, 12}), plane(image, 2)));
}

TEST(ImageContainer, ConvertingConstructionTruncatesTowardZero) {
    const Image<float> image = make_image<float>(4, 1, 1, {0.0f, 2.9f, 254.99f, 255.0f});
    EXPECT_TRUE(same_bits(make_image<unsigned char>(4, 1, 1, {0, 2, 254, 255}), Image<unsigned char>(image)));
    EXPECT_TRUE(same_bits(make_image<double>(4, 1, 1, {0.0, double(2.9f), double(254.99f), 255.0}),
                          Image<double>(image)));
}

// --- Element-wise operations ---------------------------------------------------------------------

template <typename T>
class ElementWiseTest : public ::testing::Test {};
using FloatingTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ElementWiseTest, FloatingTypes);

TYPED_TEST(ElementWiseTest, MaximumAndMinimumTurnNaNIntoTheScalar) {
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const Image<T> image = make_image<T>(4, 1, 1, {-1, 0.5, 2, nan});
    EXPECT_TRUE(same_bits(make_image<T>(4, 1, 1, {0, 0.5, 2, 0}), maximum(image, T(0))));
    EXPECT_TRUE(same_bits(make_image<T>(4, 1, 1, {-1, 0.5, 1, 1}), minimum(image, T(1))));
}

TYPED_TEST(ElementWiseTest, ArithmeticIsRoundedToTheElementType) {
    using T = TypeParam;
    const Image<T> image = make_image<T>(3, 1, 1, {T(0.1), 2, 3});
    EXPECT_TRUE(same_bits(make_image<T>(3, 1, 1, {T(T(0.1) * T(3)), 6, 9}), image * T(3)));
    EXPECT_TRUE(same_bits(make_image<T>(3, 1, 1, {T(T(0.1) / T(3)), T(T(2) / T(3)), 1}), image / T(3)));
    // The exponent keeps the exact value it was given: 0.45f is not the double 0.45.
    EXPECT_TRUE(same_bits(make_image<T>(3, 1, 1,
                                        {T(std::pow(double(T(0.1)), double(0.45f))),
                                         T(std::pow(2.0, double(0.45f))), T(std::pow(3.0, double(0.45f)))}),
                          power(image, 0.45f)));
    EXPECT_TRUE(same_bits(
        make_image<T>(3, 1, 1,
                      {T(std::pow(double(T(0.1)), 0.45)), T(std::pow(2.0, 0.45)), T(std::pow(3.0, 0.45))}),
        power(image, 0.45)));
    EXPECT_TRUE(std::isnan(power(make_image<T>(1, 1, 1, {-1}), 0.45).data[0]));
}

TYPED_TEST(ElementWiseTest, MovedOperandIsReusedInPlace) {
    using T = TypeParam;
    Image<T> image = make_image<T>(2, 1, 1, {4, 9});
    const T* const buffer = image.data.get();
    const Image<T> result = power(maximum(minimum(std::move(image) * T(2), T(100)), T(0)) / T(2), 0.5);
    EXPECT_EQ(buffer, result.data.get());
    EXPECT_TRUE(same_bits(make_image<T>(2, 1, 1, {2, 3}), result));
}

// --- Pixel-type conversions -----------------------------------------------------------------------

template <typename T>
void expect_byte_clamping() {
    const T inf = std::numeric_limits<T>::infinity();
    const Image<T> image = make_image<T>(
        9, 1, 1, {-1, 0, T(0.5), T(0.999), 1, 2, std::numeric_limits<T>::quiet_NaN(), inf, -inf});
    EXPECT_TRUE(
        same_bits(make_image<unsigned char>(9, 1, 1, {0, 0, 127, 254, 255, 255, 0, 255, 0}), im2byte(image)));
}

TEST(PixelConversion, FloatToByteClampsScalesAndTruncates) { expect_byte_clamping<float>(); }

TEST(PixelConversion, DoubleToByteClampsScalesAndTruncates) { expect_byte_clamping<double>(); }

TEST(PixelConversion, BoolToByteGivesBlackAndWhite) {
    const Image<bool> image = make_image<bool>(2, 1, 1, {true, false});
    EXPECT_TRUE(same_bits(make_image<unsigned char>(2, 1, 1, {255, 0}), im2byte(image)));
}

TEST(PixelConversion, BytesToFloatingDivideBy255) {
    Image<unsigned char> bytes(256, 1, 1);
    for (int v = 0; v < 256; ++v) bytes.data[v] = static_cast<unsigned char>(v);
    const Image<float> floats = im2float(bytes);
    const Image<double> doubles = im2double(bytes);
    EXPECT_EQ(0.0f, floats.data[0]);
    EXPECT_EQ(1.0f, floats.data[255]);
    EXPECT_EQ(1.0, doubles.data[255]);
    for (int v = 0; v < 256; ++v) {
        EXPECT_EQ(static_cast<float>(v) / 255.0f, floats.data[v]) << v;
        EXPECT_EQ(static_cast<double>(v) / 255.0, doubles.data[v]) << v;
    }
}

TEST(PixelConversion, ZeroElementImagesKeepTheirSizes) {
    EXPECT_TRUE(same_bits(Image<unsigned char>(0, 2, 3), im2byte(Image<float>(0, 2, 3))));
    EXPECT_TRUE(same_bits(Image<float>(4, 0, 1), im2float(Image<unsigned char>(4, 0, 1))));
    EXPECT_TRUE(same_bits(Image<double>(), im2double(Image<unsigned char>())));
}

// --- Rotation -------------------------------------------------------------------------------------

template <typename T>
class FlipTest : public ::testing::Test {
protected:
    // 3 x 2, two planes:  1 2 3 / 4 5 6  and  11 12 13 / 14 15 16.
    const Image<T> input = make_image<T>(3, 2, 2, {1, 2, 3, 4, 5, 6, 11, 12, 13, 14, 15, 16});
    const Image<T> counter_clockwise = make_image<T>(2, 3, 2, {3, 6, 2, 5, 1, 4, 13, 16, 12, 15, 11, 14});
    const Image<T> half_turn = make_image<T>(3, 2, 2, {6, 5, 4, 3, 2, 1, 16, 15, 14, 13, 12, 11});
    const Image<T> clockwise = make_image<T>(2, 3, 2, {4, 1, 5, 2, 6, 3, 14, 11, 15, 12, 16, 13});
};
using FlipTypes = ::testing::Types<unsigned char, float>;
TYPED_TEST_SUITE(FlipTest, FlipTypes);

TYPED_TEST(FlipTest, QuarterTurnsActByTheirRemainder) {
    EXPECT_TRUE(same_bits(this->input, flip(this->input, 0)));
    EXPECT_TRUE(same_bits(this->counter_clockwise, flip(this->input, 1)));
    EXPECT_TRUE(same_bits(this->half_turn, flip(this->input, 2)));
    EXPECT_TRUE(same_bits(this->clockwise, flip(this->input, 3)));
    EXPECT_TRUE(same_bits(this->input, flip(this->input, 4)));
    EXPECT_TRUE(same_bits(this->counter_clockwise, flip(this->input, 5)));
    EXPECT_TRUE(same_bits(this->input, flip(this->input, 8)));
}

TYPED_TEST(FlipTest, NegativeCountTurnsByItsNonNegativeRemainder) {
    EXPECT_TRUE(same_bits(this->clockwise, flip(this->input, -1)));
    EXPECT_TRUE(same_bits(this->half_turn, flip(this->input, -2)));
    EXPECT_TRUE(same_bits(this->counter_clockwise, flip(this->input, -3)));
    EXPECT_TRUE(same_bits(this->input, flip(this->input, -4)));
    EXPECT_TRUE(same_bits(this->clockwise, flip(this->input, -5)));
}

TYPED_TEST(FlipTest, WholeTurnCopiesOrHandsOverAMovedBuffer) {
    Image<TypeParam> source(this->input);
    Image<TypeParam> copy = flip(source, 4);
    EXPECT_NE(copy.data.get(), source.data.get());
    EXPECT_TRUE(same_bits(this->input, source));

    const TypeParam* const buffer = source.data.get();
    const Image<TypeParam> moved = flip(std::move(source), 0);
    EXPECT_EQ(buffer, moved.data.get());
    EXPECT_EQ(nullptr, source.data.get());

    Image<TypeParam> turned_source(this->input);
    EXPECT_TRUE(same_bits(this->clockwise, flip(std::move(turned_source), 3)));
}

TEST(Flip, TurnsComposeOnALargerImage) {
    const Image<float> image = random_image(37, 23, 3, 0.0f, 1.0f, 7);
    EXPECT_TRUE(same_bits(image, flip(flip(image, 1), 3)));
    EXPECT_TRUE(same_bits(image, flip(flip(flip(flip(image, 1), 1), 1), 1)));
    EXPECT_TRUE(same_bits(flip(image, 2), flip(flip(image, 1), 1)));
}

// --- Padding --------------------------------------------------------------------------------------

TEST(Pad, PlacesTheInputAtTheOffsetAmongZeros) {
    const Image<float> image = make_image<float>(2, 2, 1, {1, 2, 3, 4});
    const Image<float> padded = pad(image, Tuple3<int>{1, 2, 1}, Tuple3<int>{2, 0, 1});
    Image<float> expected(5, 4, 3);
    std::fill(expected.data.get(), expected.data.get() + expected.size(), 0.0f);
    float* const middle = expected.plane_data(1);
    middle[2 * 5 + 1] = 1;
    middle[2 * 5 + 2] = 2;
    middle[3 * 5 + 1] = 3;
    middle[3 * 5 + 2] = 4;
    EXPECT_TRUE(same_bits(expected, padded));
}

// --- Box filter -----------------------------------------------------------------------------------

// 4 x 2, two planes; the mean of all sixteen values is 4, so every box mean below is exact.
Image<float> box_input() {
    return make_image<float>(4, 2, 2, {1, 3, 5, 7, 2, 4, 6, 8, 3, 3, 3, 3, 4, 4, 4, 4});
}

TEST(BoxFilter, TwoByOneWindowTakesTheRightOrLeftNeighbour) {
    const Image<float> image = box_input();
    EXPECT_TRUE(same_bits(make_image<float>(4, 2, 1, {2, 4, 6, 7, 3, 5, 7, 8}),
                          box_filter(image, Tuple2<float>{2.0f, 1.0f}, false)));
    EXPECT_TRUE(same_bits(make_image<float>(4, 2, 1, {1, 2, 4, 6, 2, 3, 5, 7}),
                          box_filter(image, Tuple2<float>{2.0f, 1.0f}, true)));
}

TEST(BoxFilter, OneByTwoWindowTakesTheRowBelowOrAbove) {
    const Image<float> image = box_input();
    EXPECT_TRUE(same_bits(make_image<float>(4, 2, 1, {1.5f, 3.5f, 5.5f, 7.5f, 2, 4, 6, 8}),
                          box_filter(image, Tuple2<float>{1.0f, 2.0f}, false)));
    EXPECT_TRUE(same_bits(make_image<float>(4, 2, 1, {1, 3, 5, 7, 1.5f, 3.5f, 5.5f, 7.5f}),
                          box_filter(image, Tuple2<float>{1.0f, 2.0f}, true)));
}

TEST(BoxFilter, WholeImageWindowGivesTheFirstPlaneMean) {
    const Image<float> image = box_input();
    const Image<float> expected =
        make_image<float>(4, 2, 1, {4.5f, 4.5f, 4.5f, 4.5f, 4.5f, 4.5f, 4.5f, 4.5f});
    for (bool shift : {false, true}) {
        EXPECT_TRUE(same_bits(expected, box_filter(image, Tuple2<float>{7.0f, 3.0f}, shift)));
        EXPECT_TRUE(same_bits(expected, box_filter(image, Tuple2<float>{1e30f, 1e30f}, shift)));
    }
}

TEST(BoxFilter, UnitWindowCopiesEveryPlane) {
    const Image<float> image = box_input();
    for (const Tuple2<float> size :
         {Tuple2<float>{1.0f, 1.0f}, Tuple2<float>{1.49f, 0.2f}, Tuple2<float>{0.0f, 0.0f},
          Tuple2<float>{-3.0f, 1.4f}, Tuple2<float>{std::nanf(""), 1.0f}}) {
        EXPECT_TRUE(same_bits(image, box_filter(image, size, false))) << size.x << " x " << size.y;
    }
    Image<float> source = box_input();
    const float* const buffer = source.data.get();
    EXPECT_EQ(buffer, box_filter(std::move(source), Tuple2<float>{1.0f, 1.0f}, true).data.get());
}

TEST(BoxFilter, MatchesDirectWindowMeans) {
    const Image<float> image = random_image(13, 9, 2, -2.0f, 5.0f, 11);
    struct Case {
        Tuple2<float> size;
        bool shift;
        int before_x, after_x, before_y, after_y;
    };
    for (const Case& t : {Case{{3.0f, 5.0f}, false, 1, 1, 2, 2}, Case{{4.0f, 2.0f}, false, 1, 2, 0, 1},
                          Case{{4.0f, 2.0f}, true, 2, 1, 1, 0}, Case{{2.6f, 0.4f}, true, 1, 1, 0, 0},
                          Case{{1.5f, 6.4f}, false, 0, 1, 2, 3}, Case{{20.0f, 1.0f}, true, 10, 9, 0, 0}}) {
        EXPECT_TRUE(near_image(reference_box(image, t.before_x, t.after_x, t.before_y, t.after_y),
                               box_filter(image, t.size, t.shift), 1e-5))
            << t.size.x << " x " << t.size.y << (t.shift ? " shifted" : "");
    }
}

// --- Resizing -------------------------------------------------------------------------------------

TEST(Resize, SameSizeNearestKeepsEveryValue) {
    const Image<float> image = random_image(5, 3, 2, 0.0f, 1.0f, 3);
    EXPECT_TRUE(same_bits(image, resize(image, Tuple2<int>{5, 3}, false, false)));
    EXPECT_TRUE(same_bits(image, resize(image, Tuple2<int>{5, 3}, false, true)));
}

TEST(Resize, HalvingNearestTakesTheSecondPixelOfEachPair) {
    const Image<float> image = random_image(6, 4, 2, 0.0f, 1.0f, 5);
    Image<float> expected(3, 2, 2);
    for (int c = 0; c < 2; ++c)
        for (int j = 0; j < 2; ++j)
            for (int i = 0; i < 3; ++i)
                expected.plane_data(c)[j * 3 + i] = image.plane_data(c)[(2 * j + 1) * 6 + 2 * i + 1];
    EXPECT_TRUE(same_bits(expected, resize(image, Tuple2<int>{3, 2}, false, false)));
}

TEST(Resize, WidthOneNearestTakesTheMiddleColumn) {
    const Image<float> odd = make_image<float>(5, 2, 1, {0, 1, 2, 3, 4, 10, 11, 12, 13, 14});
    EXPECT_TRUE(same_bits(make_image<float>(1, 2, 1, {2, 12}), resize(odd, Tuple2<int>{1, 2}, false, false)));
    const Image<float> even = make_image<float>(4, 2, 1, {0, 1, 2, 3, 10, 11, 12, 13});
    EXPECT_TRUE(
        same_bits(make_image<float>(1, 2, 1, {2, 12}), resize(even, Tuple2<int>{1, 2}, false, false)));
}

TEST(Resize, BilinearEnlargingTakesTheBorderFromTheLastColumnAndRowAlone) {
    // Output centres at x = 0 (clamped), 0.25, 0.75, 1.25, 1.75, 2 (clamped); y = 0, 0.25, 0.75, 1.
    const Image<float> image = make_image<float>(3, 2, 2, {0, 16, 32, 64, 80, 96, 160, 128, 96, 32, 0, 64});
    const Image<float> result = resize(image, Tuple2<int>{6, 4}, true, false);
    ASSERT_EQ(6, result.width);
    ASSERT_EQ(4, result.height);
    ASSERT_EQ(2, result.channels);
    const auto at = [&result](int x, int y, int c) { return result.plane_data(c)[y * 6 + x]; };
    EXPECT_EQ(20.0f, at(1, 1, 0));  // 0.5625 * 0 + 0.1875 * 16 + 0.1875 * 64 + 0.0625 * 80
    const float last_column[2][4] = {{32, 48, 80, 96}, {96, 88, 72, 64}};
    const float last_row[2][6] = {{64, 68, 76, 84, 92, 96}, {32, 24, 8, 16, 48, 64}};
    for (int c = 0; c < 2; ++c) {
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(last_column[c][j], at(5, j, c)) << "row " << j << ", plane " << c;
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(last_row[c][i], at(i, 3, c)) << "column " << i << ", plane " << c;
    }
}

TEST(Resize, PrefilterAveragesOverTheScaleFactors) {
    // Thirds of a 6 x 6 ramp: two 3-wide box passes, then the centre of each 3 x 3 block.
    Image<float> image(6, 6, 2);
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 6; ++x) {
            image.plane_data(0)[y * 6 + x] = static_cast<float>(x);
            image.plane_data(1)[y * 6 + x] = static_cast<float>(y);
        }
    }
    const float near = (0.5f + 1.0f + 2.0f) / 3.0f;
    const float far = (3.0f + 4.0f + 4.5f) / 3.0f;
    EXPECT_TRUE(near_image(make_image<float>(2, 2, 2, {near, far, near, far, near, near, far, far}),
                           resize(image, Tuple2<int>{2, 2}, false, true), 1e-5));
}

TEST(Resize, PrefilterBelowOneAndAHalfChangesNothing) {
    const Image<float> image = random_image(4, 4, 1, 0.0f, 1.0f, 9);
    for (bool bilinear : {false, true}) {
        EXPECT_TRUE(same_bits(resize(image, Tuple2<int>{3, 3}, bilinear, false),
                              resize(image, Tuple2<int>{3, 3}, bilinear, true)));
    }
}

TEST(Resize, EmptyImageGivesAnImageWithoutValues) {
    for (bool bilinear : {false, true})
        for (bool prefilter : {false, true})
            EXPECT_TRUE(
                same_bits(Image<float>(), resize(Image<float>(), Tuple2<int>{0, 0}, bilinear, prefilter)));
}

// --- Inputs stay untouched --------------------------------------------------------------------------

TEST(ImageOperations, NoOperationChangesItsInput) {
    const Image<float> original = random_image(6, 5, 3, -0.5f, 1.5f, 13);
    const Image<float> image(original);
    (void)maximum(image, 0.5f);
    (void)minimum(image, 0.5f);
    (void)(image * 2.0f);
    (void)(image / 2.0f);
    (void)power(image, 0.45);
    (void)plane(image, 2);
    (void)im2byte(image);
    for (int k = 0; k < 4; ++k) (void)flip(image, k);
    (void)pad(image, Tuple3<int>{1, 1, 1}, Tuple3<int>{1, 1, 1});
    (void)box_filter(image, Tuple2<float>{1.0f, 1.0f}, false);
    (void)box_filter(image, Tuple2<float>{3.0f, 2.0f}, true);
    for (bool bilinear : {false, true})
        for (bool prefilter : {false, true}) (void)resize(image, Tuple2<int>{2, 3}, bilinear, prefilter);
    EXPECT_TRUE(same_bits(original, image));

    const Image<unsigned char> bytes = im2byte(original);
    const Image<unsigned char> byte_copy(bytes);
    (void)im2float(bytes);
    (void)im2double(bytes);
    (void)flip(bytes, 1);
    EXPECT_TRUE(same_bits(byte_copy, bytes));
}

}  // namespace
