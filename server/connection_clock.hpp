#pragma once

#include <chrono>
#include <cstdint>

#include "server/connection_limits.hpp"

// The time limits of the connection that the calling thread serves. Each connection has a thread of
// its own that does all of its socket transfers, so the transfers find their connection's deadlines
// and rate window through the thread, without the codec's operators carrying them; transfers on a
// thread that serves no connection keep only the socket's own stall limit.

/// The deadlines and the rate window of one served connection, in force for the transfers of the
/// thread that created it, until it is destroyed.
class ConnectionClock {
public:
    /// The clock's time.
    using clock = std::chrono::steady_clock;

    /// Starts the clock of a connection accepted at accepted and makes it the calling thread's.
    ConnectionClock(const ConnectionLimits& limits, clock::time_point accepted);
    /// Leaves the calling thread without a clock again.
    ~ConnectionClock();
    ConnectionClock(const ConnectionClock&) = delete;
    ConnectionClock& operator=(const ConnectionClock&) = delete;

    /// The clock of the connection the calling thread serves; null when it serves none.
    static ConnectionClock* of_this_thread();

    /// The limits the connection keeps to.
    const ConnectionLimits& limits() const { return limits_; }

    /// The command name has arrived whole: from now on each value has a deadline of its own.
    void command_name_arrived() { reading_name_ = false; }
    /// When a value read that begins at now must be done: the name's deadline while the name is read,
    /// the value deadline after now otherwise; clock::time_point::max() without a limit.
    clock::time_point value_deadline(clock::time_point now) const;

    /// Counts time spent inside transfers held to the rate, and the bytes they moved in it.
    void spend(clock::duration inside, std::uint64_t bytes);
    /// Judges the rate window once its time is spent, starting the next one; the time left of the
    /// current window, or clock::duration::max() without a rate limit. Fails with
    /// boost::asio::error::timed_out when a window ended with too few bytes moved.
    clock::duration rate_window_left();

    /// Counts bytes read and dropped after the answer; fails with boost::asio::error::timed_out once
    /// they pass their limit.
    void discard(std::uint64_t bytes);

private:
    const ConnectionLimits limits_;
    const clock::time_point name_due_;
    bool reading_name_ = true;
    clock::duration window_spent_{0};
    std::uint64_t window_bytes_ = 0;
    std::uint64_t discarded_ = 0;
};
