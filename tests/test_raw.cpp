#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "imaging/imageio.hpp"
#include "resident_memory.hpp"
#include "tests/dng_writer.hpp"

namespace {

constexpr double full_scale = 65535.0;

/// Stored sides of the pattern scene, and its block side: 6 x 4 blocks of distinct greys.
constexpr int pattern_width = 96, pattern_height = 64, block = 16;

double block_grey(int x, int y) { return 0.04 + 0.025 * ((x / block) + 6 * (y / block)); }

/// True when a stored position lies far enough inside its block that demosaicing and denoising
/// leave it at the block's grey.
bool inside_block(int x, int y) {
    const int bx = x % block, by = y % block;
    return bx >= 4 && bx < block - 4 && by >= 4 && by < block - 4;
}

Scene block_scene() {
    return [](int x, int y) {
        const double g = block_grey(x, y);
        return SceneColour{g, g, g};
    };
}

/// The stored position that a TIFF orientation code shows at upright position (x, y).
void stored_position(int orientation, int x, int y, int& sx, int& sy) {
    switch (orientation) {
        case 3:
            sx = pattern_width - 1 - x;
            sy = pattern_height - 1 - y;
            break;
        case 6:
            sx = y;
            sy = pattern_height - 1 - x;
            break;
        case 8:
            sx = pattern_width - 1 - y;
            sy = x;
            break;
        default:
            sx = x;
            sy = y;
            break;
    }
}

Image<float> decode(std::vector<unsigned char> bytes, float& log_mean) { return read_raw(bytes, log_mean); }

Image<float> decode(const DngDescription& description) {
    float log_mean = 0.0f;
    return decode(make_dng(description), log_mean);
}

/// Fails at the first pixel whose planes are not 1 + the scene colour on the 16-bit scale.
void expect_colour_everywhere(const Image<float>& image, SceneColour colour, double tolerance) {
    const double expected[3] = {1 + colour.red * full_scale, 1 + colour.green * full_scale,
                                1 + colour.blue * full_scale};
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < image.width * image.height; ++i)
            if (std::abs(image.plane_data(c)[i] - expected[c]) > tolerance) {
                ADD_FAILURE() << "plane " << c << " pixel (" << i % image.width << ", " << i / image.width
                              << "): " << image.plane_data(c)[i] << ", expected " << expected[c];
                return;
            }
}

class RawOrientation : public ::testing::TestWithParam<int> {};

TEST_P(RawOrientation, PictureIsTheSceneTurnedUpright) {
    const int orientation = GetParam();
    DngDescription d;
    d.width = pattern_width;
    d.height = pattern_height;
    d.orientation = orientation;
    d.scene = block_scene();
    const Image<float> image = decode(d);

    const bool sideways = orientation == 6 || orientation == 8;
    ASSERT_EQ(image.channels, 3);
    ASSERT_EQ(image.width, sideways ? pattern_height : pattern_width);
    ASSERT_EQ(image.height, sideways ? pattern_width : pattern_height);

    int checked = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            int sx = 0, sy = 0;
            stored_position(orientation, x, y, sx, sy);
            if (!inside_block(sx, sy)) continue;
            const double expected = 1 + block_grey(sx, sy) * full_scale;
            for (int c = 0; c < 3; ++c) {
                const float value = image.plane_data(c)[y * image.width + x];
                ASSERT_NEAR(value, expected, 0.005 * full_scale)
                    << "plane " << c << " at upright (" << x << ", " << y << "), stored (" << sx << ", " << sy
                    << ")";
            }
            ++checked;
        }
    EXPECT_EQ(checked, 24 * 8 * 8);
}

INSTANTIATE_TEST_SUITE_P(TiffOrientationCodes, RawOrientation, ::testing::Values(1, 3, 6, 8));

TEST(ReadRaw, UniformPatchesDecodeToTheirColour) {
    for (SceneColour colour :
         {SceneColour{0.18, 0.18, 0.18}, SceneColour{0.4, 0.2, 0.1}, SceneColour{0.05, 0.3, 0.6}}) {
        SCOPED_TRACE(testing::Message()
                     << "scene " << colour.red << ", " << colour.green << ", " << colour.blue);
        DngDescription d;
        d.scene = uniform_scene(colour);
        const Image<float> image = decode(d);
        ASSERT_EQ(image.width, d.width);
        ASSERT_EQ(image.height, d.height);
        expect_colour_everywhere(image, colour, 0.01 * full_scale);
    }
}

