#include "server/connection_clock.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace {

thread_local ConnectionClock* current_clock = nullptr;

[[noreturn]] void time_out() { throw boost::system::system_error(boost::asio::error::timed_out); }

/// The time point duration after start, or the end of time without a limit (zero).
ConnectionClock::clock::time_point due_after(ConnectionClock::clock::time_point start,
                                             std::chrono::milliseconds duration) {
    return duration.count() == 0 ? ConnectionClock::clock::time_point::max() : start + duration;
}

}  // namespace

ConnectionClock::ConnectionClock(const ConnectionLimits& limits, clock::time_point accepted)
    : limits_(limits), name_due_(due_after(accepted, limits.command_name)) {
    current_clock = this;
}

ConnectionClock::~ConnectionClock() { current_clock = nullptr; }

ConnectionClock* ConnectionClock::of_this_thread() { return current_clock; }

ConnectionClock::clock::time_point ConnectionClock::value_deadline(clock::time_point now) const {
    return reading_name_ ? name_due_ : due_after(now, limits_.value);
}

void ConnectionClock::spend(clock::duration inside, std::uint64_t bytes) {
    window_spent_ += inside;
    window_bytes_ += bytes;
}

// The bytes a window needs are reckoned in whole milliseconds of its length, which is how it is set.
ConnectionClock::clock::duration ConnectionClock::rate_window_left() {
    if (limits_.rate == 0 || limits_.rate_window.count() == 0) return clock::duration::max();
    if (window_spent_ < limits_.rate_window) return limits_.rate_window - window_spent_;
    const std::uint64_t needed =
        limits_.rate * static_cast<std::uint64_t>(limits_.rate_window.count()) / 1000;
    if (window_bytes_ < needed) time_out();
    window_spent_ = clock::duration(0);
    window_bytes_ = 0;
    return limits_.rate_window;
}

void ConnectionClock::discard(std::uint64_t bytes) {
    discarded_ += bytes;
    if (discarded_ > limits_.discarded_bytes) time_out();
}
