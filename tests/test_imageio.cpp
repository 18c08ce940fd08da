#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "imaging/imageio.hpp"
#include "imaging/tonemap.hpp"
#include "tests/float_bits.hpp"
#include "tests/same_bits.hpp"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr std::size_t constraint_values = 6 * 20001;
constexpr std::size_t constraint_bytes = constraint_values * sizeof(double);

template <typename T>
Image<T> make_image(int width, int height, int channels, const std::vector<T>& values) {
    Image<T> image(width, height, channels);
    std::copy(values.begin(), values.end(), image.data.get());
    return image;
}

/// The doubles carried by a constraints payload.
std::vector<double> doubles_of(const Bytes& payload) {
    std::vector<double> values(payload.size() / sizeof(double));
    std::memcpy(values.data(), payload.data(), values.size() * sizeof(double));
    return values;
}

/// A constraints payload whose value k is k + 0.25, negated for odd k.
Bytes numbered_constraints(std::size_t count) {
    std::vector<double> values(count);
    for (std::size_t k = 0; k < count; ++k) values[k] = (k % 2 ? -1.0 : 1.0) * (k + 0.25);
    Bytes payload(count * sizeof(double));
    std::memcpy(payload.data(), values.data(), payload.size());
    return payload;
}

TEST(ArgbPayload, ReadTakesRedGreenBlueIntoPlanesAndIgnoresAlpha) {
    const Bytes payload = {0, 10, 20, 30, 7, 11, 21, 31, 255, 12, 22, 32};
    Bytes other_alpha = payload;
    other_alpha[0] = 99;
    other_alpha[4] = 0;
    other_alpha[8] = 1;

    const Image<unsigned char> image = read_argb(payload, 3, 1);
    const Image<unsigned char> same = read_argb(other_alpha, 3, 1);
    ASSERT_EQ(image.width, 3);
    ASSERT_EQ(image.height, 1);
    ASSERT_EQ(image.channels, 3);
    const std::vector<unsigned char> planar(image.data.get(), image.data.get() + image.size());
    EXPECT_EQ(planar, (std::vector<unsigned char>{10, 11, 12, 20, 21, 22, 30, 31, 32}));
    EXPECT_EQ(planar, std::vector<unsigned char>(same.data.get(), same.data.get() + same.size()));
}

TEST(ArgbPayload, ReadUsesOnlyTheImagePrefixAndRefusesShortPayloads) {
    const Bytes longer = {0, 1, 2, 3, 0, 4, 5, 6, 9, 9, 9, 9};
    const Image<unsigned char> image = read_argb(longer, 1, 2);
    EXPECT_EQ(std::vector<unsigned char>(image.data.get(), image.data.get() + image.size()),
              (std::vector<unsigned char>{1, 4, 2, 5, 3, 6}));

    EXPECT_THROW(read_argb(Bytes(7), 1, 2), std::invalid_argument);
    EXPECT_THROW(read_argb(Bytes(), 1, 1), std::invalid_argument);
    EXPECT_THROW(read_argb(Bytes(4), -1, -1), std::invalid_argument);
    // A product that would wrap in 32 bits must not slip past the length check.
    EXPECT_THROW(read_argb(Bytes(4), 65536, 65536), std::invalid_argument);
}