TEST(ReadRaw, BlackSceneGivesOneInEveryPlaneAndZeroLogMean) {
    DngDescription d;
    d.scene = uniform_scene({0, 0, 0});
    float log_mean = -1.0f;
    const Image<float> image = decode(make_dng(d), log_mean);
    ASSERT_EQ(image.width, d.width);
    expect_colour_everywhere(image, {0, 0, 0}, 0.0);
    EXPECT_EQ(log_mean, 0.0f);
}

TEST(ReadRaw, LogMeanIsTheMeanOfLogOnePlusLuminance) {
    // Left half dark, right half bright: Y is known on each side (Rec. 709 weights of the
    // linear sRGB scene).
    const SceneColour dark{0.02, 0.05, 0.03}, bright{0.6, 0.5, 0.3};
    const auto luminance = [](SceneColour c) { return 0.2126 * c.red + 0.7152 * c.green + 0.0722 * c.blue; };
    DngDescription d;
    d.scene = [&](int x, int) { return x < d.width / 2 ? dark : bright; };
    float log_mean = -1.0f;
    const Image<float> image = decode(make_dng(d), log_mean);
    ASSERT_EQ(image.width, d.width);
    const double expected =
        (std::log(1 + luminance(dark) * full_scale) + std::log(1 + luminance(bright) * full_scale)) / 2;
    EXPECT_NEAR(log_mean, expected, 0.02);
}

TEST(ReadRaw, UnreadableInputGivesTheEmptyImageAndKeepsTheLogMean) {
    const std::string text = "This is a text file, not a camera raw file.\n";
    for (const std::vector<unsigned char>& bytes :
         {std::vector<unsigned char>(), std::vector<unsigned char>(text.begin(), text.end())}) {
        float log_mean = -7.0f;
        const Image<float> image = decode(bytes, log_mean);
        EXPECT_EQ(image.width, 0);
        EXPECT_EQ(image.height, 0);
        EXPECT_EQ(image.channels, 0);
        EXPECT_EQ(image.data, nullptr);
        EXPECT_EQ(log_mean, -7.0f);
    }
}

// The watcher sees the image that read_raw returns, in its final place; every row it is told
// is final already holds its final value in every plane. A rejected file ends the progress
// without a picture.
TEST(ReadRaw, ProgressReportsOnlyRowsAlreadyFinal) {
    DngDescription d;
    d.width = 2200;
    d.height = 640;
    d.orientation = 8;
    d.scene = block_scene();
    std::vector<unsigned char> file = make_dng(d);
    ConversionProgress progress;
    ConversionProgress::Picture picture;
    std::vector<float> seen;
    std::thread watcher([&] {
        picture = progress.wait_for_picture();
        const std::size_t plane = static_cast<std::size_t>(picture.width) * picture.height;
        seen.assign(3 * plane, -1.0f);
        for (int rows = 0; rows < picture.height;) {
            const int final_rows = progress.wait_for_rows(rows + 1);
            if (final_rows <= rows) break;
            const std::size_t first = static_cast<std::size_t>(rows) * picture.width;
            const std::size_t end = static_cast<std::size_t>(final_rows) * picture.width;
            for (int c = 0; c < 3; ++c)
                std::copy(picture.values + c * plane + first, picture.values + c * plane + end,
                          seen.begin() + c * plane + first);
            rows = final_rows;
        }
    });
    float log_mean = 0.0f;
    const Image<float> image = read_raw(file, log_mean, progress);
    watcher.join();
    ASSERT_EQ(image.width, 640);
    ASSERT_EQ(image.height, 2200);
    EXPECT_EQ(picture.values, image.data.get());
    EXPECT_EQ(picture.width, 640);
    EXPECT_EQ(picture.height, 2200);
    ASSERT_EQ(seen.size(), image.size());
    EXPECT_EQ(std::memcmp(seen.data(), image.data.get(), image.size() * sizeof(float)), 0);

    std::vector<unsigned char> text = {'n', 'o', 't', ' ', 'r', 'a', 'w'};
    ConversionProgress rejected;
    EXPECT_EQ(read_raw(text, log_mean, rejected).data, nullptr);
    EXPECT_EQ(rejected.wait_for_picture().values, nullptr);
    EXPECT_EQ(rejected.wait_for_rows(1), 0);
}

