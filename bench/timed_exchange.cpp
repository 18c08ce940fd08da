#include "bench/timed_exchange.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

/// Room that each receive may fill; large, so that big replies take few system calls.
constexpr std::size_t receive_room = std::size_t{1} << 20;

/// Closes the descriptor on every path out of an exchange.
class Connection {
public:
    explicit Connection(int port) : descriptor_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (descriptor_ < 0) fail("no socket");
        // A service that never answers ends the benchmark instead of hanging it.
        const timeval patience{300, 0};
        setsockopt(descriptor_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        setsockopt(descriptor_, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            fail("cannot connect to port " + std::to_string(port));
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { close(descriptor_); }

    void send_all(const std::vector<unsigned char>& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t count = ::send(descriptor_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) fail("the service stopped reading the request");
            sent += static_cast<std::size_t>(count);
        }
    }

    /// Receives into the free room of storage; 0 once the service has closed the connection.
    std::size_t receive(ReplyStorage& storage) {
        if (storage.bytes.size() - storage.length < receive_room)
            storage.bytes.resize(storage.length + storage.length / 2 + receive_room);
        for (;;) {
            const ssize_t count = recv(descriptor_, storage.bytes.data() + storage.length,
                                       storage.bytes.size() - storage.length, 0);
            if (count < 0 && errno == EINTR) continue;
            if (count < 0 && errno == ECONNRESET) return 0;
            if (count < 0) fail("no reply");
            storage.length += static_cast<std::size_t>(count);
            return static_cast<std::size_t>(count);
        }
    }

private:
    [[noreturn]] static void fail(const std::string& what) {
        throw std::runtime_error(what + ": " + std::strerror(errno));
    }

    int descriptor_;
};

}  // namespace

ExchangeTimes timed_exchange(int port, const std::vector<unsigned char>& request, ReplyStorage& storage) {
    ExchangeTimes times;
    times.start = BenchClock::now();
    Connection connection(port);
    connection.send_all(request);
    times.request_sent = BenchClock::now();
    times.first_reply = times.last_reply = times.request_sent;
    storage.length = 0;
    if (connection.receive(storage) == 0) return times;
    times.first_reply = times.last_reply = BenchClock::now();
    while (connection.receive(storage) != 0) times.last_reply = BenchClock::now();
    return times;
}
