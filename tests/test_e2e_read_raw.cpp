#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/raw_command.hpp"
#include "imaging/imageio.hpp"
#include "tests/dng_writer.hpp"
#include "tests/running_service.hpp"
#include "tests/service_process.hpp"
#include "tests/wire_client.hpp"

namespace {

class ReadRawService : public RunningService {
protected:
    /// Sends one "read_raw" request with this file and returns the reply.
    Reply read_raw_reply(const WireBytes& file) { return exchange(port, Request("read_raw").bytes(file)); }

    /// The closing log line of the request just served.
    std::string closing_line() {
        return service->wait_for_line("INFO: Raw image read - ").value_or("(no closing line)");
    }

    /// Sends the file and expects the reply of a file that cannot be decoded: two empty images of
    /// sides 0 and an empty preview, logged as 0 x 0.
    void expect_undecodable_reply(const WireBytes& file) {
        Reply reply = read_raw_reply(file);
        for (int image = 0; image < 2; ++image) {
            EXPECT_TRUE(reply.bytes().empty());
            EXPECT_EQ(reply.integer(), 0);
            EXPECT_EQ(reply.integer(), 0);
        }
        EXPECT_TRUE(reply.bytes().empty());
        EXPECT_TRUE(reply.at_end());
        EXPECT_EQ(closing_line(), "INFO: Raw image read - 0 x 0, " + std::to_string(file.size()) + " bytes");
    }
};

TEST_F(ReadRawService, SidewaysPhotoGivesUprightFullReducedAndPreview) {
    // Stored 1200 x 900 and marked to be turned clockwise: the client gets 900 x 1200.
    DngDescription d;
    d.width = 1200;
    d.height = 900;
    d.orientation = 6;
    d.iso = 1600;
    d.scene = [](int x, int y) {
        const double g = ((x / 100) + (y / 100)) % 2 ? 0.3 : 0.1;
        return SceneColour{g, g, g};
    };
    WireBytes file = make_dng(d);
    Reply reply = read_raw_reply(file);

    // The same file decoded here, for the values the service must have sent.
    float log_mean = 0.0f;
    const Image<float> full = read_raw(file, log_mean);
    ASSERT_EQ(full.width, 900);
    ASSERT_EQ(full.height, 1200);
    const Image<float> reduced = resize(full, reduced_size(full.width, full.height), false, false);
    const Image<unsigned char> preview = raw_preview(reduced, exposure_scale(log_mean));

    EXPECT_EQ(reply.bytes(), write_float(full));
    EXPECT_EQ(reply.integer(), 900);
    EXPECT_EQ(reply.integer(), 1200);
    const WireBytes reduced_payload = reply.bytes();
    EXPECT_EQ(reduced_payload.size(), 12u * 600 * 800);
    EXPECT_EQ(reduced_payload, write_float(reduced));
    EXPECT_EQ(reply.integer(), 600);
    EXPECT_EQ(reply.integer(), 800);
    const WireBytes preview_payload = reply.bytes();
    ASSERT_EQ(preview_payload.size(), 4u * 600 * 800);
    EXPECT_EQ(preview_payload, write_argb(preview));
    EXPECT_TRUE(reply.at_end());

    // Two greys with equal areas: the log mean sits between them, so the preview shows the dark
    // squares below mid-grey and the bright ones above.
    EXPECT_EQ(preview_payload[0], 255);
    EXPECT_GT(preview_payload[1], 80);
    EXPECT_LT(preview_payload[1], 127);
    EXPECT_EQ(closing_line(), "INFO: Raw image read - 900 x 1200, " + std::to_string(file.size()) + " bytes");
    EXPECT_TRUE(service->has_line("INFO: Command received - read_raw"));
}

TEST_F(ReadRawService, UnreadableFilesGiveEmptyRepliesAndZeroSizes) {
    const std::string text = "Not a raw file at all, just a line of text.\n";
    for (const WireBytes& file : {WireBytes(), WireBytes(text.begin(), text.end())}) {
        SCOPED_TRACE(testing::Message() << file.size() << " bytes");
        expect_undecodable_reply(file);
    }
}

// 5000 x 4000 fits a float payload, but LibRaw would stretch it ten times taller, past what any
// reply can carry: the file gets the reply of a file that cannot be decoded.
TEST_F(ReadRawService, PictureStretchedPastWhatAReplyCarriesGetsTheReplyOfAnUndecodableFile) {
    expect_undecodable_reply(make_dng(overstretched_dng()));
}

TEST_F(ReadRawService, TruncatedFileLeavesTheServiceServing) {
    DngDescription d;
    d.scene = uniform_scene({0.2, 0.2, 0.2});
    const WireBytes whole = make_dng(d);
    for (std::size_t length : {std::size_t{100}, whole.size() / 2}) {
        SCOPED_TRACE(testing::Message() << length << " of " << whole.size() << " bytes");
        exchange(port, Request("read_raw").bytes(WireBytes(whole.begin(), whole.begin() + length)));
        EXPECT_TRUE(closing_line().find(", " + std::to_string(length) + " bytes") != std::string::npos);
    }
    Reply version = exchange(port, Request("version"));
    EXPECT_EQ(version.string(), "Lumerra Vozazuvazor");

    // And a whole file still decodes afterwards.
    Reply reply = read_raw_reply(whole);
    EXPECT_EQ(reply.bytes().size(), 12u * d.width * d.height);
    EXPECT_EQ(reply.integer(), d.width);
    EXPECT_EQ(reply.integer(), d.height);
}

}  // namespace