TEST(ConversionProgress, EndWakesAWatcherAndFreezesWhatWasReported) {
    ConversionProgress progress;
    const Image<float> image(4, 3, 3);
    progress.begin(image);
    const Image<float> other(2, 2, 3);
    progress.begin(other);
    progress.reach(2);
    progress.reach(1);
    int rows = -1;
    std::thread watcher([&] { rows = progress.wait_for_rows(3); });
    progress.end();
    watcher.join();
    EXPECT_EQ(rows, 2);
    progress.reach(3);
    EXPECT_EQ(progress.wait_for_rows(3), 2);
    EXPECT_EQ(progress.wait_for_picture().values, image.data.get());
}

// A conversion that fails after reporting rows hands its image to the progress, so that the
// rows on their way to a client stay readable.
TEST(ConversionProgress, UnfinishedImageStaysReadableAfterEnd) {
    ConversionProgress progress;
    Image<float> image(4, 3, 3);
    image.data[0] = 7.0f;
    progress.begin(image);
    progress.reach(1);
    progress.end(std::move(image));
    const ConversionProgress::Picture picture = progress.wait_for_picture();
    EXPECT_EQ(picture.values[0], 7.0f);
    EXPECT_EQ(progress.wait_for_rows(2), 1);
}

TEST(ReadRaw, TruncatedFileIsRejectedOrDecodedWhole) {
    DngDescription d;
    d.scene = block_scene();
    const std::vector<unsigned char> whole = make_dng(d);
    for (std::size_t length :
         {std::size_t{8}, std::size_t{100}, std::size_t{400}, whole.size() / 2, whole.size() - 1}) {
        SCOPED_TRACE(testing::Message() << length << " of " << whole.size() << " bytes");
        float log_mean = -7.0f;
        const Image<float> image =
            decode(std::vector<unsigned char>(whole.begin(), whole.begin() + length), log_mean);
        if (image.data) {
            EXPECT_EQ(image.width, d.width);
            EXPECT_EQ(image.height, d.height);
            EXPECT_TRUE(std::isfinite(log_mean));
        } else {
            EXPECT_EQ(image.width, 0);
            EXPECT_EQ(log_mean, -7.0f);
        }
    }
}

/// Starts the peak resident memory of this process afresh; false where the system cannot.
bool reset_peak_memory() {
    std::ofstream("/proc/self/clear_refs") << "5";
    return process_status_value(getpid(), "VmHWM:") <= resident_kib(getpid()) + 1024;
}

/// Holds this process's address space to what it maps now plus a margin, for as long as it lives.
class AddressSpaceCap {
public:
    explicit AddressSpaceCap(long margin_kib) {
        getrlimit(RLIMIT_AS, &previous_);
        rlimit capped = previous_;
        const rlim_t wanted =
            static_cast<rlim_t>(process_status_value(getpid(), "VmSize:") + margin_kib) * 1024;
        if (wanted < capped.rlim_cur) capped.rlim_cur = wanted;
        setrlimit(RLIMIT_AS, &capped);
    }
    AddressSpaceCap(const AddressSpaceCap&) = delete;
    AddressSpaceCap& operator=(const AddressSpaceCap&) = delete;
    ~AddressSpaceCap() { setrlimit(RLIMIT_AS, &previous_); }

private:
    rlimit previous_{};
};

/// Decodes file under an address-space cap and expects the empty image, log_mean untouched, and
/// no memory given to the picture the file announces.
void expect_refused_without_memory(std::vector<unsigned char> file) {
    if (!reset_peak_memory()) GTEST_SKIP() << "the peak resident memory cannot be reset here";
    const long before_kib = resident_kib(getpid());
    float log_mean = -7.0f;
    Image<float> image;
    {
        const AddressSpaceCap cap(1L << 20);
        image = read_raw(file, log_mean);
    }
    EXPECT_EQ(image.data, nullptr);
    EXPECT_EQ(image.width, 0);
    EXPECT_EQ(image.height, 0);
    EXPECT_EQ(log_mean, -7.0f);
    EXPECT_LT(process_status_value(getpid(), "VmHWM:") - before_kib, 64 * 1024)
        << "the announced picture was given memory";
}

// A file of a few kilobytes labelled lossless JPEG is a black picture of any size to LibRaw.
// Within what a float payload can carry it decodes; 13380 x 13380 (2148287200 bytes of floats,
// just beyond) is refused before LibRaw takes its memory, which decoding it would take by the
// gigabyte: the address space is capped, so that a decoder that tried could not take the machine's.
TEST(ReadRaw, FileAnnouncingAPictureNoFloatPayloadCarriesIsRefusedWithoutItsMemory) {
    DngDescription d;
    d.scene = uniform_scene({0.2, 0.2, 0.2});
    d.labelled_lossless_jpeg = true;
    d.announced_width = 1024;
    d.announced_height = 768;
    const Image<float> small = decode(d);
    ASSERT_EQ(small.width, 1024) << "LibRaw no longer takes the label for a black picture";
    ASSERT_EQ(small.height, 768);

    d.announced_width = d.announced_height = 13380;
    expect_refused_without_memory(make_dng(d));
}

