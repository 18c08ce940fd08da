#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/compute_threads.hpp"
#include "server/flash_types.hpp"

/// A 12-megapixel photograph, the size of image the service is tuned for.
constexpr std::uint64_t full_size_pixels = 4000 * 3000;

/// The pixels that image requests in progress may hold together, from reading their payload to the
/// last byte of their reply: as many full-size photographs as are computed at once. A request
/// larger than that runs alone.
constexpr std::uint64_t image_pixel_budget = compute_thread_count * full_size_pixels;

/// What one pixel of the budget stands for in bytes: an image request holds its payload, its
/// working images and its reply, about 60 bytes a pixel (700 MiB for 12 megapixels).
constexpr std::uint64_t bytes_per_budget_pixel = 60;

/// How long a payload's progress is judged over while others wait for room: long enough that a
/// client who pauses a moment between two writes is not cut off, short enough that a stalled one
/// keeps the requests behind it waiting for seconds, not tens of seconds.
constexpr std::chrono::milliseconds payload_progress_window = std::chrono::seconds(2);

/// The fewest bytes a request still receiving its payload must have received over each window
/// while others wait (1 MiB a second): a client on this machine sends hundreds of megabytes a
/// second, so only one that stalls or trickles falls below it.
constexpr std::uint64_t minimum_payload_progress = std::uint64_t{2} << 20;

/// The length of the payload that the request on socket sends next, once its client has begun to
/// send it: a request waits here, holding nothing and no place in line, until the payload's first
/// byte is in. Throws std::invalid_argument when the next value is no byte array or the stream
/// ends first; a stall fails as the socket's reads do.
std::size_t announced_payload_size(tcp::socket& socket);

/// The pixels an image request holds, from the announced length of its pixel payload (4 bytes a
/// pixel for ARGB, 12 for planar float).
std::uint64_t image_request_pixels(std::size_t payload_size, int bytes_per_pixel);

/// The share of a raw reading request while it reads its file: the file's bytes.
std::uint64_t raw_file_pixels(std::size_t file_size);

/// The share of a raw reading request while it decodes: about half an image request's per pixel
/// of the picture LibRaw delivers, and never less than its file.
std::uint64_t raw_decoding_pixels(std::size_t file_size, std::uint64_t picture_pixels);

/// A request's share of the image budget, held from before its payload is read to the last byte of
/// its reply. However many clients send image requests at once, the service's memory stays that of
/// the budget: the others wait, their bytes still in the kernel's buffers, and are admitted in the
/// order in which they asked. While others wait, a request still receiving its payload must keep
/// receiving at least minimum_payload_progress bytes a window; one that does not is refused
/// ("payload too slow") and its connection closed, which releases everything it holds. A client
/// that stalls its reply keeps its share until the connection's limits close it.
class ImageRequestSlot {
public:
    /// Waits until the request's pixels fit in the budget beside those of the requests in progress,
    /// or only requests waiting in line themselves hold any. The request named command is served on
    /// socket, which must stay open as long as the slot lives.
    ImageRequestSlot(tcp::socket& socket, std::string command, std::uint64_t pixels,
                     std::chrono::milliseconds progress_window = payload_progress_window);
    ImageRequestSlot(const ImageRequestSlot&) = delete;
    ImageRequestSlot& operator=(const ImageRequestSlot&) = delete;
    /// Gives the share back to the requests that wait.
    ~ImageRequestSlot();

    /// The payload has arrived whole: from here on the request keeps its share. Throws
    /// std::runtime_error when the share was taken back first.
    void payload_arrived();

    /// Once the payload has arrived, makes the share pixels when that is more, waiting in line for
    /// the room as a new request does while still holding what it held.
    void grow_to(std::uint64_t pixels);

    /// What the budget knows of one request's share.
    struct Share {
        /// Pixels the request holds.
        std::uint64_t pixels;
        /// The connection's socket descriptor, for the progress of its payload and to close it.
        int descriptor;
        /// The command, for the log line of a refusal.
        std::string command;
        /// The span over which the payload's progress is judged.
        std::chrono::milliseconds progress_window;
        /// The payload is still on its way.
        bool receiving = true;
        /// The request waits in line, for its first share or for a larger one.
        bool in_line = false;
        /// The budget took the share back; the owner's reads fail, and it gives the share back as
        /// it ends.
        bool taken_back = false;
        /// When the current window of the payload's progress began.
        std::chrono::steady_clock::time_point window_start{};
        /// Bytes the connection had received when the window began.
        std::uint64_t window_bytes = 0;
    };

private:
    Share share_;
};
