#include "server/flash_types.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "common/large_buffers.hpp"
#include "server/socket_transfer.hpp"

namespace {

// A string or byte-array count comes from the peer. Storage is filled with the bytes that have
// actually arrived, one chunk at a time, so a count that is announced but never sent commits at most
// one chunk. Address space is reserved further ahead, untouched and so not committed, so that an
// image payload lands in one buffer instead of being copied through a doubling series, which takes
// several times as long; see bench/README.md.
constexpr std::size_t max_chunk = std::size_t{1} << 20;
constexpr std::size_t reserve_ahead = std::size_t{256} << 20;

unsigned char read_byte(tcp::socket& socket) {
    unsigned char byte = 0;
    read_exactly(socket, &byte, 1);
    return byte;
}

std::uint32_t uint32_from(const unsigned char* b) {
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
           std::uint32_t{b[3]} << 24;
}

std::uint32_t read_uint32(tcp::socket& socket) {
    std::array<unsigned char, 4> b{};
    read_exactly(socket, b.data(), b.size());
    return uint32_from(b.data());
}

double read_double_payload(tcp::socket& socket) {
    std::array<unsigned char, 8> b{};
    read_exactly(socket, b.data(), b.size());
    std::uint64_t bits = 0;
    for (auto byte = b.rbegin(); byte != b.rend(); ++byte) bits = bits << 8 | *byte;
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A number of the wire: the integer or the double that its marker announced.
struct Number {
    bool is_integer;
    std::int32_t integer;
    double real;
};

Number read_number(tcp::socket& socket) {
    const unsigned char marker = read_byte(socket);
    if (marker == marker_integer) return {true, static_cast<std::int32_t>(read_uint32(socket)), 0.0};
    if (marker == marker_double) return {false, 0, read_double_payload(socket)};
    throw std::invalid_argument("number type expected");
}

// Truncates toward zero. NaN and values beyond the type's range have no truncation in it: they give
// 0 and the nearest limit, so the conversion stays defined whatever the peer sends.
template <typename T>
T truncate_to(double value) {
    if (std::isnan(value)) return 0;
    if (value <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    if (value >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return static_cast<T>(value);
}

// Reads a number into an integer of the wire width Wire: an integer keeps its low bits, a double
// is truncated.
template <typename Wire, typename T>
tcp::socket& read_integer(tcp::socket& socket, T& value) {
    const Number number = read_number(socket);
    value = number.is_integer ? static_cast<Wire>(number.integer) : truncate_to<Wire>(number.real);
    return socket;
}

template <typename T>
tcp::socket& read_floating(tcp::socket& socket, T& value) {
    const Number number = read_number(socket);
    value = number.is_integer ? static_cast<T>(number.integer) : static_cast<T>(number.real);
    return socket;
}

// Reads count bytes into bytes, replacing what it held and reusing its storage where large enough.
// They are payload bytes: held to the connection's rate, not to a value's deadline.
template <typename Container>
void read_counted(tcp::socket& socket, std::uint32_t count, Container& bytes) {
    const std::size_t total = count;
    bytes.clear();
    while (bytes.size() < total) {
        const std::size_t received = bytes.size();
        const std::size_t chunk = std::min(total - received, max_chunk);
        if (bytes.capacity() < received + chunk) {
            // Until a whole chunk has arrived, only that chunk is reserved: a peer that announces a
            // large count and sends a few bytes gets no large reservation, not even of address space.
            const std::size_t ahead = received == 0 ? 0 : reserve_ahead;
            reserve_in_huge_pages(bytes,
                                  std::min(total, std::max(received + chunk + ahead, 2 * bytes.capacity())));
        }
        bytes.resize(received + chunk);
        read_payload(socket, &bytes[received], chunk);
    }
}

std::array<unsigned char, 4> little_endian(std::uint32_t value) {
    return {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
            static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
}

tcp::socket& write_integer(tcp::socket& socket, std::uint32_t bits) {
    const auto payload = little_endian(bits);
    const std::array<unsigned char, 5> bytes{marker_integer, payload[0], payload[1], payload[2], payload[3]};
    write_all(socket, boost::asio::buffer(bytes));
    return socket;
}

tcp::socket& write_double(tcp::socket& socket, double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    std::array<unsigned char, 9> bytes{marker_double};
    for (std::size_t i = 1; i < bytes.size(); ++i, bits >>= 8) bytes[i] = static_cast<unsigned char>(bits);
    write_all(socket, boost::asio::buffer(bytes));
    return socket;
}

/// A counted value's marker and 32-bit count.
std::array<unsigned char, 5> counted_header(unsigned char marker, std::size_t size) {
    if (size > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("value longer than a 32-bit count");
    const auto count = little_endian(static_cast<std::uint32_t>(size));
    return {marker, count[0], count[1], count[2], count[3]};
}

// Marker and count go out with the caller's bytes in one gathered write, without copying them.
tcp::socket& write_counted(tcp::socket& socket, unsigned char marker, const void* data, std::size_t size) {
    const std::array<unsigned char, 5> header = counted_header(marker, size);
    write_all(socket, boost::asio::buffer(header), boost::asio::buffer(data, size));
    return socket;
}

}  // namespace

tcp::socket& operator>>(tcp::socket& socket, bool& value) {
    const unsigned char marker = read_byte(socket);
    if (marker != marker_false && marker != marker_true) throw std::invalid_argument("boolean type expected");
    value = marker == marker_true;
    return socket;
}

tcp::socket& operator>>(tcp::socket& socket, short& value) {
    return read_integer<std::int16_t>(socket, value);
}

tcp::socket& operator>>(tcp::socket& socket, unsigned short& value) {
    return read_integer<std::uint16_t>(socket, value);
}

tcp::socket& operator>>(tcp::socket& socket, int& value) { return read_integer<std::int32_t>(socket, value); }

tcp::socket& operator>>(tcp::socket& socket, unsigned int& value) {
    return read_integer<std::uint32_t>(socket, value);
}

tcp::socket& operator>>(tcp::socket& socket, long& value) {
    return read_integer<std::int32_t>(socket, value);
}

tcp::socket& operator>>(tcp::socket& socket, unsigned long& value) {
    return read_integer<std::uint32_t>(socket, value);
}

tcp::socket& operator>>(tcp::socket& socket, float& value) { return read_floating(socket, value); }

tcp::socket& operator>>(tcp::socket& socket, double& value) { return read_floating(socket, value); }

tcp::socket& operator>>(tcp::socket& socket, long double& value) { return read_floating(socket, value); }

tcp::socket& operator>>(tcp::socket& socket, std::string& value) {
    const unsigned char marker = read_byte(socket);
    if (marker == marker_null) {
        value.clear();
        return socket;
    }
    if (marker != marker_string) throw std::invalid_argument("string type expected");
    std::string text;
    read_counted(socket, read_uint32(socket), text);
    value.swap(text);
    return socket;
}

tcp::socket& operator>>(tcp::socket& socket, std::vector<unsigned char>& value) {
    const unsigned char marker = read_byte(socket);
    if (marker == marker_null) {
        value.clear();
        return socket;
    }
    if (marker != marker_byte_array) throw std::invalid_argument("byte array type expected");
    read_counted(socket, read_uint32(socket), value);
    return socket;
}

std::optional<std::size_t> peek_byte_array_size(tcp::socket& socket) {
    // The marker alone first: a null value may be the request's last byte; then the count, as an
    // empty array may be; then the first payload byte.
    std::array<unsigned char, 6> header{};
    if (peek_exactly(socket, header.data(), 1) < 1) return std::nullopt;
    if (header[0] == marker_null) return 0;
    if (header[0] != marker_byte_array || peek_exactly(socket, header.data(), 5) < 5) return std::nullopt;
    const std::uint32_t count = uint32_from(&header[1]);
    if (count > 0 && peek_exactly(socket, header.data(), header.size()) < header.size()) return std::nullopt;
    return count;
}

tcp::socket& operator<<(tcp::socket& socket, bool value) {
    const unsigned char marker = value ? marker_true : marker_false;
    write_all(socket, boost::asio::buffer(&marker, 1));
    return socket;
}

tcp::socket& operator<<(tcp::socket& socket, short value) {
    return write_integer(socket, static_cast<std::uint32_t>(std::int32_t{value}));
}

tcp::socket& operator<<(tcp::socket& socket, unsigned short value) { return write_integer(socket, value); }

tcp::socket& operator<<(tcp::socket& socket, int value) {
    return write_integer(socket, static_cast<std::uint32_t>(value));
}

tcp::socket& operator<<(tcp::socket& socket, unsigned int value) { return write_integer(socket, value); }

tcp::socket& operator<<(tcp::socket& socket, long value) {
    return write_integer(socket, static_cast<std::uint32_t>(value));
}

tcp::socket& operator<<(tcp::socket& socket, unsigned long value) {
    return write_integer(socket, static_cast<std::uint32_t>(value));
}

tcp::socket& operator<<(tcp::socket& socket, float value) { return write_double(socket, value); }

tcp::socket& operator<<(tcp::socket& socket, double value) { return write_double(socket, value); }

tcp::socket& operator<<(tcp::socket& socket, long double value) {
    return write_double(socket, static_cast<double>(value));
}

tcp::socket& operator<<(tcp::socket& socket, const std::string& value) {
    return write_counted(socket, marker_string, value.data(), value.size());
}

tcp::socket& operator<<(tcp::socket& socket, const char* value) {
    if (value == nullptr) throw std::logic_error("null text cannot be written as a string");
    return write_counted(socket, marker_string, value, std::strlen(value));
}

tcp::socket& operator<<(tcp::socket& socket, const std::vector<unsigned char>& value) {
    return write_counted(socket, marker_byte_array, value.data(), value.size());
}

tcp::socket& operator<<(tcp::socket& socket, ByteArrayView value) {
    return write_counted(socket, marker_byte_array, value.data, value.size);
}

ByteArrayPieces::ByteArrayPieces(tcp::socket& socket, std::size_t size) : socket_(socket), left_(size) {
    write_all(socket_, boost::asio::buffer(counted_header(marker_byte_array, size)));
}

void ByteArrayPieces::write(const unsigned char* data, std::size_t size) {
    if (size > left_) throw std::length_error("piece beyond the byte array's count");
    write_all(socket_, boost::asio::buffer(data, size));
    left_ -= size;
}
