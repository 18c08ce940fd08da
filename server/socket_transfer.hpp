#pragma once

#include <chrono>
#include <cstddef>

#include <boost/asio/ip/tcp.hpp>

// Whole-buffer blocking transfers on a connected socket that honour its stall limit. asio's own
// blocking calls cannot: when the kernel's receive timeout ends a read, asio waits again without
// one. Failures raise boost::system::system_error: the end of the stream as boost::asio::error::eof,
// a stall as boost::asio::error::timed_out, anything else with the socket's own error.

/// Sets how long the transfers below wait while no byte moves: a read fails once no byte has
/// arrived for that long, a write once the peer has taken no byte for that long. Zero: no limit.
/// False when the socket refuses the limit; such a connection must not be served.
[[nodiscard]] bool limit_stalls(boost::asio::ip::tcp::socket& socket, std::chrono::milliseconds timeout);

/// Reads exactly size bytes into data from a socket in blocking mode (asio's default for a socket
/// that sees no asynchronous operation).
void read_exactly(boost::asio::ip::tcp::socket& socket, void* data, std::size_t size);

/// Copies the next size bytes into data without taking them from the socket, waiting for them as
/// read_exactly does; returns how many it copied, fewer when the stream ends or the bytes stop
/// coming partway through them.
std::size_t peek_exactly(boost::asio::ip::tcp::socket& socket, void* data, std::size_t size);

/// Writes every byte of first, then every byte of second, without copying them.
void write_all(boost::asio::ip::tcp::socket& socket, boost::asio::const_buffer first,
               boost::asio::const_buffer second = {});
