#include "wire_client.hpp"

#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void append_uint32(WireBytes& data, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) data.push_back(static_cast<unsigned char>(value >> shift));
}

void append_counted(WireBytes& data, unsigned char marker, const unsigned char* bytes, std::size_t size) {
    data.push_back(marker);
    append_uint32(data, static_cast<std::uint32_t>(size));
    data.insert(data.end(), bytes, bytes + size);
}

}  // namespace

Request::Request(const std::string& name) : data_(name.begin(), name.end()) { data_.push_back(0); }

Request& Request::boolean(bool value) {
    data_.push_back(value ? 0x03 : 0x02);
    return *this;
}

Request& Request::integer(std::int32_t value) {
    data_.push_back(0x04);
    append_uint32(data_, static_cast<std::uint32_t>(value));
    return *this;
}

Request& Request::number(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    data_.push_back(0x05);
    for (int shift = 0; shift < 64; shift += 8) data_.push_back(static_cast<unsigned char>(bits >> shift));
    return *this;
}

Request& Request::string(const std::string& value) {
    append_counted(data_, 0x06, reinterpret_cast<const unsigned char*>(value.data()), value.size());
    return *this;
}

Request& Request::bytes(const WireBytes& value) {
    append_counted(data_, 0x0C, value.data(), value.size());
    return *this;
}

Request& Request::null() {
    data_.push_back(0x01);
    return *this;
}

Request& Request::raw(const WireBytes& value) {
    data_.insert(data_.end(), value.begin(), value.end());
    return *this;
}

Reply::Reply(WireBytes bytes) : data_(std::move(bytes)) {}

const unsigned char* Reply::take(std::size_t count) {
    if (data_.size() - position_ < count) throw std::runtime_error("reply ends inside a value");
    const unsigned char* start = data_.data() + position_;
    position_ += count;
    return start;
}

void Reply::expect_marker(unsigned char marker, const char* kind) {
    const unsigned char found = *take(1);
    if (found != marker)
        throw std::runtime_error(std::string("reply holds marker ") + std::to_string(found) + ", not " +
                                 kind);
}

std::uint32_t Reply::count() {
    const unsigned char* b = take(4);
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
           std::uint32_t{b[3]} << 24;
}

bool Reply::boolean() {
    const unsigned char marker = *take(1);
    if (marker != 0x02 && marker != 0x03) throw std::runtime_error("reply holds no boolean");
    return marker == 0x03;
}

std::int32_t Reply::integer() {
    expect_marker(0x04, "an integer");
    return static_cast<std::int32_t>(count());
}

double Reply::number() {
    expect_marker(0x05, "a double");
    const unsigned char* b = take(8);
    std::uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | b[i];
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::string Reply::string() {
    expect_marker(0x06, "a string");
    const std::uint32_t size = count();
    const unsigned char* b = take(size);
    return std::string(b, b + size);
}

WireBytes Reply::bytes() {
    expect_marker(0x0C, "a byte array");
    const std::uint32_t size = count();
    const unsigned char* b = take(size);
    return WireBytes(b, b + size);
}

WireClient::WireClient(int port, int receive_buffer)
    : descriptor_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (descriptor_ < 0) throw std::runtime_error("no socket: " + std::string(std::strerror(errno)));
    // Set before connecting, so that the window offered to the service follows it from the start.
    if (receive_buffer != 0)
        setsockopt(descriptor_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const std::string reason = std::strerror(errno);
        ::close(descriptor_);
        throw std::runtime_error("cannot connect to port " + std::to_string(port) + ": " + reason);
    }
}

WireClient::~WireClient() { close(); }

bool WireClient::send(const WireBytes& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = ::send(descriptor_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

bool WireClient::wait_until_delivered(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int unacknowledged = 0;
        if (ioctl(descriptor_, TIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void WireClient::finish_sending() { shutdown(descriptor_, SHUT_WR); }

WireBytes WireClient::read_to_end(std::chrono::milliseconds timeout) {
    return read_at_least(std::numeric_limits<std::size_t>::max(), timeout);
}

WireBytes WireClient::read_at_least(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    WireBytes received;
    unsigned char chunk[65536];
    while (received.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{descriptor_, POLLIN, 0};
        const int ready = left.count() > 0 ? poll(&readable, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) throw std::runtime_error("the service kept the connection open");
        const ssize_t got = recv(descriptor_, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return received;
        received.insert(received.end(), chunk, chunk + got);
    }
    return received;
}

bool WireClient::quiet() const {
    pollfd readable{descriptor_, POLLIN, 0};
    return descriptor_ >= 0 && poll(&readable, 1, 0) == 0;
}

void WireClient::close() {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
}

void WireClient::reset() {
    if (descriptor_ < 0) return;
    const linger abort_on_close{1, 0};
    setsockopt(descriptor_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    close();
}

Reply exchange(int port, const Request& request, std::chrono::milliseconds timeout) {
    WireClient client(port);
    client.send(request);
    return Reply(client.read_to_end(timeout));
}
