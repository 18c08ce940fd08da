#pragma once

#include <chrono>
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

/// The share of a raw reading request: a full-size photograph, or half the file's length in pixels
/// when that is more; the whole budget when the length is not known.
std::uint64_t raw_request_pixels(std::optional<std::size_t> file_size);

/// How long a request may take to receive its payload while it holds a share that others wait for:
/// a client on this machine sends hundreds of megabytes a second, and one that trickles its bytes
/// must not keep every other image request waiting.
constexpr std::chrono::milliseconds slow_payload_grace = std::chrono::seconds(10);

/// A request's share of the image budget, held from before its payload is read to the last byte of
/// its reply (its payload, working images and reply together cost about 60 bytes a pixel). However
/// many clients send image requests at once, the service's memory stays that of the budget: the
/// others wait, their bytes still in the kernel's buffers, and are admitted in the order in which
/// they asked. A request whose payload has not arrived within the grace while others wait gives its
/// share to them (it holds only the bytes its client has sent) and waits for a new one once its
/// payload is in. A client that stalls its reply keeps its share until the connection's stall limit
/// closes it.
class ImageRequestSlot {
public:
    /// Waits until the request's pixels fit in the budget beside those of the requests in progress,
    /// or no request is in progress.
    explicit ImageRequestSlot(std::uint64_t pixels,
                              std::chrono::milliseconds payload_grace = slow_payload_grace);
    ImageRequestSlot(const ImageRequestSlot&) = delete;
    ImageRequestSlot& operator=(const ImageRequestSlot&) = delete;
    /// Gives the share back to the requests that wait.
    ~ImageRequestSlot();

    /// The payload has arrived whole: from here on the request keeps its share, after waiting for
    /// a new one if it gave its share away while its payload was slow to come.
    void payload_arrived();

    /// What the budget knows of one request's share.
    struct Share {
        /// Pixels the request may hold.
        std::uint64_t pixels;
        /// When the request's payload must have arrived by, should others wait.
        std::chrono::steady_clock::time_point payload_due;
        /// The payload is still on its way.
        bool receiving = true;
    };

private:
    Share share_;
};
