#include "app/image_request_slot.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include <sys/socket.h>

#include "app/log.hpp"
#include "app/received_bytes.hpp"

namespace {

using Share = ImageRequestSlot::Share;
using Clock = std::chrono::steady_clock;

/// The image budget of the process, handed out first come, first served: a large request that
/// waits for room is not overtaken by the small ones behind it.
class Budget {
public:
    static Budget& instance() {
        static Budget* budget = new Budget;
        return *budget;
    }

    /// Waits in line until share may hold pixels instead of what it holds, then makes it so.
    void hold(Share& share, std::uint64_t pixels) {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::uint64_t ticket = next_ticket_++;
        share.in_line = true;
        // A share that waits in line keeps no one ahead of it from running alone.
        if (holds(share)) changed_.notify_all();
        for (;;) {
            if (ticket == next_admitted_) {
                if (fits(share, pixels)) break;
                // Only the first in line judges the payloads of those it waits for.
                take_back_stalled_shares(Clock::now());
                const std::optional<Clock::time_point> judged = next_judgement();
                if (judged)
                    changed_.wait_until(lock, *judged);
                else
                    changed_.wait(lock);
            } else {
                changed_.wait(lock);
            }
        }
        share.in_line = false;
        ++next_admitted_;
        if (!holds(share)) {
            held_.push_back(&share);
            share.window_start = Clock::now();
            share.window_bytes = received_bytes(share.descriptor).value_or(0);
        }
        in_use_ = in_use_ - share.pixels + pixels;
        share.pixels = pixels;
        // The next in line may fit beside this one.
        changed_.notify_all();
    }

    /// Marks the share's payload whole; false when the share was taken back first.
    bool payload_arrived(Share& share) {
        std::lock_guard<std::mutex> lock(mutex_);
        share.receiving = false;
        return !share.taken_back;
    }

    void give_back(Share& share) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!holds(share)) return;
            held_.erase(std::find(held_.begin(), held_.end(), &share));
            in_use_ -= share.pixels;
        }
        changed_.notify_all();
    }

private:
    /// True when share may hold pixels now: beside all the others within the budget, or, being
    /// larger, alone but for shares whose owners wait in line behind it. Those hold what they have
    /// read and must not keep it from running: two requests that each hold a little and each wait
    /// to grow past the budget would otherwise wait for each other for ever.
    bool fits(const Share& share, std::uint64_t pixels) const {
        if (in_use_ - share.pixels + pixels <= image_pixel_budget) return true;
        return std::all_of(held_.begin(), held_.end(),
                           [&share](const Share* other) { return other == &share || other->in_line; });
    }

    bool holds(const Share& share) const {
        return std::find(held_.begin(), held_.end(), &share) != held_.end();
    }

    /// Takes back the share of every request whose payload received too little over its last
    /// window: it is refused, and its owner's blocked read is woken with the end of the stream. The
    /// descriptor is still the owner's: the owner gives its share back, under this lock, before it
    /// lets go of the socket. The share still counts until then, as its bytes are still held.
    void take_back_stalled_shares(Clock::time_point now) {
        for (Share* share : held_) {
            if (!share->receiving || share->taken_back || now - share->window_start < share->progress_window)
                continue;
            // A connection whose counter cannot be read any more is past saving.
            const std::uint64_t received = received_bytes(share->descriptor).value_or(share->window_bytes);
            if (received - share->window_bytes >= minimum_payload_progress) {
                share->window_start = now;
                share->window_bytes = received;
                continue;
            }
            share->taken_back = true;
            log_line("ERROR: Request refused - " + share->command + ": payload too slow");
            ::shutdown(share->descriptor, SHUT_RD);
        }
    }

    /// When the next window of a payload still on its way ends; nothing when no such payload is
    /// held.
    std::optional<Clock::time_point> next_judgement() const {
        std::optional<Clock::time_point> earliest;
        for (const Share* share : held_) {
            if (!share->receiving || share->taken_back) continue;
            const Clock::time_point end = share->window_start + share->progress_window;
            if (!earliest || end < *earliest) earliest = end;
        }
        return earliest;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t next_ticket_ = 0;
    std::uint64_t next_admitted_ = 0;
    std::uint64_t in_use_ = 0;
    /// The shares that count in the budget now.
    std::vector<Share*> held_;
};

}  // namespace

std::size_t announced_payload_size(tcp::socket& socket) {
    const std::optional<std::size_t> size = peek_byte_array_size(socket);
    if (!size) throw std::invalid_argument("byte array expected");
    return *size;
}

// A payload longer than its image needs is counted whole: the request holds all of it.
std::uint64_t image_request_pixels(std::size_t payload_size, int bytes_per_pixel) {
    return payload_size / static_cast<std::size_t>(bytes_per_pixel);
}

std::uint64_t raw_file_pixels(std::size_t file_size) {
    return (file_size + bytes_per_budget_pixel - 1) / bytes_per_budget_pixel;
}

// A decoding holds about half as much per pixel as an image request (320 against 700 MiB for 12
// megapixels), its file included.
std::uint64_t raw_decoding_pixels(std::size_t file_size, std::uint64_t picture_pixels) {
    return std::max(raw_file_pixels(file_size), picture_pixels / 2);
}

// The window counts from the request's turn, when its client can first send what it holds back.
ImageRequestSlot::ImageRequestSlot(tcp::socket& socket, std::string command, std::uint64_t pixels,
                                   std::chrono::milliseconds progress_window)
    : share_{0, socket.native_handle(), std::move(command), progress_window} {
    Budget::instance().hold(share_, pixels);
}

ImageRequestSlot::~ImageRequestSlot() { Budget::instance().give_back(share_); }

void ImageRequestSlot::payload_arrived() {
    if (!Budget::instance().payload_arrived(share_)) throw std::runtime_error("the share was taken back");
}

void ImageRequestSlot::grow_to(std::uint64_t pixels) {
    if (pixels > share_.pixels) Budget::instance().hold(share_, pixels);
}
