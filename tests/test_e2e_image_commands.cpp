#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/image_requests.hpp"
#include "tests/jpeg_decoder.hpp"
#include "tests/resident_memory.hpp"
#include "tests/running_service.hpp"
#include "tests/service_process.hpp"
#include "tests/synthetic_photo.hpp"
#include "tests/wire_client.hpp"

namespace {

/// An ARGB payload of a photo: each channel rounded to a byte within [52, 242].
WireBytes argb(const Image<float>& photo, unsigned char alpha = 255) {
    const std::size_t count = static_cast<std::size_t>(photo.width) * photo.height;
    WireBytes bytes(4 * count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[4 * i] = alpha;
        for (int c = 0; c < 3; ++c) {
            const int v = static_cast<int>(photo.plane_data(c)[i] * 255.0f + 0.5f);
            bytes[4 * i + 1 + c] = static_cast<unsigned char>(std::clamp(v, 52, 242));
        }
    }
    return bytes;
}

/// A planar float payload: the planes one after another, little-endian floats.
WireBytes planar(const Image<float>& image) {
    WireBytes bytes(image.size() * sizeof(float));
    std::memcpy(bytes.data(), image.data.get(), bytes.size());
    return bytes;
}

/// The four values of a tone-mapping reply.
struct ToneMapped {
    WireBytes argb;
    int width = 0;
    int height = 0;
    WireBytes jpeg;
};

ToneMapped read_tone_mapped(Reply reply) {
    ToneMapped t;
    t.argb = reply.bytes();
    t.width = reply.integer();
    t.height = reply.integer();
    t.jpeg = reply.bytes();
    EXPECT_TRUE(reply.at_end());
    return t;
}

/// True when every fourth byte, from the first, is 255.
bool opaque(const WireBytes& argb) {
    for (std::size_t i = 0; i < argb.size(); i += 4)
        if (argb[i] != 255) return false;
    return true;
}

class ImageCommandService : public RunningService {
protected:
    Reply send(const Request& request, std::chrono::seconds timeout = std::chrono::seconds(60)) {
        return exchange(port, request, timeout);
    }

