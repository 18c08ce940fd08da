#include "app/image_request_slot.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace {

/// Bytes a pixel takes in an uncompressed raw file: one 16-bit sensor value.
constexpr std::size_t raw_bytes_per_pixel = 2;

/// The image budget of the process, handed out first come, first served: a large request that
/// waits for room is not overtaken by the small ones behind it.
class Budget {
public:
    static Budget& instance() {
        static Budget* budget = new Budget;
        return *budget;
    }

    void take(std::uint64_t pixels) {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::uint64_t ticket = next_ticket_++;
        changed_.wait(lock, [&] {
            return ticket == next_admitted_ && (in_use_ == 0 || in_use_ + pixels <= image_pixel_budget);
        });
        ++next_admitted_;
        in_use_ += pixels;
        // The next in line may fit beside this one.
        changed_.notify_all();
    }

    void give_back(std::uint64_t pixels) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            in_use_ -= pixels;
        }
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t next_ticket_ = 0;
    std::uint64_t next_admitted_ = 0;
    std::uint64_t in_use_ = 0;
};

}  // namespace

// A payload longer than its image needs is counted whole: the request holds all of it.
std::uint64_t image_request_pixels(std::optional<std::size_t> payload_size, int bytes_per_pixel) {
    if (!payload_size) return image_pixel_budget;
    return *payload_size / static_cast<std::size_t>(bytes_per_pixel);
}

// How many pixels a raw file decodes to cannot be told from its length: compressed files hold
// fewer bytes than pixels, so every file counts as a full-size photograph at least. A decoding
// holds about half as much per pixel as an image request (see bench/README.md), so an
// uncompressed file counts for half its pixels.
std::uint64_t raw_request_pixels(std::optional<std::size_t> file_size) {
    if (!file_size) return image_pixel_budget;
    return std::max<std::uint64_t>(full_size_pixels, *file_size / raw_bytes_per_pixel / 2);
}

ImageRequestSlot::ImageRequestSlot(std::uint64_t pixels) : pixels_(pixels) {
    Budget::instance().take(pixels_);
}

ImageRequestSlot::~ImageRequestSlot() { Budget::instance().give_back(pixels_); }
