#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "app/request_limits.hpp"
#include "imaging/tonemap.hpp"

namespace {

enum class Command { tonemap_ldr, tonemap_hdr, decompose_ldr, decompose_hdr };

/// A request of the given command whose payload holds exactly the bytes the sides call for.
ImageRequest request(Command command, std::int64_t width, std::int64_t height, int rotation = 0) {
    const bool hdr = command == Command::tonemap_hdr || command == Command::decompose_hdr;
    const bool tonemap = command == Command::tonemap_ldr || command == Command::tonemap_hdr;
    const std::int64_t bytes = width > 0 && height > 0 ? width * height * (hdr ? 12 : 4) : 0;
    return {static_cast<int>(width),
            static_cast<int>(height),
            rotation,
            static_cast<std::size_t>(bytes),
            hdr,
            tonemap};
}

bool accepted(const ImageRequest& r) { return check_image_request(r).empty(); }

TEST(RequestLimits, SidesMustBePositive) {
    for (Command command : {Command::tonemap_ldr, Command::decompose_hdr}) {
        EXPECT_TRUE(accepted(request(command, 1, 1)));
        EXPECT_FALSE(accepted(request(command, 0, 1)));
        EXPECT_FALSE(accepted(request(command, 1, 0)));
        EXPECT_FALSE(accepted(request(command, -1, 5)));
        EXPECT_FALSE(accepted(request(command, 5, std::numeric_limits<int>::min())));
    }
}

TEST(RequestLimits, ArgbPayloadMayBeLongerFloatPayloadMustBeExact) {
    for (Command command : {Command::tonemap_ldr, Command::decompose_ldr}) {
        ImageRequest r = request(command, 30, 20);
        EXPECT_TRUE(accepted(r));
        r.payload_size += 1;
        EXPECT_TRUE(accepted(r));
        r.payload_size -= 2;
        EXPECT_FALSE(accepted(r));
        r.payload_size = 0;
        EXPECT_FALSE(accepted(r));
    }
    for (Command command : {Command::tonemap_hdr, Command::decompose_hdr}) {
        ImageRequest r = request(command, 30, 20);
        EXPECT_TRUE(accepted(r));
        r.payload_size += 1;
        EXPECT_FALSE(accepted(r));
        r.payload_size -= 2;
        EXPECT_FALSE(accepted(r));
        // An ARGB-sized payload is a third of what a float image needs.
        r.payload_size = 4 * 30 * 20;
        EXPECT_FALSE(accepted(r));
    }
}

TEST(RequestLimits, FloatBufferMustFitASignedThirtyTwoBitCount) {
    // 10922 x 16385 x 12 = 2147483640, the largest such product within 2^31 - 1.
    EXPECT_TRUE(accepted(request(Command::decompose_hdr, 10922, 16385)));
    EXPECT_FALSE(accepted(request(Command::decompose_hdr, 10922, 16386)));
    EXPECT_FALSE(accepted(request(Command::decompose_ldr, 16386, 10922, 1)));
    // The largest sides: their product times 12 is beyond even 64 bits.
    ImageRequest huge = request(Command::decompose_ldr, 1, 1);
    huge.width = huge.height = std::numeric_limits<int>::max();
    EXPECT_FALSE(accepted(huge));
}

TEST(RequestLimits, RotationActsByItsRemainderAndMustNotBeNegative) {
    for (int rotation : {0, 1, 2, 3, 4, 5, std::numeric_limits<int>::max()})
        EXPECT_TRUE(accepted(request(Command::tonemap_ldr, 40, 30, rotation))) << rotation;
    EXPECT_FALSE(accepted(request(Command::tonemap_ldr, 40, 30, -1)));
    EXPECT_FALSE(accepted(request(Command::tonemap_ldr, 40, 30, -4)));
    EXPECT_FALSE(accepted(request(Command::tonemap_ldr, 40, 30, std::numeric_limits<int>::min())));
}

TEST(RequestLimits, TurnedHeightAtMostTenThousandTimesTheTurnedWidth) {
    EXPECT_TRUE(accepted(request(Command::decompose_ldr, 1, 10000)));
    EXPECT_FALSE(accepted(request(Command::decompose_ldr, 1, 10001)));
    EXPECT_TRUE(accepted(request(Command::decompose_ldr, 1, 10001, 1)));
    EXPECT_TRUE(accepted(request(Command::decompose_ldr, 10001, 1, 2)));
    EXPECT_FALSE(accepted(request(Command::decompose_ldr, 10001, 1, 1)));
    EXPECT_FALSE(accepted(request(Command::decompose_ldr, 10001, 1, 3)));
    EXPECT_FALSE(accepted(request(Command::decompose_ldr, 10001, 1, 5)));
    EXPECT_TRUE(accepted(request(Command::decompose_hdr, 3, 30000)));
    EXPECT_FALSE(accepted(request(Command::decompose_hdr, 3, 30001)));
}

TEST(RequestLimits, TurnedWidthTimesTenThousandMustFitThirtyTwoBits) {
    EXPECT_TRUE(accepted(request(Command::decompose_ldr, 214748, 1)));
    EXPECT_FALSE(accepted(request(Command::decompose_ldr, 214749, 1)));
    EXPECT_TRUE(accepted(request(Command::decompose_ldr, 1, 214748, 1)));
    EXPECT_FALSE(accepted(request(Command::decompose_ldr, 1, 214749, 3)));
}

TEST(RequestLimits, SidesAboveTheJpegLimitOnlyForToneMapping) {
    for (Command command : {Command::tonemap_ldr, Command::tonemap_hdr}) {
        EXPECT_TRUE(accepted(request(command, 65500, 2)));
        EXPECT_FALSE(accepted(request(command, 65501, 2)));
        EXPECT_TRUE(accepted(request(command, 2, 65500, 1)));
        EXPECT_FALSE(accepted(request(command, 2, 65501, 1)));
    }
    for (Command command : {Command::decompose_ldr, Command::decompose_hdr}) {
        EXPECT_TRUE(accepted(request(command, 65501, 2)));
        EXPECT_TRUE(accepted(request(command, 2, 65501, 3)));
    }
}

/// A width x 1 float image holding these RGB pixels.
Image<float> pixels(const std::vector<std::vector<float>>& rgb) {
    Image<float> image(static_cast<int>(rgb.size()), 1, 3);
    for (std::size_t i = 0; i < rgb.size(); ++i)
        for (int c = 0; c < 3; ++c) image.plane_data(c)[i] = rgb[i][static_cast<std::size_t>(c)];
    return image;
}

bool luminance_accepted(const Image<float>& image) { return check_hdr_luminance(image).empty(); }

TEST(LuminanceLimits, EveryPixelPositiveAndFinite) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(luminance_accepted(pixels({{0.5f, 0.5f, 0.5f}, {2.0f, 1.0f, 0.25f}})));
    // A negative channel is fine while the luminance stays positive.
    EXPECT_TRUE(luminance_accepted(pixels({{-1.0f, 1.0f, 1.0f}, {2.0f, 1.0f, 0.25f}})));
    for (const std::vector<float>& bad : {std::vector<float>{0, 0, 0},
                                          {-1, -1, -1},
                                          {1, -0.5f, 1},
                                          {inf, 1, 1},
                                          {1, 1, -inf},
                                          {nan, 1, 1},
                                          {1, 1, nan}}) {
        SCOPED_TRACE(testing::Message() << bad[0] << ", " << bad[1] << ", " << bad[2]);
        EXPECT_FALSE(luminance_accepted(pixels({{0.5f, 0.5f, 0.5f}, bad, {2, 1, 1}})));
        EXPECT_FALSE(luminance_accepted(pixels({bad, {0.5f, 0.5f, 0.5f}})));
    }
}

TEST(LuminanceLimits, LogarithmsMustNotAllBeEqual) {
    EXPECT_FALSE(luminance_accepted(pixels({{0.5f, 0.25f, 2.0f}})));
    EXPECT_FALSE(luminance_accepted(pixels({{0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}})));
    EXPECT_TRUE(luminance_accepted(pixels({{0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.51f}})));

    // Two distinct luminances so large and so close that their single-precision logarithms agree:
    // their normalised range would still be zero.
    const float grey = 1e30f;
    float brighter = grey;
    while (hdr_luminance(brighter, brighter, brighter) == hdr_luminance(grey, grey, grey))
        brighter = std::nextafter(brighter, std::numeric_limits<float>::infinity());
    ASSERT_EQ(log_luminance(hdr_luminance(grey, grey, grey)),
              log_luminance(hdr_luminance(brighter, brighter, brighter)));
    EXPECT_FALSE(luminance_accepted(pixels({{grey, grey, grey}, {brighter, brighter, brighter}})));
}

}  // namespace
