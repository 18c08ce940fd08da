#include "server/socket_transfer.hpp"

#include <algorithm>
#include <cerrno>

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

using boost::asio::ip::tcp;
using std::chrono::milliseconds;

namespace {

[[noreturn]] void fail(const boost::system::error_code& error) { throw boost::system::system_error(error); }

[[noreturn]] void fail_with_errno() {
    fail(boost::system::error_code(errno, boost::asio::error::get_system_category()));
}

/// The stall limit kept in the socket's send timeout; zero when none is set.
milliseconds send_stall_limit(int descriptor) {
    timeval limit{};
    socklen_t length = sizeof limit;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &limit, &length) != 0) return milliseconds(0);
    return std::chrono::seconds(limit.tv_sec) +
           std::chrono::duration_cast<milliseconds>(std::chrono::microseconds(limit.tv_usec));
}

/// Bytes written that the peer has not acknowledged yet; -1 when the kernel does not say.
int unacknowledged_bytes(int descriptor) {
    int bytes = 0;
    return ::ioctl(descriptor, SIOCOUTQ, &bytes) == 0 ? bytes : -1;
}

/// True when the socket became writable (or failed, which the next write reports) within timeout;
/// a negative timeout waits for ever.
bool writable_within(int descriptor, milliseconds timeout) {
    for (;;) {
        pollfd socket{descriptor, POLLOUT, 0};
        const int ready = ::poll(&socket, 1, static_cast<int>(timeout.count()));
        if (ready >= 0) return ready > 0;
        if (errno != EINTR) fail_with_errno();
    }
}

// The kernel reports a socket writable only once a good share of its send buffer is free, which a
// slow but steady reader may take minutes to free; every byte the peer acknowledges in the meantime
// counts as movement, so only a peer that takes nothing at all is cut off.
class PeerWatch {
public:
    explicit PeerWatch(int descriptor) : descriptor_(descriptor) {}

    /// Bytes went out: the peer has made room for them. Before the first wait nothing is counted:
    /// the wait follows the last bytes that went out at once.
    void moved() {
        if (waited_) last_movement_ = std::chrono::steady_clock::now();
    }

    /// Waits until the socket may take bytes again; fails once the peer has taken none for the
    /// limit, counted across every wait of the write. The limit is read at the first wait, as most
    /// writes never wait.
    void wait_for_room() {
        if (!waited_) {
            limit_ = send_stall_limit(descriptor_);
            unacknowledged_ = unacknowledged_bytes(descriptor_);
            last_movement_ = std::chrono::steady_clock::now();
            waited_ = true;
        }
        if (limit_.count() == 0) {
            writable_within(descriptor_, milliseconds(-1));
            return;
        }
        const milliseconds check_period = std::max(limit_ / 8, milliseconds(1));
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            const int still_unacknowledged = unacknowledged_bytes(descriptor_);
            if (still_unacknowledged < unacknowledged_) last_movement_ = now;
            unacknowledged_ = still_unacknowledged;
            if (now - last_movement_ >= limit_) fail(boost::asio::error::timed_out);
            if (writable_within(descriptor_, check_period)) return;
        }
    }

private:
    const int descriptor_;
    bool waited_ = false;
    milliseconds limit_{0};
    int unacknowledged_ = 0;
    std::chrono::steady_clock::time_point last_movement_;
};

/// Drops sent bytes from the front of the pieces still to send.
void advance(iovec*& pieces, int& count, std::size_t sent) {
    while (count > 0 && sent >= pieces->iov_len) {
        sent -= pieces->iov_len;
        ++pieces;
        --count;
    }
    if (count > 0) {
        pieces->iov_base = static_cast<char*>(pieces->iov_base) + sent;
        pieces->iov_len -= sent;
    }
}

}  // namespace

bool limit_stalls(tcp::socket& socket, milliseconds timeout) {
    const timeval limit{static_cast<time_t>(timeout.count() / 1000),
                        static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    const int descriptor = socket.native_handle();
    // The receive timeout ends a blocking read by itself; the send timeout is where the writes
    // below find the limit.
    return ::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
           ::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

// A blocking receive returns as soon as any byte is there, so its timeout ends it only when
// nothing at all has arrived for that long.
void read_exactly(tcp::socket& socket, void* data, std::size_t size) {
    auto* next = static_cast<unsigned char*>(data);
    while (size > 0) {
        const ssize_t received = ::recv(socket.native_handle(), next, size, 0);
        if (received > 0) {
            next += received;
            size -= static_cast<std::size_t>(received);
        } else if (received == 0) {
            fail(boost::asio::error::eof);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            fail(boost::asio::error::timed_out);
        } else if (errno != EINTR) {
            fail_with_errno();
        }
    }
}

// Waiting for all of them makes the kernel hold the call until every byte is there, the stream
// ends, or the receive timeout passes; in the last two cases only some of them may be there.
std::size_t peek_exactly(tcp::socket& socket, void* data, std::size_t size) {
    for (;;) {
        const ssize_t seen = ::recv(socket.native_handle(), data, size, MSG_PEEK | MSG_WAITALL);
        if (seen >= 0) return static_cast<std::size_t>(seen);
        if (errno == EAGAIN || errno == EWOULDBLOCK) fail(boost::asio::error::timed_out);
        if (errno != EINTR) fail_with_errno();
    }
}

// Each call hands the kernel as much as its send buffer takes, without waiting inside the call,
// so that the wait between calls can watch the peer.
void write_all(tcp::socket& socket, boost::asio::const_buffer first, boost::asio::const_buffer second) {
    iovec pieces[2] = {{const_cast<void*>(first.data()), first.size()},
                       {const_cast<void*>(second.data()), second.size()}};
    iovec* next = pieces;
    int count = 2;
    advance(next, count, 0);
    const int descriptor = socket.native_handle();
    PeerWatch peer(descriptor);
    while (count > 0) {
        msghdr message{};
        message.msg_iov = next;
        message.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t sent = ::sendmsg(descriptor, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            advance(next, count, static_cast<std::size_t>(sent));
            peer.moved();
        } else if (sent == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            peer.wait_for_room();
        } else if (errno != EINTR) {
            fail_with_errno();
        }
    }
}
