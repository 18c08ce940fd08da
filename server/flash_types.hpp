#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

// The typed values of the wire: each value is one marker byte and a little-endian payload.
// Readers refuse a marker the destination cannot take with std::invalid_argument (before any payload
// byte is read); socket failures, the end of the stream included, raise boost::system::system_error.
// Every operator blocks until its whole value has been transferred and returns the socket for chaining.

/// Null: read as an empty string or byte array, never written.
constexpr unsigned char marker_null = 0x01;
/// Boolean false, no payload.
constexpr unsigned char marker_false = 0x02;
/// Boolean true, no payload.
constexpr unsigned char marker_true = 0x03;
/// Signed 32-bit integer, 4 bytes.
constexpr unsigned char marker_integer = 0x04;
/// IEEE 754 double, 8 bytes.
constexpr unsigned char marker_double = 0x05;
/// 32-bit byte count, then that many bytes of text.
constexpr unsigned char marker_string = 0x06;
/// 32-bit byte count, then that many bytes.
constexpr unsigned char marker_byte_array = 0x0C;

/// The socket type of every connection; the codec's operators are written on it.
using boost::asio::ip::tcp;

/// Bytes that already lie in memory in their wire form, written as a byte array without a copy;
/// they must stay alive and unchanged until the write returns.
struct ByteArrayView {
    const unsigned char* data;
    std::size_t size;
};

/// Reads a boolean (false, true).
tcp::socket& operator>>(tcp::socket& socket, bool& value);
/// Reads a number (integer: low 16 bits; double: truncated, saturated at the type's limits, NaN as 0).
tcp::socket& operator>>(tcp::socket& socket, short& value);
/// Reads a number (integer: low 16 bits; double: truncated, saturated at the type's limits, NaN as 0).
tcp::socket& operator>>(tcp::socket& socket, unsigned short& value);
/// Reads a number (integer as is; double: truncated, saturated at the type's limits, NaN as 0).
tcp::socket& operator>>(tcp::socket& socket, int& value);
/// Reads a number (the 32 bits as unsigned; double: truncated, saturated, NaN as 0).
tcp::socket& operator>>(tcp::socket& socket, unsigned int& value);
/// Reads a number as a 32-bit signed value, like int.
tcp::socket& operator>>(tcp::socket& socket, long& value);
/// Reads a number as a 32-bit unsigned value, like unsigned int.
tcp::socket& operator>>(tcp::socket& socket, unsigned long& value);
/// Reads a number, rounded to the nearest float.
tcp::socket& operator>>(tcp::socket& socket, float& value);
/// Reads a number exactly.
tcp::socket& operator>>(tcp::socket& socket, double& value);
/// Reads a number exactly.
tcp::socket& operator>>(tcp::socket& socket, long double& value);
/// Reads a string (or null as the empty string); value changes only once every byte has arrived.
tcp::socket& operator>>(tcp::socket& socket, std::string& value);
/// Reads a byte array (or null as an empty one) into value's own storage.
tcp::socket& operator>>(tcp::socket& socket, std::vector<unsigned char>& value);

/// The count of the byte array that the peer sends next, seen without reading anything (the value
/// is still there for operator>>) once its first byte has arrived too: 0 for null; nothing when the
/// next value is of another type or the stream ends or stalls before its count and first byte have
/// arrived.
std::optional<std::size_t> peek_byte_array_size(tcp::socket& socket);

/// Writes true or false.
tcp::socket& operator<<(tcp::socket& socket, bool value);
/// Writes an integer, sign-extended.
tcp::socket& operator<<(tcp::socket& socket, short value);
/// Writes an integer, zero-extended.
tcp::socket& operator<<(tcp::socket& socket, unsigned short value);
/// Writes an integer.
tcp::socket& operator<<(tcp::socket& socket, int value);
/// Writes an integer: the 32 bits as they are.
tcp::socket& operator<<(tcp::socket& socket, unsigned int value);
/// Writes an integer: the low 32 bits of the value.
tcp::socket& operator<<(tcp::socket& socket, long value);
/// Writes an integer: the low 32 bits of the value.
tcp::socket& operator<<(tcp::socket& socket, unsigned long value);
/// Writes a double, widened exactly.
tcp::socket& operator<<(tcp::socket& socket, float value);
/// Writes a double.
tcp::socket& operator<<(tcp::socket& socket, double value);
/// Writes a double, rounded to the nearest one.
tcp::socket& operator<<(tcp::socket& socket, long double value);
/// Writes a string, every byte (zero bytes included); longer than 4294967295 bytes: std::length_error.
tcp::socket& operator<<(tcp::socket& socket, const std::string& value);
/// Writes the text up to its first zero byte as a string; null: std::logic_error, nothing written.
tcp::socket& operator<<(tcp::socket& socket, const char* value);
/// Writes a byte array; longer than 4294967295 bytes: std::length_error.
tcp::socket& operator<<(tcp::socket& socket, const std::vector<unsigned char>& value);
/// Writes a byte array from the caller's memory; longer than 4294967295 bytes: std::length_error.
tcp::socket& operator<<(tcp::socket& socket, ByteArrayView value);

/// A byte array written in pieces as its bytes become ready: the count goes out first, and the
/// pieces must add up to exactly that many bytes.
class ByteArrayPieces {
public:
    /// Writes the marker and the count; longer than 4294967295 bytes: std::length_error, nothing
    /// written.
    ByteArrayPieces(tcp::socket& socket, std::size_t size);
    /// Writes the next piece; std::length_error, nothing written, for bytes beyond the count.
    void write(const unsigned char* data, std::size_t size);
    /// Bytes of the count not written yet.
    std::size_t left() const { return left_; }

private:
    tcp::socket& socket_;
    std::size_t left_;
};
