#include "imaging/bilateral.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <iomanip>
#include <vector>

#include "tests/synthetic_photo.hpp"

namespace {

/// One plane of a synthetic photo.
Image<float> photo_plane(int width, int height, int plane, std::uint32_t seed)
{
    const Image<float> photo = synthetic_photo(width, height, seed);
    Image<float> out(width, height, 1);
    std::memcpy(out.data.get(), photo.plane_data(plane), out.size() * sizeof(float));
    return out;
}

/// Reports the first value whose bit pattern differs, with both values.
void expect_same_bits(const float* actual, const float* expected, std::size_t count)
{
    for (std::size_t n = 0; n < count; ++n) {
        if (std::memcmp(&actual[n], &expected[n], sizeof(float)) != 0) {
            ADD_FAILURE() << std::setprecision(9) << "first difference at " << n << ": " << actual[n]
                          << " instead of " << expected[n];
            return;
        }
    }
}

/// A data image and its edge image of one size, with the smoothing steps to run on them.
struct Case {
    int width, height;
    float s, r;
};

TEST(TblfWithBand, MatchesTblfFollowedBySubtractionsWhileOneScratchServesEverySize)
{
    // Sizes that grow and shrink, so that the scratch's planes and grids are reused both larger
    // than needed and after growing; a fine grid after a coarse one leaves old cells behind.
    const Case cases[] = {{300, 200, 40.0f, 0.3f}, {300, 200, 5.0f, 0.05f}, {57, 913, 2.5f, 0.11f},
                          {1, 1, 5.0f, 0.05f},     {640, 480, 7.0f, 0.02f}, {300, 200, 5.0f, 0.05f}};
    SmoothingScratch scratch;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << ", s " << c.s << ", r " << c.r);
        const std::size_t count = static_cast<std::size_t>(c.width) * c.height;
        const Image<float> data = photo_plane(c.width, c.height, 0, 5);
        const Image<float> edge = photo_plane(c.width, c.height, 2, 9);
        const float offset = 0.3f;

        const Image<float> smoothed = tblf(data, edge, c.s, c.r);
        std::vector<float> band(count), base(count);
        for (std::size_t n = 0; n < count; ++n) {
            band[n] = data.data[n] - smoothed.data[n];
            base[n] = smoothed.data[n] - offset;
        }

        std::vector<float> split_band(count);
        const Image<float> split_base = tblf(data, edge, c.s, c.r, BandSplit{split_band.data(), offset}, scratch);
        ASSERT_EQ(split_base.width, c.width);
        ASSERT_EQ(split_base.height, c.height);
        ASSERT_EQ(split_base.channels, 1);
        expect_same_bits(split_base.data.get(), base.data(), count);
        expect_same_bits(split_band.data(), band.data(), count);
    }
}

TEST(TblfWithBand, BandMayReplaceTheDataItWasSplitFrom)
{
    // The decomposition writes each band over the data of its own pass.
    Image<float> data = photo_plane(211, 157, 1, 3);
    const Image<float> edge = photo_plane(211, 157, 0, 3);
    const Image<float> smoothed = tblf(data, edge, 6.0f, 0.08f);
    std::vector<float> band(data.size());
    for (std::size_t n = 0; n < band.size(); ++n) band[n] = data.data[n] - smoothed.data[n];

    SmoothingScratch scratch;
    const Image<float> base = tblf(data, edge, 6.0f, 0.08f, BandSplit{data.data.get(), 0.0f}, scratch);
    expect_same_bits(base.data.get(), smoothed.data.get(), band.size());
    expect_same_bits(data.data.get(), band.data(), band.size());
}

}  // namespace
