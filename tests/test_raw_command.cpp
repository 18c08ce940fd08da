#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <future>
#include <limits>
#include <memory>
#include <vector>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "app/commands.hpp"
#include "app/image_request_slot.hpp"
#include "app/raw_command.hpp"
#include "tests/dng_writer.hpp"
#include "tests/same_bits.hpp"
#include "tests/socket_pair.hpp"

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

/// A "read_raw" request served by its handler in this process, on a connection of its own.
class ServedRawRequest {
public:
    /// Sends the file and starts the handler; the reply is read as it comes.
    explicit ServedRawRequest(const std::vector<unsigned char>& file) {
        tcp::acceptor acceptor(io_, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        client_.connect(acceptor.local_endpoint());
        acceptor.accept(*service_);
        const std::uint32_t size = static_cast<std::uint32_t>(file.size());
        std::vector<unsigned char> request = {
            0x0C, static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
            static_cast<unsigned char>(size >> 16), static_cast<unsigned char>(size >> 24)};
        request.insert(request.end(), file.begin(), file.end());
        boost::asio::write(client_, boost::asio::buffer(request));
        reply_ = std::async(std::launch::async, [this] {
            std::vector<unsigned char> reply;
            boost::system::error_code end;
            boost::asio::read(client_, boost::asio::dynamic_buffer(reply), end);
            return reply;
        });
        served_ = std::async(std::launch::async, [this] {
            read_raw_handler(service_);
            service_->close();
        });
    }
    ~ServedRawRequest() { served_.wait(); }

    /// True once the handler has sent its whole reply, within timeout.
    bool answered_within(std::chrono::milliseconds timeout) {
        return served_.wait_for(timeout) == std::future_status::ready;
    }

    /// The count of the reply's first value, the full image's payload, once the reply is whole.
    std::uint32_t full_image_bytes() {
        const std::vector<unsigned char> reply = reply_.get();
        if (reply.size() < 5 || reply[0] != 0x0C) return 0;
        return std::uint32_t{reply[1]} | std::uint32_t{reply[2]} << 8 | std::uint32_t{reply[3]} << 16 |
               std::uint32_t{reply[4]} << 24;
    }

private:
    boost::asio::io_context io_;
    tcp::socket client_{io_};
    socket_ptr service_ = std::make_shared<tcp::socket>(io_);
    std::future<std::vector<unsigned char>> reply_;
    std::future<void> served_;
};

/// The pattern of a synthetic camera stored 96 x 64 with pixels this many times taller than wide.
std::vector<unsigned char> tall_pixels_file(double stretch) {
    DngDescription d;
    d.width = 96;
    d.height = 64;
    d.default_scale[1] = stretch;
    d.scene = [](int x, int y) {
        const double g = (x / 16 + y / 16) % 2 ? 0.3 : 0.1;
        return SceneColour{g, g, g};
    };
    return make_dng(d);
}

// A raw file's length does not tell how large its picture is: the decoding's share follows the
// picture LibRaw delivers, stretched to square pixels. A small picture decodes in what the budget
// has left; one that LibRaw stretches past it waits for the room.
TEST(RawRequestShare, FollowsThePictureAsLibRawDeliversIt) {
    constexpr std::uint64_t left = 10000;
    SocketPair holder_connection;
    auto holder =
        std::make_unique<ImageRequestSlot>(holder_connection.far, "decompose_ldr", image_pixel_budget - left);
    holder->payload_arrived();
    {
        // 96 x 128 delivered, 6144 pixels of share.
        ServedRawRequest small(tall_pixels_file(2.0));
        EXPECT_TRUE(small.answered_within(std::chrono::seconds(20))) << "a small picture waited for room";
        EXPECT_EQ(small.full_image_bytes(), 12u * 96 * 128);
    }
    // 96 x 256 delivered, 12288 pixels of share; the same file unstretched would take 3072.
    ServedRawRequest stretched(tall_pixels_file(4.0));
    EXPECT_FALSE(stretched.answered_within(std::chrono::milliseconds(500)))
        << "a stretched picture was decoded in less room than it takes";
    holder.reset();
    EXPECT_TRUE(stretched.answered_within(std::chrono::seconds(20)));
    EXPECT_EQ(stretched.full_image_bytes(), 12u * 96 * 256);
}

}  // namespace
