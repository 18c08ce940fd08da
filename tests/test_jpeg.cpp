#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "imaging/imageio.hpp"
#include "tests/jpeg_decoder.hpp"

namespace {

using Bytes = std::vector<unsigned char>;

/// A three-plane image whose value at (x, y, c) is value(x, y, c).
template <typename Value>
Image<unsigned char> make_rgb(int width, int height, Value value) {
    Image<unsigned char> image(width, height, 3);
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                image.plane_data(c)[static_cast<std::size_t>(y) * width + x] =
                    static_cast<unsigned char>(value(x, y, c));
    return image;
}

/// The largest difference between decoded samples and the image, and where it first occurs.
struct Difference {
    int levels = 0;
    std::size_t pixel = 0;
    int plane = 0;
};

Difference largest_difference(const Image<unsigned char>& image, const DecodedJpeg& decoded) {
    Difference worst;
    const std::size_t pixels = static_cast<std::size_t>(image.width) * image.height;
    for (std::size_t i = 0; i < pixels; ++i)
        for (int c = 0; c < 3; ++c) {
            const int levels = std::abs(decoded.rgb[3 * i + c] - image.plane_data(c)[i]);
            if (levels > worst.levels) worst = {levels, i, c};
        }
    return worst;
}

std::ostream& operator<<(std::ostream& out, const Difference& d) {
    return out << d.levels << " levels at pixel " << d.pixel << ", plane " << d.plane;
}

/// True when the file is a single complete baseline JPEG: start marker first, end marker last,
/// and a baseline frame header.
bool is_complete_baseline(const Bytes& file) {
    if (file.size() < 4 || file[0] != 0xFF || file[1] != 0xD8) return false;
    if (file[file.size() - 2] != 0xFF || file.back() != 0xD9) return false;
    const Bytes baseline_frame = {0xFF, 0xC0};
    return std::search(file.begin(), file.end(), baseline_frame.begin(), baseline_frame.end()) != file.end();
}

TEST(JpegEncoding, OnePixelGivesABaselineFileThatDecodesCloseToTheInput) {
    const Image<unsigned char> image = make_rgb(1, 1, [](int, int, int c) { return 60 + 50 * c; });
    const Bytes file = write_jpeg(image);
    EXPECT_TRUE(is_complete_baseline(file));

    const DecodedJpeg decoded = decode_jpeg(file);
    ASSERT_EQ(decoded.width, 1);
    ASSERT_EQ(decoded.height, 1);
    ASSERT_EQ(decoded.rgb.size(), 3u * decoded.width * decoded.height);
    const Difference worst = largest_difference(image, decoded);
    EXPECT_LE(worst.levels, 3) << worst;
}

TEST(JpegEncoding, SmoothImageDecodesToItsSizeWithinAFewLevels) {
    const Image<unsigned char> image = make_rgb(97, 61, [](int x, int y, int c) {
        return c == 0 ? 2 * x : c == 1 ? 3 * y + 20 : 128 + (x - y) / 2;
    });
    const Bytes file = write_jpeg(image);
    EXPECT_TRUE(is_complete_baseline(file));

    const DecodedJpeg decoded = decode_jpeg(file);
    ASSERT_EQ(decoded.width, 97);
    ASSERT_EQ(decoded.height, 61);
    ASSERT_EQ(decoded.rgb.size(), 3u * decoded.width * decoded.height);
    // Quality 100 still subsamples the chroma and rounds twice, which costs a few levels.
    const Difference worst = largest_difference(image, decoded);
    EXPECT_LE(worst.levels, 4) << worst;
}

TEST(JpegEncoding, WidestImageEncodes) {
    const Image<unsigned char> image =
        make_rgb(65500, 1, [](int x, int, int c) { return (x / 256 + 40 * c) % 256; });
    const Bytes file = write_jpeg(image);
    EXPECT_TRUE(is_complete_baseline(file));

    const DecodedJpeg decoded = decode_jpeg(file);
    EXPECT_EQ(decoded.width, 65500);
    EXPECT_EQ(decoded.height, 1);
}

TEST(JpegEncoding, FileLargerThanTheFirstBufferComesOutWhole) {
    // Noise compresses badly: the file outgrows the encoder's first buffers several times.
    unsigned state = 12345;
    const Image<unsigned char> image = make_rgb(300, 300, [&state](int, int, int) {
        state = state * 1103515245u + 12345u;
        return state >> 24;
    });
    const Bytes file = write_jpeg(image);
    EXPECT_GT(file.size(), 2u * 65536);
    EXPECT_TRUE(is_complete_baseline(file));

    const DecodedJpeg decoded = decode_jpeg(file);
    EXPECT_EQ(decoded.width, 300);
    EXPECT_EQ(decoded.height, 300);
}

TEST(JpegEncoding, EncoderErrorsBecomeExceptionsWithTheLibraryMessage) {
    try {
        write_jpeg(Image<unsigned char>(0, 1, 3));
        ADD_FAILURE() << "a zero width was encoded";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("Empty JPEG image"), std::string::npos) << error.what();
    }
    try {
        write_jpeg(make_rgb(65501, 1, [](int, int, int) { return 0; }));
        ADD_FAILURE() << "a width above 65500 was encoded";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("65500"), std::string::npos) << error.what();
    }
    EXPECT_THROW(write_jpeg(Image<unsigned char>(5, 0, 3)), std::runtime_error);

    // The process, and the encoder, carry on.
    const Image<unsigned char> image = make_rgb(8, 8, [](int x, int y, int) { return 16 * x + y; });
    EXPECT_TRUE(is_complete_baseline(write_jpeg(image)));
}

TEST(JpegEncoding, RefusesImagesWithoutThreePlanes) {
    Image<unsigned char> grey(4, 4, 1);
    std::fill(grey.data.get(), grey.data.get() + grey.size(), 0);
    EXPECT_THROW(write_jpeg(grey), std::invalid_argument);
    EXPECT_THROW(write_jpeg(Image<unsigned char>()), std::invalid_argument);
}

}  // namespace
