#pragma once

#include <chrono>
#include <cstddef>

#include <boost/asio/ip/tcp.hpp>

// Whole-buffer blocking transfers on a connected socket that honour its limits. asio's own blocking
// calls cannot: when the kernel's receive timeout ends a read, asio waits again without one.
// On a thread that serves a connection (see connection_clock.hpp) every transfer keeps to that
// connection's limits: the stall limit, and besides it the value deadline for a value read (and the
// command name's deadline while the name is read) or the rate window for any other transfer. On any
// other thread only the socket's own stall limit holds. Failures raise boost::system::system_error:
// the end of the stream as boost::asio::error::eof, a limit that passed as
// boost::asio::error::timed_out, anything else with the socket's own error.

/// Sets how long the transfers below wait while no byte moves: a read fails once no byte has
/// arrived for that long, a write once the peer has taken no byte for that long. Zero: no limit.
/// False when the socket refuses the limit; such a connection must not be served.
[[nodiscard]] bool limit_stalls(boost::asio::ip::tcp::socket& socket, std::chrono::milliseconds timeout);

/// Reads exactly size bytes of a value that is not payload bytes (a marker, a number, a count, a
/// byte of the command name) into data from a socket in blocking mode (asio's default for a socket
/// that sees no asynchronous operation); held to the value deadline.
void read_exactly(boost::asio::ip::tcp::socket& socket, void* data, std::size_t size);

/// Reads exactly size payload bytes (those of a string or byte array) into data, as read_exactly
/// does; held to the rate window.
void read_payload(boost::asio::ip::tcp::socket& socket, void* data, std::size_t size);

/// Copies the next size bytes into data without taking them from the socket, waiting for them as
/// read_exactly does; returns how many it copied, fewer when the stream ends or the bytes stop
/// coming partway through them.
std::size_t peek_exactly(boost::asio::ip::tcp::socket& socket, void* data, std::size_t size);

/// Writes every byte of first, then every byte of second, without copying them; held to the rate
/// window.
void write_all(boost::asio::ip::tcp::socket& socket, boost::asio::const_buffer first,
               boost::asio::const_buffer second = {});

/// Reads and drops whatever the peer still sends until it ends its stream, through a small buffer
/// that holds nothing back; held to the rate window and to the limit of discarded bytes.
void discard_until_end(boost::asio::ip::tcp::socket& socket);
