#include "app/request_limits.hpp"

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "imaging/grain_sizes.hpp"
#include "imaging/imageio.hpp"
#include "imaging/parallel.hpp"
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
    if (!float_payload_fits(width, height)) return "image too large";
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
    if (count == 0) return "luminance the same throughout";
    const float* red = rgb.plane_data(0);
    const float* green = rgb.plane_data(1);
    const float* blue = rgb.plane_data(2);
    const auto log_at = [=](std::size_t i, float& log) {
        const float luminance = hdr_luminance(red[i], green[i], blue[i]);
        if (!(luminance > 0.0f) || !std::isfinite(luminance)) return false;
        log = log_luminance(luminance);
        return true;
    };
    float first_log = 0.0f;
    if (!log_at(0, first_log)) return "luminance not positive and finite";

    // Each pixel is checked alone and the answers are only combined, so the pixels are spread over
    // the workers; a found fault is final and lets the other ranges stop early.
    std::atomic<bool> unfit{false};
    std::atomic<bool> varied{false};
    parallel_ranges(count, checked_pixels_per_task, [&](std::size_t begin, std::size_t end) {
        bool varied_here = false;
        for (std::size_t i = begin; i < end && !unfit.load(std::memory_order_relaxed); ++i) {
            float log = 0.0f;
            if (!log_at(i, log)) {
                unfit.store(true, std::memory_order_relaxed);
                return;
            }
            varied_here = varied_here || log != first_log;
        }
        if (varied_here) varied.store(true, std::memory_order_relaxed);
    });
    if (unfit.load()) return "luminance not positive and finite";
    if (!varied.load()) return "luminance the same throughout";
    return {};
}
