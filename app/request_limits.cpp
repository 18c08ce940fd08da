#include "app/request_limits.hpp"

#include <cmath>
#include <cstdint>

#include "imaging/tonemap.hpp"

namespace {

/// Image sizes and buffer lengths are 32-bit signed counts.
constexpr std::int64_t largest_count = 2147483647;
/// The JPEG encoder's largest side.
constexpr std::int64_t largest_jpeg_side = 65500;
/// The sample grid needs the height within this many times the width.
constexpr std::int64_t largest_aspect = 10000;

}  // namespace

std::string check_image_request(const ImageRequest& request) {
    const std::int64_t width = request.width;
    const std::int64_t height = request.height;
    if (width < 1 || height < 1) return "width and height must be at least 1";
    // Both sides may be near 2^31, so the product times 12 could overflow even 64 bits.
    if (width * height > largest_count / 12) return "image too large";
    const std::int64_t needed = width * height * (request.hdr ? 12 : 4);
    const auto payload = static_cast<std::int64_t>(request.payload_size);
    if (request.hdr ? payload != needed : payload < needed)
        return "payload of " + std::to_string(payload) + " bytes for " + std::to_string(needed);
    if (request.rotation < 0) return "negative rotation";
    const bool sideways = request.rotation % 2 == 1;
    const std::int64_t turned_width = sideways ? height : width;
    const std::int64_t turned_height = sideways ? width : height;
    if (turned_height > largest_aspect * turned_width) return "height above 10000 times the width";
    if (turned_width * largest_aspect > largest_count) return "width above 214748";
    if (request.tonemap && (width > largest_jpeg_side || height > largest_jpeg_side))
        return "side above 65500";
    return {};
}

std::string check_hdr_luminance(const Image<float>& rgb) {
    const std::size_t count = static_cast<std::size_t>(rgb.width) * rgb.height;
    const float* red = rgb.plane_data(0);
    const float* green = rgb.plane_data(1);
    const float* blue = rgb.plane_data(2);
    float first_log = 0.0f;
    bool all_equal = true;
    for (std::size_t i = 0; i < count; ++i) {
        const float luminance = hdr_luminance(red[i], green[i], blue[i]);
        if (!(luminance > 0.0f) || !std::isfinite(luminance))
            return "luminance not positive and finite";
        const float log = log_luminance(luminance);
        if (i == 0) first_log = log;
        all_equal = all_equal && log == first_log;
    }
    if (all_equal) return "luminance the same throughout";
    return {};
}
