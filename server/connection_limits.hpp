#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// What one connection may cost the service, and for how long. A client on this machine sends and
// reads at hundreds of megabytes a second and writes each request at once; every figure below leaves
// such a client hundreds of times the room it needs, while a client that stalls, trickles or reads
// slowly lets go of its thread, and of whatever its request holds, within seconds of transfer time.

/// How long a connection may go without a byte moving while its request is read or its reply
/// written: a peer that has stopped altogether (a crashed client, a pulled cable) is let go of within
/// a minute, whatever the other limits say.
constexpr std::chrono::milliseconds stalled_connection_timeout = std::chrono::seconds(60);

/// How long the whole command name may take to arrive, from the connection's acceptance. A client
/// writes its name (at most 4096 bytes) with its request, but may open its connection a while before
/// it has the request ready (the load test's silent clients stand for its whole 20-second run); half
/// a minute serves those, while a connection that sends nothing or trickles its name gives back its
/// thread (a small stack, see below) after half a minute instead of holding it for as long as it
/// trickles: thousands of them are all gone within a minute of being opened.
constexpr std::chrono::milliseconds command_name_deadline = std::chrono::seconds(30);

/// How long each value of a request that is not payload bytes (a marker, a number, the count of a
/// string or byte array) may take to arrive, from the moment it is awaited. Such a value is at most
/// nine bytes; ten seconds cover a client that prepares its next value between two of them.
constexpr std::chrono::milliseconds value_deadline = std::chrono::seconds(10);

/// The least a connection must move, in bytes a second, while its payload bytes are read, its reply
/// written and its unread bytes discarded. A megabyte a second is hundreds of times below what a
/// client on this machine manages and still that of a slow network link, yet it bounds how long any
/// reply can keep its share of the image budget by the reply's size.
constexpr std::uint64_t minimum_transfer_rate = std::uint64_t{1} << 20;

/// The span over which the rate is judged: tumbling windows of time spent inside those transfers
/// (time spent computing, or waiting for a turn between them, does not count). A window in which
/// fewer than rate x window bytes moved closes the connection. Ten seconds are the allowance for a
/// client that pauses a few seconds between values and for the kernel's buffers, which take a few
/// megabytes at once before a slow reader has read anything; a reader that takes nearly nothing is
/// let go of after ten seconds.
constexpr std::chrono::milliseconds transfer_rate_window = std::chrono::seconds(10);

/// The most a connection may send after its answer before it is closed: a refused request may still
/// have its largest value in flight (a 32-bit count of bytes) and a few fixed-size values; beyond
/// that the client no longer finishes a request but streams for its own sake.
constexpr std::uint64_t discarded_bytes_limit = (std::uint64_t{1} << 32) + (std::uint64_t{1} << 20);

/// The stack of each connection's thread. Handlers do their heavy work on the compute threads and
/// keep only small frames on their own: over every command of the end-to-end tests the deepest
/// connection thread used 25 KiB, 30 KiB under the address sanitizer, an eighth of this. 256 KiB a
/// thread lets thousands of connections stand in a few hundred megabytes of address space, against
/// 8 MiB each with the system's default.
constexpr std::size_t connection_stack_size = std::size_t{256} << 10;

/// The limits each connection of a server keeps to; a zero duration or rate turns its limit off.
struct ConnectionLimits {
    /// Longest time without a byte moving while a transfer waits.
    std::chrono::milliseconds stall = stalled_connection_timeout;
    /// Longest time from the acceptance to the end of the command name.
    std::chrono::milliseconds command_name = command_name_deadline;
    /// Longest time each value that is not payload bytes may take to arrive.
    std::chrono::milliseconds value = value_deadline;
    /// Least bytes a second moved by payload reads, reply writes and discarding reads.
    std::uint64_t rate = minimum_transfer_rate;
    /// Time inside those transfers over which the rate is judged.
    std::chrono::milliseconds rate_window = transfer_rate_window;
    /// Most bytes read and dropped after the answer.
    std::uint64_t discarded_bytes = discarded_bytes_limit;
    /// Stack size of the connection's thread.
    std::size_t stack_size = connection_stack_size;
};
