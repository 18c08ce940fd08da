#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "app/request_limits.hpp"
#include "imaging/image.hpp"
#include "imaging/imageio.hpp"
#include "tests/dng_writer.hpp"
#include "tests/same_bits.hpp"
#include "tests/synthetic_photo.hpp"
#include "tests/worker_count.hpp"

// Every conversion computed with the worker pool limited to one worker must match, bit for bit,
// the same conversion on every core: the one-worker result is the expected one.

namespace {

using Bytes = std::vector<unsigned char>;

// Large enough that every loop is split into many ranges across the workers.
constexpr int width = 1000;
constexpr int height = 700;

/// The synthetic photo stretched beyond [0, 1], with NaN and infinities strewn through it, so that
/// every clamp and every rounding of the conversions is exercised.
Image<float> stretched_photo() {
    Image<float> photo = synthetic_photo(width, height, 3);
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              -0.0f,
                              1.0f,
                              0.0f};
    for (std::size_t i = 0; i < photo.size(); ++i) {
        photo.data[i] = photo.data[i] * 1.6f - 0.3f;
        if (i % 9973 == 0) photo.data[i] = specials[(i / 9973) % 6];
    }
    return photo;
}

/// The bytes that the service would decode from the photo.
Image<unsigned char> byte_photo() { return im2byte(synthetic_photo(width, height, 4)); }

TEST(ExactnessOfConversions, ElementWiseOperationsOnConstantAndMovedOperands) {
    const Image<float> photo = stretched_photo();
    const auto run = [&photo] {
        std::vector<Image<float>> out;
        out.push_back(maximum(photo, 0.25f));
        out.push_back(minimum(photo, 0.75f));
        out.push_back(photo * 255.0f);
        out.push_back(photo / 0.3f);
        out.push_back(power(photo, static_cast<double>(0.45f)));
        out.push_back(power(maximum(minimum(Image<float>(photo) * 3.0f, 2.0f), 0.0f) / 1.7f, 2.2));
        return out;
    };
    const std::vector<Image<float>> one = on_one_worker(run);
    const std::vector<Image<float>> all = run();
    ASSERT_EQ(one.size(), all.size());
    for (std::size_t k = 0; k < one.size(); ++k) EXPECT_TRUE(same_bits(one[k], all[k])) << "operation " << k;
}

TEST(ExactnessOfConversions, PixelTypeConversions) {
    const Image<float> photo = stretched_photo();
    const Image<double> doubles(photo);
    const Image<unsigned char> bytes = byte_photo();
    EXPECT_TRUE(same_bits(on_one_worker([&] { return im2byte(photo); }), im2byte(photo)));
    EXPECT_TRUE(same_bits(on_one_worker([&] { return im2byte(doubles); }), im2byte(doubles)));
    EXPECT_TRUE(same_bits(on_one_worker([&] { return im2float(bytes); }), im2float(bytes)));
    EXPECT_TRUE(same_bits(on_one_worker([&] { return im2double(bytes); }), im2double(bytes)));
    EXPECT_TRUE(same_bits(on_one_worker([&] { return Image<double>(photo); }), doubles));
    EXPECT_TRUE(same_bits(on_one_worker([&] { return plane(photo, 2); }), plane(photo, 2)));
}

TEST(ExactnessOfConversions, EveryTurnOfFloatAndByteImages) {
    const Image<float> photo = stretched_photo();
    const Image<unsigned char> bytes = byte_photo();
    for (int k = 0; k < 4; ++k) {
        EXPECT_TRUE(same_bits(on_one_worker([&] { return flip(photo, k); }), flip(photo, k))) << k;
        EXPECT_TRUE(same_bits(on_one_worker([&] { return flip(bytes, k); }), flip(bytes, k))) << k;
    }
    // Sides that are no multiple of the tile, so the last tiles are partial.
    const Image<float> odd = flip(plane(photo, 0), 1);
    const Image<float> cropped = resize(odd, Tuple2<int>{odd.width - 13, odd.height - 37}, false, false);
    for (int k = 1; k < 4; ++k)
        EXPECT_TRUE(same_bits(on_one_worker([&] { return flip(cropped, k); }), flip(cropped, k))) << k;
}

