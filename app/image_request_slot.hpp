#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "app/compute_threads.hpp"

/// A 12-megapixel photograph, the size of image the service is tuned for.
constexpr std::uint64_t full_size_pixels = 4000 * 3000;

/// The pixels that image requests in progress may hold together, from reading their payload to the
/// last byte of their reply: as many full-size photographs as are computed at once. A request
/// larger than that runs alone.
constexpr std::uint64_t image_pixel_budget = compute_thread_count * full_size_pixels;

/// The pixels an image request holds, from the announced length of its pixel payload (4 bytes a
/// pixel for ARGB, 12 for planar float); the whole budget when the length is not known.
std::uint64_t image_request_pixels(std::optional<std::size_t> payload_size, int bytes_per_pixel);

/// The share of a raw reading request: a full-size photograph, or more for an uncompressed file of
/// more than twice its pixels; the whole budget when the length is not known.
std::uint64_t raw_request_pixels(std::optional<std::size_t> file_size);

/// A request's share of the image budget, held from before its payload is read to the last byte of
/// its reply (its payload, working images and reply together cost about 60 bytes a pixel). However
/// many clients send image requests at once, the service's memory stays that of the budget: the
/// others wait, their bytes still in the kernel's buffers, and are admitted in the order in which
/// they asked. A client that stalls its transfer keeps its share until the connection's stall limit
/// closes it.
class ImageRequestSlot {
public:
    /// Waits until the request's pixels fit in the budget beside those of the requests in progress,
    /// or no request is in progress.
    explicit ImageRequestSlot(std::uint64_t pixels);
    ImageRequestSlot(const ImageRequestSlot&) = delete;
    ImageRequestSlot& operator=(const ImageRequestSlot&) = delete;
    /// Gives the share back to the requests that wait.
    ~ImageRequestSlot();

private:
    std::uint64_t pixels_;
};
