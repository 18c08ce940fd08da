#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/streamed_payload.hpp"
#include "imaging/imageio.hpp"
#include "socket_pair.hpp"

namespace {

using Bytes = std::vector<unsigned char>;

// A three-plane image whose every value differs, to be sent from near to far.
class StreamedPayload : public ::testing::Test, public SocketPair {
protected:
    StreamedPayload() {
        for (std::size_t i = 0; i < image.size(); ++i) image.data[i] = 0.5f + static_cast<float>(i);
    }

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
