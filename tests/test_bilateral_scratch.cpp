#include "imaging/bilateral.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/same_bits.hpp"
#include "tests/synthetic_photo.hpp"

namespace {

/// One plane of a synthetic photo.
Image<float> photo_plane(int width, int height, int plane, std::uint32_t seed) {
    const Image<float> photo = synthetic_photo(width, height, seed);
    Image<float> out(width, height, 1);
    std::memcpy(out.data.get(), photo.plane_data(plane), out.size() * sizeof(float));
    return out;
}

/// A data image and its edge image of one size, with the smoothing steps to run on them.
struct Case {
    int width, height;
    float s, r;
};

TEST(TblfWithBand, MatchesTblfFollowedBySubtractionsWhileOneScratchServesEverySize) {
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
        const Image<float> split_base =
            tblf(data, edge, c.s, c.r, BandSplit{split_band.data(), offset}, scratch);
        ASSERT_EQ(split_base.width, c.width);
        ASSERT_EQ(split_base.height, c.height);
        ASSERT_EQ(split_base.channels, 1);
        EXPECT_TRUE(same_bits(base.data(), split_base.data.get(), count)) << "base";
        EXPECT_TRUE(same_bits(band.data(), split_band.data(), count)) << "band";
    }
}

TEST(TblfWithBand, BandMayReplaceTheDataItWasSplitFrom) {
    // The decomposition writes each band over the data of its own pass.
    Image<float> data = photo_plane(211, 157, 1, 3);
    const Image<float> edge = photo_plane(211, 157, 0, 3);
    const Image<float> smoothed = tblf(data, edge, 6.0f, 0.08f);
    std::vector<float> band(data.size());
    for (std::size_t n = 0; n < band.size(); ++n) band[n] = data.data[n] - smoothed.data[n];

    SmoothingScratch scratch;
    const Image<float> base = tblf(data, edge, 6.0f, 0.08f, BandSplit{data.data.get(), 0.0f}, scratch);
    EXPECT_TRUE(same_bits(smoothed.data.get(), base.data.get(), band.size())) << "base";
    EXPECT_TRUE(same_bits(band.data(), data.data.get(), band.size())) << "band";
}

}  // namespace