/// FNV-1a, 64 bits: a fingerprint of a decoded image's payload to compare with one taken before.
std::uint64_t fingerprint(const std::vector<unsigned char>& bytes) {
    std::uint64_t hash = 14695981039346656037u;
    for (const unsigned char byte : bytes) hash = (hash ^ byte) * 1099511628211u;
    return hash;
}

/// The pattern scene stored with non-square pixels of these scales and an orientation.
DngDescription stretched_pattern(double horizontal, double vertical, int orientation) {
    DngDescription d;
    d.width = pattern_width;
    d.height = pattern_height;
    d.orientation = orientation;
    d.default_scale[0] = horizontal;
    d.default_scale[1] = vertical;
    d.scene = block_scene();
    return d;
}

// LibRaw stretches a picture of non-square pixels while it processes it: the size it delivers is
// known before, to the pixel, and the values are those decoded before the size was looked at (the
// fingerprints were taken from the service as it was before).
TEST(ReadRaw, StretchedPicturesAreDeliveredAtTheSizeForeseenWithTheirValuesUnchanged) {
    struct Case {
        DngDescription file;
        int width, height;
        std::uint64_t fingerprint;
    };
    const Case cases[] = {{stretched_pattern(1.0, 2.0, 6), 128, 96, 0x18629f256bd71f4bu},
                          {stretched_pattern(3.0, 2.0, 3), 144, 64, 0x0ddb09958564eff1u}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        std::vector<unsigned char> file = make_dng(c.file);
        EXPECT_EQ(raw_picture_pixels(file), static_cast<std::uint64_t>(c.width) * c.height);
        float log_mean = 0.0f;
        const Image<float> image = decode(file, log_mean);
        ASSERT_EQ(image.width, c.width);
        ASSERT_EQ(image.height, c.height);
        EXPECT_EQ(fingerprint(write_float(image)), c.fingerprint);
    }

    // A stretched side is kept in 16 bits: 7000 rows ten times taller are 70000, of which LibRaw
    // keeps 70000 - 65536.
    DngDescription tall;
    tall.width = 24;
    tall.height = 7000;
    tall.default_scale[1] = 10.0;
    tall.scene = uniform_scene({0.2, 0.2, 0.2});
    std::vector<unsigned char> file = make_dng(tall);
    EXPECT_EQ(raw_picture_pixels(file), 24u * 4464u);
    float log_mean = 0.0f;
    const Image<float> image = decode(file, log_mean);
    EXPECT_EQ(image.width, 24);
    EXPECT_EQ(image.height, 4464);
}

// 5000 x 4000 fits a float payload, but ten times taller as LibRaw would stretch it does not: the
// file is refused before LibRaw takes the gigabytes of the stretched picture.
TEST(ReadRaw, StretchedPictureNoFloatPayloadCarriesIsRefusedWithoutItsMemory) {
    std::vector<unsigned char> file = make_dng(overstretched_dng());
    EXPECT_EQ(raw_picture_pixels(file), 0u);
    expect_refused_without_memory(std::move(file));
}

TEST(ReadRaw, ShortFileThatAnnouncesABigPictureGetsNoMemoryForIt) {
    // 16 megapixels announced, 192 MB as float planes; 5 MB sent, which cannot hold them.
    DngDescription d;
    d.width = 4000;
    d.height = 4000;
    d.scene = uniform_scene({0.2, 0.2, 0.2});
    std::vector<unsigned char> file = make_dng(d);
    file.resize(std::size_t{5} << 20);
    if (!reset_peak_memory()) GTEST_SKIP() << "the peak resident memory cannot be reset here";
    const long before_kib = resident_kib(getpid());

    float log_mean = -7.0f;
    const Image<float> image = read_raw(file, log_mean);
    if (image.data) GTEST_SKIP() << "LibRaw decoded the truncated file whole";
    EXPECT_LT(process_status_value(getpid(), "VmHWM:") - before_kib, 96 * 1024)
        << "the announced picture was given memory before LibRaw read the file";
}

}  // namespace
