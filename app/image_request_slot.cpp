#include "app/image_request_slot.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

namespace {

/// The image budget of the process, handed out first come, first served: a large request that
/// waits for room is not overtaken by the small ones behind it.
class Budget {
public:
    static Budget& instance() {
        static Budget* budget = new Budget;
        return *budget;
    }

    void take(ImageRequestSlot::Share& share, std::chrono::milliseconds payload_grace) {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::uint64_t ticket = next_ticket_++;
        for (;;) {
            if (ticket == next_admitted_) {
                // Only the first in line takes shares back from requests whose payloads are late.
                if (fits(share.pixels) || (take_back_late_shares() && fits(share.pixels))) break;
                const std::optional<std::chrono::steady_clock::time_point> due = earliest_due();
                if (due)
                    changed_.wait_until(lock, *due);
                else
                    changed_.wait(lock);
            } else {
                changed_.wait(lock);
            }
        }
        ++next_admitted_;
        in_use_ += share.pixels;
        share.payload_due = std::chrono::steady_clock::now() + payload_grace;
        held_.push_back(&share);
        // The next in line may fit beside this one.
        changed_.notify_all();
    }

    void payload_arrived(ImageRequestSlot::Share& share) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            share.receiving = false;
            if (holds(share)) return;
        }
        take(share, std::chrono::milliseconds(0));
    }

    void give_back(ImageRequestSlot::Share& share) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!holds(share)) return;
            held_.erase(std::find(held_.begin(), held_.end(), &share));
            in_use_ -= share.pixels;
        }
        changed_.notify_all();
    }

private:
    bool fits(std::uint64_t pixels) const { return in_use_ == 0 || in_use_ + pixels <= image_pixel_budget; }

    bool holds(const ImageRequestSlot::Share& share) const {
        return std::find(held_.begin(), held_.end(), &share) != held_.end();
    }

    /// Takes back the shares of the requests whose payloads are overdue; true when it took any.
    bool take_back_late_shares() {
        const auto now = std::chrono::steady_clock::now();
        const auto late = std::stable_partition(held_.begin(), held_.end(), [now](const auto* share) {
            return !share->receiving || share->payload_due > now;
        });
        for (auto share = late; share != held_.end(); ++share) in_use_ -= (*share)->pixels;
        const bool took = late != held_.end();
        held_.erase(late, held_.end());
        return took;
    }

    /// The moment the first share held by a request still receiving its payload falls due; nothing
    /// when every request in progress has its payload.
    std::optional<std::chrono::steady_clock::time_point> earliest_due() const {
        std::optional<std::chrono::steady_clock::time_point> earliest;
        for (const ImageRequestSlot::Share* share : held_)
            if (share->receiving && (!earliest || share->payload_due < *earliest))
                earliest = share->payload_due;
        return earliest;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t next_ticket_ = 0;
    std::uint64_t next_admitted_ = 0;
    std::uint64_t in_use_ = 0;
    /// The shares that count in the budget now.
    std::vector<ImageRequestSlot::Share*> held_;
};

}  // namespace

// A payload longer than its image needs is counted whole: the request holds all of it.
std::uint64_t image_request_pixels(std::optional<std::size_t> payload_size, int bytes_per_pixel) {
    if (!payload_size) return image_pixel_budget;
    return *payload_size / static_cast<std::size_t>(bytes_per_pixel);
}

// How many pixels a raw file decodes to cannot be told from its length, so every file counts as a
// full-size photograph at least; lossless compression, the densest that cameras use, stores about
// a byte per pixel, and a decoding holds about half as much per pixel as an image request (320
// against 700 MiB for 12 megapixels).
std::uint64_t raw_request_pixels(std::optional<std::size_t> file_size) {
    if (!file_size) return image_pixel_budget;
    return std::max<std::uint64_t>(full_size_pixels, *file_size / 2);
}

// The grace counts from the request's turn, when its client can first send what it holds back.
ImageRequestSlot::ImageRequestSlot(std::uint64_t pixels, std::chrono::milliseconds payload_grace)
    : share_{pixels, {}} {
    Budget::instance().take(share_, payload_grace);
}

ImageRequestSlot::~ImageRequestSlot() { Budget::instance().give_back(share_); }

void ImageRequestSlot::payload_arrived() { Budget::instance().payload_arrived(share_); }