    void expect_still_serving() { EXPECT_EQ(send(Request("version")).string(), "Lumerra Vozazuvazor"); }
};

TEST_F(ImageCommandService, QuarterTurnOfTwoByOneAnswersOneByTwo) {
    const WireBytes pixels = {255, 60, 120, 180, 255, 200, 100, 70};
    ToneMapped turned = read_tone_mapped(send(tonemap_request("tonemap_ldr", pixels, 2, 1, 1)));
    EXPECT_EQ(turned.width, 1);
    EXPECT_EQ(turned.height, 2);
    EXPECT_EQ(turned.argb.size(), 8u);
    EXPECT_TRUE(opaque(turned.argb));
    const DecodedJpeg jpeg = decode_jpeg(turned.jpeg);
    EXPECT_EQ(jpeg.width, 1);
    EXPECT_EQ(jpeg.height, 2);

    ToneMapped half_turn = read_tone_mapped(send(tonemap_request("tonemap_ldr", pixels, 2, 1, 2)));
    EXPECT_EQ(half_turn.width, 2);
    EXPECT_EQ(half_turn.height, 1);
    EXPECT_EQ(half_turn.argb.size(), 8u);
}

TEST_F(ImageCommandService, RotationActsModuloFourAndAlphaAndSurplusBytesChangeNothing) {
    const Image<float> photo = synthetic_photo(48, 32);
    const ToneSettings s = working_settings(0.6);
    const WireBytes pixels = argb(photo);
    const Reply upright = send(tonemap_request("tonemap_ldr", pixels, 48, 32, 0, s));
    const Reply turned = send(tonemap_request("tonemap_ldr", pixels, 48, 32, 1, s));
    ASSERT_FALSE(upright.data().empty());
    EXPECT_EQ(send(tonemap_request("tonemap_ldr", pixels, 48, 32, 4, s)).data(), upright.data());
    EXPECT_EQ(send(tonemap_request("tonemap_ldr", pixels, 48, 32, 5, s)).data(), turned.data());
    EXPECT_NE(turned.data(), upright.data());

    WireBytes transparent = argb(photo, 0);
    for (std::size_t i = 0; i < transparent.size(); i += 4) transparent[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(send(tonemap_request("tonemap_ldr", transparent, 48, 32, 0, s)).data(), upright.data());

    WireBytes longer = pixels;
    longer.insert(longer.end(), 1001, 7);
    EXPECT_EQ(send(tonemap_request("tonemap_ldr", longer, 48, 32, 0, s)).data(), upright.data());

    const ToneMapped result = read_tone_mapped(upright);
    EXPECT_EQ(result.width, 48);
    EXPECT_EQ(result.height, 32);
    EXPECT_TRUE(opaque(result.argb));
}

TEST_F(ImageCommandService, JpegDecodesToTheArgbResult) {
    const Image<float> photo = synthetic_photo(96, 64, 7);
    for (const char* command : {"tonemap_ldr", "tonemap_hdr"}) {
        SCOPED_TRACE(command);
        const bool hdr = std::string(command) == "tonemap_hdr";
        const ToneMapped result = read_tone_mapped(send(
            tonemap_request(command, hdr ? planar(photo) : argb(photo), 96, 64, 3, working_settings(0.6))));
        ASSERT_EQ(result.argb.size(), 4u * 64 * 96);
        ASSERT_EQ(result.width, 64);
        ASSERT_EQ(result.height, 96);
        const DecodedJpeg jpeg = decode_jpeg(result.jpeg);
        ASSERT_EQ(jpeg.width, 64);
        ASSERT_EQ(jpeg.height, 96);
        // Quality 100 keeps the brightness of every pixel; the colour is sampled at half
        // resolution, so the channels stray more than the luma does.
        double channel_total = 0.0;
        double luma_total = 0.0;
        for (std::size_t i = 0; i < jpeg.rgb.size(); i += 3) {
            int luma_difference = 0;
            for (std::size_t c = 0; c < 3; ++c) {
                const int difference = jpeg.rgb[i + c] - result.argb[i / 3 * 4 + 1 + c];
                channel_total += std::abs(difference);
                luma_difference += (c == 1 ? 6 : c == 0 ? 3 : 1) * difference;
            }
            luma_total += std::abs(luma_difference) / 10.0;
        }
        EXPECT_LT(channel_total / jpeg.rgb.size(), 4.0);
        EXPECT_LT(luma_total / (jpeg.rgb.size() / 3), 1.0);
    }
}

TEST_F(ImageCommandService, DecompositionAnswersSevenValuesOfTheStatedSizes) {
    const Image<float> photo = synthetic_photo(40, 30, 3);
    for (const char* command : {"decompose_ldr", "decompose_hdr"}) {
        SCOPED_TRACE(command);
        const bool hdr = std::string(command) == "decompose_hdr";
        Reply reply = send(decompose_request(command, hdr ? planar(photo) : argb(photo), 40, 30, 1));
        EXPECT_EQ(reply.bytes().size(), 12u * 30 * 40);
        EXPECT_EQ(reply.bytes().size(), 12u * 30 * 40);
        EXPECT_EQ(reply.bytes().size(), 12u * 30 * 40);
        EXPECT_EQ(reply.bytes().size(), 960048u);
        const double mean = reply.number();
        EXPECT_GT(mean, 0.0);
        EXPECT_LT(mean, 1.0);
        EXPECT_EQ(reply.integer(), 30);
        EXPECT_EQ(reply.integer(), 40);
        EXPECT_TRUE(reply.at_end());
    }
}

TEST_F(ImageCommandService, WidthSentAsADoubleIsTruncated) {
    const WireBytes pixels = argb(synthetic_photo(3, 2));
    Request fractional("tonemap_ldr");
    fractional.bytes(pixels).number(3.9).integer(2).integer(0);
    const Reply reply = send(append_settings(fractional, ToneSettings()));
    EXPECT_FALSE(reply.data().empty());
    EXPECT_EQ(reply.data(), send(tonemap_request("tonemap_ldr", pixels, 3, 2)).data());
}

TEST_F(ImageCommandService, StringForADoubleEndsTheRequestWithNothingWritten) {
    Request request = decompose_request("tonemap_ldr", argb(synthetic_photo(8, 6)), 8, 6);
    request.string("1.0");
    for (int i = 0; i < 10; ++i) request.number(1.0);
    EXPECT_TRUE(send(request).data().empty());
    EXPECT_TRUE(service->wait_for_line("INFO: Command received - tonemap_ldr"));
    expect_still_serving();
    EXPECT_FALSE(service->has_line("ERROR: "));
}

TEST_F(ImageCommandService, RequestsOutsideTheLimitsAreRefusedWithNothingWritten) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // A 4 x 3 float image of the synthetic photo with pixel 5 set to (r, g, b).
    auto with_pixel = [](float r, float g, float b) {
        Image<float> image = synthetic_photo(4, 3);
        image.plane_data(0)[5] = r;
        image.plane_data(1)[5] = g;
        image.plane_data(2)[5] = b;
        return planar(image);
    };
    Image<float> constant(4, 3, 3);
    std::fill(constant.data.get(), constant.data.get() + constant.size(), 0.4f);
    Image<float> one_pixel = synthetic_photo(1, 1);
    const WireBytes photo = argb(synthetic_photo(4, 3));

    struct Case {
        const char* what;
        const char* command;
        Request request;
    };
    const Case cases[] = {
        {"width 0", "tonemap_ldr", tonemap_request("tonemap_ldr", {}, 0, 3)},
        {"height 0", "decompose_ldr", decompose_request("decompose_ldr", {}, 4, 0)},
        {"negative width", "decompose_hdr", decompose_request("decompose_hdr", photo, -4, 3)},
        {"negative height", "tonemap_hdr", tonemap_request("tonemap_hdr", photo, 4, -3)},
        {"short ARGB payload", "tonemap_ldr",
         tonemap_request("tonemap_ldr", WireBytes(photo.begin(), photo.end() - 1), 4, 3)},
        {"short HDR payload", "decompose_hdr",
         decompose_request("decompose_hdr", WireBytes(4 * 3 * 12 - 4, 0x3f), 4, 3)},
        {"long HDR payload", "tonemap_hdr",
         tonemap_request("tonemap_hdr", WireBytes(4 * 3 * 12 + 4, 0x3f), 4, 3)},
        {"float buffer past 2^31 - 1", "decompose_ldr",
         decompose_request("decompose_ldr", photo, 10922, 16386)},
        {"negative rotation", "tonemap_ldr", tonemap_request("tonemap_ldr", photo, 4, 3, -1)},
        {"height above 10000 x width", "decompose_ldr",
         decompose_request("decompose_ldr", WireBytes(4 * 10001, 128), 1, 10001)},
        {"turned height above 10000 x width", "tonemap_ldr",
         tonemap_request("tonemap_ldr", WireBytes(4 * 10001, 128), 10001, 1, 3)},
        {"width above 65500", "tonemap_ldr",
         tonemap_request("tonemap_ldr", WireBytes(4 * 65501, 128), 65501, 1)},
        {"turned width above 65500", "tonemap_hdr",
         tonemap_request("tonemap_hdr", planar(synthetic_photo(1, 65501)), 1, 65501, 1)},
        {"zero luminance", "tonemap_hdr", tonemap_request("tonemap_hdr", with_pixel(0, 0, 0), 4, 3)},
        {"negative luminance", "decompose_hdr",
         decompose_request("decompose_hdr", with_pixel(-0.5f, -0.5f, -0.5f), 4, 3)},
        {"infinite luminance", "tonemap_hdr", tonemap_request("tonemap_hdr", with_pixel(inf, 1, 1), 4, 3)},
        {"NaN luminance", "decompose_hdr", decompose_request("decompose_hdr", with_pixel(1, nan, 1), 4, 3)},
        {"one pixel", "tonemap_hdr", tonemap_request("tonemap_hdr", planar(one_pixel), 1, 1)},
        {"constant luminance", "decompose_hdr", decompose_request("decompose_hdr", planar(constant), 4, 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(send(c.request).data().empty());
        EXPECT_TRUE(service->wait_for_line(std::string("ERROR: Request refused - ") + c.command + ": "));
        expect_still_serving();
    }
}

/// The start of a tone-mapping request whose payload is announced as 1 GiB, with the payload's
/// first byte or without it.
Request gigabyte_announcement(bool payload_begun) {
    Request request("tonemap_ldr");
    request.raw({0x0C, 0, 0, 0, 0x40});
    if (payload_begun) request.raw({0x17});
    return request;
}

/// A small tone-mapping request sent on a connection of its own: the seconds until its reply.
double seconds_to_answer_a_small_request(int port) {
    const auto asked = std::chrono::steady_clock::now();
    const WireBytes pixels = {255, 60, 120, 180, 255, 200, 100, 70};
    read_tone_mapped(exchange(port, tonemap_request("tonemap_ldr", pixels, 2, 1), std::chrono::seconds(60)));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
}

// Clients that announce a payload and never begin to send it take no place in line: the requests
// behind them are not kept waiting for them.
TEST_F(ImageCommandService, PayloadsAnnouncedButNeverBegunKeepNoOneWaiting) {
    std::vector<std::unique_ptr<WireClient>> silent;
    for (int i = 0; i < 3; ++i) {
        silent.push_back(std::make_unique<WireClient>(port));
        ASSERT_TRUE(silent.back()->send(gigabyte_announcement(false)));
        ASSERT_TRUE(service->wait_for_line("INFO: Command received - tonemap_ldr"));
    }
    EXPECT_LT(seconds_to_answer_a_small_request(port), 5.0);
}

// A payload that stalls while another request waits is refused within seconds, with nothing
// written, and its connection is closed.
TEST_F(ImageCommandService, AStalledPayloadIsRefusedAndClosedWithinSecondsWhileAnotherWaits) {
    WireClient stalled(port);
    ASSERT_TRUE(stalled.send(gigabyte_announcement(true)));
    ASSERT_TRUE(service->wait_for_line("INFO: Command received - tonemap_ldr"));
    // Its turn comes as soon as the service sees the first byte.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(seconds_to_answer_a_small_request(port), 8.0);
    EXPECT_TRUE(service->wait_for_line("ERROR: Request refused - tonemap_ldr: payload too slow"));
    EXPECT_TRUE(stalled.read_to_end(std::chrono::seconds(5)).empty());
}

TEST_F(ImageCommandService, NeutralToneMappingAfterDecompositionGivesThePhotoBack) {
    const WireBytes pixels = argb(synthetic_photo(128, 96, 11));
    Reply decomposed = send(decompose_request("decompose_ldr", pixels, 128, 96));
    for (int payload = 0; payload < 4; ++payload) decomposed.bytes();
    ToneSettings neutral;
    neutral.brightness = decomposed.number();

    const ToneMapped result =
        read_tone_mapped(send(tonemap_request("tonemap_ldr", pixels, 128, 96, 0, neutral)));
    ASSERT_EQ(result.argb.size(), pixels.size());
    int worst = 0;
    std::size_t worst_at = 0;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        if (i % 4 == 0) continue;
        const int difference = std::abs(result.argb[i] - pixels[i]);
        if (difference > worst) {
            worst = difference;
            worst_at = i;
        }
    }
    EXPECT_LE(worst, 3) << "pixel " << worst_at / 4 << " channel " << worst_at % 4 << ": sent "
                        << int(pixels[worst_at]) << ", answered " << int(result.argb[worst_at]);
}

TEST_F(ImageCommandService, TwelveMegapixelToneMappingCompletes) {
    const int width = 4000;
    const int height = 3000;
    const Request request = tonemap_request("tonemap_ldr", argb(synthetic_photo(width, height, 5)), width,
                                            height, 0, working_settings(0.6));
    const auto start = std::chrono::steady_clock::now();
    const ToneMapped result = read_tone_mapped(send(request, std::chrono::seconds(120)));
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    const long peak_kib = process_status_value(service->pid(), "VmHWM:");

    EXPECT_EQ(result.argb.size(), 4u * width * height);
    EXPECT_EQ(result.width, width);
    EXPECT_EQ(result.height, height);
    ASSERT_GT(result.jpeg.size(), 4u);
    EXPECT_EQ(result.jpeg[0], 0xFF);
    EXPECT_EQ(result.jpeg[1], 0xD8);
    std::cout << "4000 x 3000 tonemap_ldr: " << wall.count() << " s, service peak resident "
              << peak_kib / 1024 << " MiB" << std::endl;
    RecordProperty("wall_ms", static_cast<int>(wall.count() * 1000));
    RecordProperty("peak_resident_kib", static_cast<int>(peak_kib));
}

}  // namespace