TEST(ArgbPayload, WriteGivesOpaqueRgbForThreePlanesAndGreyForOne) {
    const Image<unsigned char> colour = make_image<unsigned char>(2, 1, 3, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(write_argb(colour), (Bytes{255, 1, 3, 5, 255, 2, 4, 6}));

    const Image<unsigned char> grey = make_image<unsigned char>(1, 2, 1, {0, 200});
    EXPECT_EQ(write_argb(grey), (Bytes{255, 0, 0, 0, 255, 200, 200, 200}));
}

TEST(ArgbPayload, ReadThenWriteGivesThePayloadBackWithOpaqueAlpha) {
    Bytes payload(4 * 5 * 3);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(i * 37 + 5);

    Bytes expected = payload;
    for (std::size_t i = 0; i < expected.size(); i += 4) expected[i] = 255;
    EXPECT_EQ(write_argb(read_argb(payload, 5, 3)), expected);
}

TEST(FloatPayload, WriteThenReadIsBitIdenticalForEveryKindOfValue) {
    const std::vector<float> values = {1.0f,
                                       -0.0f,
                                       0.0f,
                                       std::numeric_limits<float>::infinity(),
                                       -std::numeric_limits<float>::infinity(),
                                       std::numeric_limits<float>::quiet_NaN(),
                                       float_of(0xFFC12345u),  // a negative NaN with a payload
                                       float_of(0x7F812345u),  // a signalling NaN
                                       std::numeric_limits<float>::denorm_min(),
                                       std::numeric_limits<float>::max(),
                                       -3.5e-20f,
                                       65536.0f};
    const Image<float> image = make_image<float>(2, 2, 3, values);

    const Bytes payload = write_float(image);
    ASSERT_EQ(payload.size(), 12u * 2 * 2);
    const Image<float> back = read_float(payload, 2, 2);
    ASSERT_EQ(back.width, 2);
    ASSERT_EQ(back.height, 2);
    ASSERT_EQ(back.channels, 3);
    EXPECT_TRUE(same_bits(values.data(), back.data.get(), values.size()));
}

TEST(FloatPayload, WriteIsPlanarLittleEndianForEveryPlaneCount) {
    const Image<float> one = make_image<float>(1, 2, 1, {1.0f, -2.0f});
    EXPECT_EQ(write_float(one), (Bytes{0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0}));

    const Image<float> three = make_image<float>(1, 1, 3, {0.5f, 2.0f, 1.0f});
    EXPECT_EQ(write_float(three),
              (Bytes{0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x80, 0x3F}));
}

TEST(FloatPayload, ReadRefusesEveryLengthButTwelveBytesPerPixel) {
    EXPECT_THROW(read_float(Bytes(23), 2, 1), std::invalid_argument);
    EXPECT_THROW(read_float(Bytes(25), 2, 1), std::invalid_argument);
    EXPECT_THROW(read_float(Bytes(36), 2, 1), std::invalid_argument);
    EXPECT_THROW(read_float(Bytes(12), -1, -1), std::invalid_argument);
    EXPECT_NO_THROW(read_float(Bytes(24), 2, 1));
}

TEST(FloatPayload, FitsWhenTwelveBytesPerPixelStayWithinTheLargestByteArray) {
    EXPECT_TRUE(float_payload_fits(14204, 10652)) << "144 megapixels, the largest sensors made";
    // 178956970 x 12 = 2147483640 bytes; one pixel more is 2147483652.
    EXPECT_TRUE(float_payload_fits(178956970, 1));
    EXPECT_FALSE(float_payload_fits(178956971, 1));
    EXPECT_FALSE(float_payload_fits(1, 178956971));
    EXPECT_FALSE(float_payload_fits(13380, 13380));
    EXPECT_FALSE(float_payload_fits(std::numeric_limits<int>::max(), std::numeric_limits<int>::max()));
}

TEST(InterleavedPayload, PlanesSitSideBySidePerPixel) {
    const Image<float> image = make_image<float>(2, 1, 3, {1, 2, 3, 4, 5, 6});
    const Bytes payload = write_image3(image);
    ASSERT_EQ(payload.size(), 24u);
    std::vector<float> floats(6);
    std::memcpy(floats.data(), payload.data(), payload.size());
    EXPECT_EQ(floats, (std::vector<float>{1, 3, 5, 2, 4, 6}));

    EXPECT_THROW(write_image3(make_image<float>(2, 1, 1, {1, 2})), std::invalid_argument);
}

TEST(Payloads, ImagesWithoutPixelsGiveEmptyPayloads) {
    EXPECT_TRUE(write_argb(Image<unsigned char>()).empty());
    EXPECT_TRUE(write_argb(Image<unsigned char>(0, 5, 3)).empty());
    EXPECT_TRUE(write_float(Image<float>()).empty());
    EXPECT_TRUE(write_float(Image<float>(4, 0, 3)).empty());
    EXPECT_TRUE(write_image3(Image<float>()).empty());
    EXPECT_TRUE(write_image3(Image<float>(0, 3, 3)).empty());

    const Image<unsigned char> none = read_argb(Bytes(), 0, 7);
    EXPECT_EQ(none.size(), 0u);
    EXPECT_EQ(read_float(Bytes(), 3, 0).size(), 0u);
}

TEST(ConstraintsPayload, RoundTripsThroughReadAndWrite) {
    const Bytes payload = numbered_constraints(constraint_values);
    Tonemap tonemap;
    read_constraints(payload, tonemap);
    ASSERT_EQ(tonemap.CI.rows(), 6u);
    ASSERT_EQ(tonemap.CI.cols(), 20001u);
    // Row after row: value k x 20001 + j is the matrix entry of row k, column j.
    EXPECT_EQ(tonemap.CI[0][0], 0.25);
    EXPECT_EQ(tonemap.CI[0][20000], 20000.25);
    EXPECT_EQ(tonemap.CI[1][0], -20001.25);
    EXPECT_EQ(tonemap.CI[5][20000], -120005.25);

    const Bytes written = write_constraints(tonemap);
    EXPECT_EQ(written.size(), constraint_bytes);
    EXPECT_EQ(written, payload);
}

TEST(ConstraintsPayload, ReadFillsWhatAShortPayloadMissesWithZeroAndIgnoresExtraBytes) {
    Tonemap tonemap;
    read_constraints(numbered_constraints(3), tonemap);
    std::vector<double> values = doubles_of(write_constraints(tonemap));
    ASSERT_EQ(values.size(), constraint_values);
    EXPECT_EQ(values[0], 0.25);
    EXPECT_EQ(values[2], 2.25);
    for (std::size_t k = 3; k < values.size(); ++k) ASSERT_EQ(values[k], 0.0) << "value " << k;

    read_constraints(Bytes(), tonemap);
    values = doubles_of(write_constraints(tonemap));
    for (std::size_t k = 0; k < values.size(); ++k) ASSERT_EQ(values[k], 0.0) << "value " << k;

    Bytes longer = numbered_constraints(constraint_values + 2);
    read_constraints(longer, tonemap);
    longer.resize(constraint_bytes);
    EXPECT_EQ(write_constraints(tonemap), longer);
}

TEST(ConstraintsPayload, WriteRefusesAProblemThatWasNeverDecomposed) {
    Tonemap tonemap;
    EXPECT_THROW(write_constraints(tonemap), std::invalid_argument);
}

}  // namespace
