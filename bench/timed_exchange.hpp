#pragma once

#include <cstddef>
#include <vector>

#include "bench/bench_timing.hpp"

/// When the bytes of one request and its reply passed, on the steady clock.
struct ExchangeTimes {
    /// Just before the connection was opened.
    BenchClock::time_point start;
    /// The last request byte handed to the kernel.
    BenchClock::time_point request_sent;
    /// The first reply byte received; request_sent when the reply is empty.
    BenchClock::time_point first_reply;
    /// The last reply byte received; request_sent when the reply is empty.
    BenchClock::time_point last_reply;
};

/// Storage for replies, kept from one exchange to the next so that only the first exchange pays
/// for growing it and for the first touch of its pages.
struct ReplyStorage {
    /// The received bytes at the front, followed by spare room.
    std::vector<unsigned char> bytes = std::vector<unsigned char>(1 << 16);
    /// Number of bytes the last reply held.
    std::size_t length = 0;

    /// A copy of the last reply's bytes.
    std::vector<unsigned char> reply() const {
        return std::vector<unsigned char>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
    }
};

/// Opens a new connection to 127.0.0.1:port, sends every request byte, then reads the reply into
/// storage until the service closes the connection. Throws std::runtime_error when the connection
/// cannot be opened or the service stays silent for five minutes.
ExchangeTimes timed_exchange(int port, const std::vector<unsigned char>& request, ReplyStorage& storage);
