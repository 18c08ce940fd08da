#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A client of the service's wire for tests, written apart from the service's own codec so that it can
// judge it: requests are encoded into bytes, replies decoded from bytes, by code of its own.

/// Raw bytes of the wire.
using WireBytes = std::vector<unsigned char>;

/// A request as it travels: the command name and its zero byte, then typed values appended in order.
class Request {
public:
    /// Starts a request with the command name and its terminating zero byte.
    explicit Request(const std::string& name);

    /// Appends a boolean (marker 0x03 or 0x02).
    Request& boolean(bool value);
    /// Appends a 32-bit integer (marker 0x04).
    Request& integer(std::int32_t value);
    /// Appends a double (marker 0x05).
    Request& number(double value);
    /// Appends a string (marker 0x06, count, bytes).
    Request& string(const std::string& value);
    /// Appends a byte array (marker 0x0C, count, bytes).
    Request& bytes(const WireBytes& value);
    /// Appends the null value (marker 0x01).
    Request& null();
    /// Appends bytes as they are, for malformed or partial values.
    Request& raw(const WireBytes& value);

    /// Everything appended so far.
    const WireBytes& data() const { return data_; }

private:
    WireBytes data_;
};

/// Decodes a reply's typed values one after another; each reader throws std::runtime_error when the
/// next value has another type or the bytes end inside it.
class Reply {
public:
    /// A reply made of these bytes.
    explicit Reply(WireBytes bytes);

    /// Reads a boolean.
    bool boolean();
    /// Reads a 32-bit integer.
    std::int32_t integer();
    /// Reads a double.
    double number();
    /// Reads a string.
    std::string string();
    /// Reads a byte array.
    WireBytes bytes();

    /// True when every byte has been read.
    bool at_end() const { return position_ == data_.size(); }
    /// All bytes of the reply.
    const WireBytes& data() const { return data_; }

private:
    const unsigned char* take(std::size_t count);
    void expect_marker(unsigned char marker, const char* kind);
    std::uint32_t count();

    WireBytes data_;
    std::size_t position_ = 0;
};

/// One TCP connection to 127.0.0.1; never raises SIGPIPE.
class WireClient {
public:
    /// Connects to 127.0.0.1:port, with the kernel's receive buffer limited to receive_buffer bytes
    /// when it is not 0; throws std::runtime_error when the connection is refused.
    explicit WireClient(int port, int receive_buffer = 0);
    WireClient(const WireClient&) = delete;
    WireClient& operator=(const WireClient&) = delete;
    /// Closes the connection if still open.
    ~WireClient();

    /// Sends every byte; false when the peer closed or reset the connection first.
    bool send(const WireBytes& bytes);
    /// Sends the request's bytes; false when the peer closed or reset the connection first.
    bool send(const Request& request) { return send(request.data()); }
    /// Waits until the service's system has acknowledged every byte sent; false when timeout passes
    /// first.
    bool wait_until_delivered(std::chrono::milliseconds timeout);
    /// Ends our sending side; the service sees the end of the stream.
    void finish_sending();
    /// Reads until the service closes the connection and returns every byte received (a reset counts
    /// as a close); throws std::runtime_error when it stays open longer than timeout.
    WireBytes read_to_end(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    /// Reads until at least count bytes have arrived or the service closes the connection (a reset
    /// counts as a close) and returns every byte received; throws std::runtime_error when timeout
    /// passes first.
    WireBytes read_at_least(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(30));
    /// True while the connection is open and nothing has arrived from the service, not even its close.
    bool quiet() const;
    /// Closes the connection now.
    void close();
    /// Closes the connection with a reset, as a client that crashed: unsent and unread bytes are
    /// dropped and the service's next read or write on it fails.
    void reset();

private:
    int descriptor_;
};

/// Sends one request on a new connection to 127.0.0.1:port and returns the whole reply, read until
/// the service closes the connection.
Reply exchange(int port, const Request& request,
               std::chrono::milliseconds timeout = std::chrono::seconds(30));