TEST(ExactnessOfConversions, NearestResizeDownAndUp) {
    const Image<float> photo = stretched_photo();
    for (const Tuple2<int> size : {Tuple2<int>{800, 560}, Tuple2<int>{1333, 901}, Tuple2<int>{1, 700}}) {
        EXPECT_TRUE(same_bits(on_one_worker([&] { return resize(photo, size, false, false); }),
                              resize(photo, size, false, false)))
            << size.x << " x " << size.y;
    }
}

TEST(ExactnessOfConversions, PayloadReadersAndWriters) {
    const Image<float> photo = stretched_photo();
    const Image<unsigned char> bytes = byte_photo();
    const Image<unsigned char> grey = plane(bytes, 1);
    EXPECT_TRUE(same_bits(on_one_worker([&] { return write_argb(bytes); }), write_argb(bytes)));
    EXPECT_TRUE(same_bits(on_one_worker([&] { return write_argb(grey); }), write_argb(grey)));
    EXPECT_TRUE(same_bits(on_one_worker([&] { return write_float(photo); }), write_float(photo)));
    EXPECT_TRUE(same_bits(on_one_worker([&] { return write_image3(photo); }), write_image3(photo)));

    Bytes argb = write_argb(bytes);
    for (std::size_t i = 0; i < argb.size(); i += 4) argb[i] = static_cast<unsigned char>(i / 4);
    EXPECT_TRUE(same_bits(on_one_worker([&] { return read_argb(argb, width, height); }),
                          read_argb(argb, width, height)));
    const Bytes floats = write_float(photo);
    EXPECT_TRUE(same_bits(on_one_worker([&] { return read_float(floats, width, height); }),
                          read_float(floats, width, height)));
}

TEST(ExactnessOfConversions, JpegFileOfAPhoto) {
    const Image<unsigned char> bytes = byte_photo();
    EXPECT_TRUE(same_bits(on_one_worker([&] { return write_jpeg(bytes); }), write_jpeg(bytes)));
}

TEST(ExactnessOfConversions, LuminanceCheckWeighsEveryPixel) {
    Image<float> flat(width, height, 3);
    std::fill(flat.data.get(), flat.data.get() + flat.size(), 0.5f);
    const auto verdicts = [](const Image<float>& rgb) {
        return std::vector<std::string>{on_one_worker([&] { return check_hdr_luminance(rgb); }),
                                        check_hdr_luminance(rgb)};
    };
    const std::string same = "luminance the same throughout";
    const std::string unfit = "luminance not positive and finite";
    EXPECT_EQ(verdicts(flat), std::vector<std::string>({same, same}));
    // One pixel far into the image decides, wherever the ranges are cut.
    flat.plane_data(1)[width * height - 2] = 0.75f;
    EXPECT_EQ(verdicts(flat), std::vector<std::string>({"", ""}));
    flat.plane_data(2)[width * height / 2 + 7] = std::numeric_limits<float>::infinity();
    EXPECT_EQ(verdicts(flat), std::vector<std::string>({unfit, unfit}));
}

/// A decoded raw file and the log mean that came with it.
struct Decoded {
    Image<float> image;
    float log_mean = 0.0f;
};

TEST(ExactnessOfConversions, RawDecodingWithItsLogMeanAndTurn) {
    DngDescription d;
    d.width = 640;
    d.height = 420;
    d.orientation = 6;
    d.scene = [](int x, int y) {
        const double g = 0.05 + 0.9 * ((x * 7 + y * 3) % 256) / 255.0;
        return SceneColour{g, 0.5 * g, 1.0 - g};
    };
    Bytes file = make_dng(d);
    const auto decode = [&file] {
        Decoded out;
        out.image = read_raw(file, out.log_mean);
        return out;
    };
    const Decoded one = on_one_worker(decode);
    const Decoded all = decode();
    ASSERT_EQ(one.image.width, d.height);
    EXPECT_TRUE(same_bits(one.image, all.image));
    EXPECT_TRUE(same_bits(&one.log_mean, &all.log_mean, 1)) << "log mean";
}

}  // namespace
