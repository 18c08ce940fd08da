#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "imaging/imageio.hpp"
#include "imaging/jpeg_strips.hpp"
#include "tests/same_bits.hpp"
#include "tests/synthetic_photo.hpp"
#include "tests/worker_count.hpp"

// The strip encoder must give exactly the bytes of the library encoding the image in one piece,
// wherever the strip boundaries fall relative to the image's edges and its MCU rows.

namespace {

using Bytes = std::vector<unsigned char>;

/// The library's plain encoding: every row fed in order to one compression object, with the
/// settings of our files, into the library's memory destination.
Bytes encode_in_one_piece(const Image<unsigned char>& image) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(image.width);
    info.image_height = static_cast<JDIMENSION>(image.height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 100, TRUE);
    jpeg_start_compress(&info, TRUE);
    std::vector<unsigned char> row(3 * static_cast<std::size_t>(image.width));
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x)
            for (int c = 0; c < 3; ++c)
                row[3 * x + c] = image.plane_data(c)[static_cast<std::size_t>(y) * image.width + x];
        JSAMPROW pointer = row.data();
        jpeg_write_scanlines(&info, &pointer, 1);
    }
    jpeg_finish_compress(&info);
    Bytes file(buffer, buffer + size);
    std::free(buffer);
    jpeg_destroy_compress(&info);
    return file;
}

/// Gradients under strong noise and a hard edge: every block has its own DC and busy AC terms.
Image<unsigned char> busy_image(int width, int height, unsigned seed) {
    Image<unsigned char> image(width, height, 3);
    unsigned state = seed;
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                state = state * 1103515245u + 12345u;
                const int edge = (x + 2 * y) % 37 < 18 ? 60 : 0;
                const int value = (5 * x + 3 * y + 70 * c) % 160 + edge + static_cast<int>(state >> 28);
                image.plane_data(c)[static_cast<std::size_t>(y) * width + x] =
                    static_cast<unsigned char>(value);
            }
    return image;
}

TEST(JpegStrips, BoundariesAnywhereGiveTheBytesOfTheOnePieceEncoding) {
    // Widths around the 16-pixel MCU (chroma halved), heights around MCU rows and strip ends,
    // strips of one and several MCU rows, and strip heights that are not whole MCU rows.
    const int widths[] = {1, 2, 7, 8, 15, 16, 17, 33, 50};
    const int heights[] = {2, 15, 16, 17, 31, 32, 33, 47, 48, 49, 63, 64, 65, 100};
    const int strip_rows[] = {1, 16, 20, 32, 48};
    unsigned seed = 1;
    for (const int width : widths)
        for (const int height : heights)
            for (const int rows : strip_rows) {
                const Image<unsigned char> image = busy_image(width, height, seed++);
                const Bytes expected = encode_in_one_piece(image);
                const Bytes file = write_jpeg_in_strips(image, rows);
                ASSERT_TRUE(same_bits(expected, file))
                    << width << " x " << height << " in strips of " << rows << " rows";
            }
}

TEST(JpegStrips, PhotographsGiveTheBytesOfTheOnePieceEncoding) {
    // Sizes at which write_jpeg itself splits the image, one of them a full 12-megapixel frame
    // with sides that are not whole MCUs.
    const int sizes[][2] = {{4003, 2999}, {1000, 700}, {640, 481}, {257, 1100}};
    for (const auto& size : sizes) {
        const Image<unsigned char> image = im2byte(synthetic_photo(size[0], size[1], 7));
        const Bytes expected = encode_in_one_piece(image);
        EXPECT_TRUE(same_bits(expected, write_jpeg(image))) << size[0] << " x " << size[1];
    }
}

TEST(JpegStrips, ImagesTooSmallToSplitGiveTheBytesOfTheOnePieceEncoding) {
    const int sizes[][2] = {{1, 1}, {2, 2}, {65500, 1}, {300, 1}, {5, 16}, {40, 24}};
    for (const auto& size : sizes) {
        const Image<unsigned char> image = busy_image(size[0], size[1], 99);
        const Bytes expected = encode_in_one_piece(image);
        EXPECT_TRUE(same_bits(expected, write_jpeg(image))) << size[0] << " x " << size[1];
        EXPECT_TRUE(same_bits(expected, write_jpeg_in_strips(image, 16))) << size[0] << " x " << size[1];
    }
}

/// The message of the exception that encoding the image in strips of 16 rows throws.
std::string strip_error(const Image<unsigned char>& image) {
    try {
        write_jpeg_in_strips(image, 16);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no error";
}

TEST(JpegStrips, LibraryErrorsInStripsOrInTheWholeFileBecomeExceptions) {
    // Too wide: every strip's encoder refuses it, on the workers.
    EXPECT_NE(strip_error(busy_image(65501, 40, 3)).find("65500"), std::string::npos);
    // Too tall: the strips are fine, the whole file's encoder refuses it.
    EXPECT_NE(strip_error(busy_image(1, 65501, 4)).find("65500"), std::string::npos);

    // Nothing is left in a broken state: the next image encodes exactly.
    const Image<unsigned char> image = busy_image(33, 70, 5);
    EXPECT_TRUE(same_bits(encode_in_one_piece(image), write_jpeg_in_strips(image, 16)));
}

TEST(JpegStrips, OneWorkerEncodesEveryStripAndReportsFailures) {
    // With no other worker the entropy coder encodes the strips it waits for itself.
    const Image<unsigned char> image = busy_image(45, 200, 6);
    const Bytes file = on_one_worker([&] { return write_jpeg_in_strips(image, 16); });
    EXPECT_TRUE(same_bits(encode_in_one_piece(image), file));
    const std::string message = on_one_worker([] { return strip_error(busy_image(65501, 40, 3)); });
    EXPECT_NE(message.find("65500"), std::string::npos) << message;
}

}  // namespace
