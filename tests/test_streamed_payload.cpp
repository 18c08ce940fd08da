#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include <boost/asio/read.hpp>
#include <gtest/gtest.h>

#include "app/streamed_payload.hpp"
#include "imaging/imageio.hpp"

namespace {

using Bytes = std::vector<unsigned char>;

// Two connected loopback sockets: what one side sends, the other receives.
class StreamedPayload : public ::testing::Test {
protected:
    StreamedPayload() {
        tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        near.connect(acceptor.local_endpoint());
        acceptor.accept(far);
        for (std::size_t i = 0; i < image.size(); ++i) image.data[i] = 0.5f + static_cast<float>(i);
    }

    // Every byte that near sent, once near stops sending.
    Bytes sent() {
        near.shutdown(tcp::socket::shutdown_send);
        Bytes bytes;
        boost::system::error_code error;
        boost::asio::read(far, boost::asio::dynamic_buffer(bytes), error);
        return bytes;
    }

    boost::asio::io_context io;
    tcp::socket near{io};
    tcp::socket far{io};
    Image<float> image{2, 5, 3};
};

/// The wire form of a byte array: marker, 32-bit little-endian count, the bytes.
Bytes byte_array(const Bytes& payload) {
    const auto count = static_cast<std::uint32_t>(payload.size());
    Bytes bytes(5 + payload.size());
    bytes[0] = 0x0C;
    for (int i = 0; i < 4; ++i) bytes[1 + i] = static_cast<unsigned char>(count >> (8 * i));
    std::copy(payload.begin(), payload.end(), bytes.begin() + 5);
    return bytes;
}

TEST_F(StreamedPayload, RowsSentAsTheyBecomeFinalMakeThePlanarPayload) {
    ConversionProgress progress;
    progress.begin(image);
    std::thread converter([&] {
        for (int rows = 1; rows <= image.height; ++rows) progress.reach(rows);
        progress.end();
    });
    const bool whole = send_as_converted(near, progress.wait_for_picture(), progress);
    converter.join();
    EXPECT_TRUE(whole);
    EXPECT_EQ(sent(), byte_array(write_float(image)));
}

// The count announces the whole payload; what follows is only what was final, and the caller
// must end the connection.
TEST_F(StreamedPayload, ConversionCutShortEndsThePayloadAfterTheFinalRows) {
    ConversionProgress progress;
    progress.begin(image);
    progress.reach(2);
    progress.end();
    EXPECT_FALSE(send_as_converted(near, progress.wait_for_picture(), progress));
    Bytes expected = byte_array(write_float(image));
    expected.resize(5 + 2 * image.width * sizeof(float));
    EXPECT_EQ(sent(), expected);
}

TEST_F(StreamedPayload, NoPictureGivesTheEmptyByteArray) {
    ConversionProgress progress;
    progress.end();
    EXPECT_TRUE(send_as_converted(near, progress.wait_for_picture(), progress));
    EXPECT_EQ(sent(), byte_array(Bytes()));
}

}  // namespace
