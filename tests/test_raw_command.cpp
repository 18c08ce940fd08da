#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "app/raw_command.hpp"
#include "tests/same_bits.hpp"

namespace {

struct ReducedCase {
    int width, height, reduced_width, reduced_height;
};

TEST(RawReducedSize, LongerSideComesDownTo800) {
    const ReducedCase cases[] = {
        {4000, 3000, 800, 600}, {3000, 4000, 600, 800}, {800, 600, 800, 600},
        {600, 800, 600, 800},   {1000, 1000, 800, 800}, {801, 10, 800, 9},
        {10, 801, 9, 800},      {1078, 1078, 799, 800}, {0, 0, 0, 0},
    };
    for (const ReducedCase& c : cases) {
        const Tuple2<int> size = reduced_size(c.width, c.height);
        EXPECT_EQ(size.x, c.reduced_width) << c.width << " x " << c.height;
        EXPECT_EQ(size.y, c.reduced_height) << c.width << " x " << c.height;
    }
}

TEST(RawPreview, ValuesRelativeToTheScaleGiveDisplayBytes) {
    // A scale that is no power of two, so that the quotients are not trivially exact.
    const float s = exposure_scale(9.3f);
    const float values[] = {s, s / 2, s / 4, 0.0f, -s, 2 * s, std::numeric_limits<float>::quiet_NaN()};
    const unsigned char expected[] = {255, 186, 136, 0, 0, 255, 0};
    constexpr int count = sizeof(values) / sizeof(values[0]);

    Image<float> reduced(count, 1, 1);
    std::copy(values, values + count, reduced.data.get());
    const Image<unsigned char> preview = raw_preview(reduced, s);

    ASSERT_EQ(preview.width, count);
    ASSERT_EQ(preview.height, 1);
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(preview.data[i], expected[i]) << "value " << values[i] << " with scale " << s;
    EXPECT_TRUE(same_bits(values, reduced.data.get(), count)) << "the reduced image changed";
}

TEST(RawPreview, ValueAtTheLogMeanIsMidGrey) {
    // exp(log mean) / s is the mid-grey constant, which the display exponent brings to 0.5.
    const float log_mean = 8.0f;
    Image<float> reduced(1, 1, 3);
    std::fill(reduced.data.get(), reduced.data.get() + 3, static_cast<float>(std::exp(8.0)));
    const Image<unsigned char> preview = raw_preview(reduced, exposure_scale(log_mean));
    for (int c = 0; c < 3; ++c) EXPECT_EQ(preview.data[c], 127);
}

TEST(RawPreview, EmptyImageGivesEmptyPreview) {
    const Image<unsigned char> preview = raw_preview(Image<float>(), exposure_scale(0.0f));
    EXPECT_EQ(preview.size(), 0u);
}

}  // namespace
