#include "server/socket_transfer.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "server/connection_clock.hpp"

using boost::asio::ip::tcp;
using std::chrono::milliseconds;
using Clock = ConnectionClock::clock;

namespace {

[[noreturn]] void fail(const boost::system::error_code& error) { throw boost::system::system_error(error); }

[[noreturn]] void fail_with_errno() {
    fail(boost::system::error_code(errno, boost::asio::error::get_system_category()));
}

/// Sets one of the socket's timeouts (SO_RCVTIMEO or SO_SNDTIMEO); zero waits for ever.
bool set_timeout(int descriptor, int option, milliseconds timeout) {
    const timeval limit{static_cast<time_t>(timeout.count() / 1000),
                        static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    return ::setsockopt(descriptor, SOL_SOCKET, option, &limit, sizeof limit) == 0;
}

/// The stall limit of a transfer: the connection's, or on a thread that serves none the one kept in
/// the socket's timeout option (SO_RCVTIMEO or SO_SNDTIMEO); zero when none is set.
milliseconds stall_limit(const ConnectionClock* clock, int descriptor, int option) {
    if (clock != nullptr) return clock->limits().stall;
    timeval limit{};
    socklen_t length = sizeof limit;
    if (::getsockopt(descriptor, SOL_SOCKET, option, &limit, &length) != 0) return milliseconds(0);
    return std::chrono::seconds(limit.tv_sec) +
           std::chrono::duration_cast<milliseconds>(std::chrono::microseconds(limit.tv_usec));
}

/// Bytes written that the peer has not acknowledged yet; -1 when the kernel does not say.
int unacknowledged_bytes(int descriptor) {
    int bytes = 0;
    return ::ioctl(descriptor, SIOCOUTQ, &bytes) == 0 ? bytes : -1;
}

/// A wait of at most left as poll takes it: whole milliseconds rounded up, so that a wait never ends
/// before the limit it waits for; -1 (for ever) for the duration's maximum, which stands for no limit.
int poll_timeout(Clock::duration left) {
    if (left == Clock::duration::max()) return -1;
    const auto whole = std::chrono::ceil<milliseconds>(left).count();
    return static_cast<int>(std::clamp<decltype(whole)>(whole, 0, std::numeric_limits<int>::max()));
}

/// True when the socket became ready for events (or failed, which the next call reports) within
/// timeout milliseconds; a negative timeout waits for ever.
bool ready_within(int descriptor, short events, int timeout) {
    for (;;) {
        pollfd socket{descriptor, events, 0};
        const int ready = ::poll(&socket, 1, timeout);
        if (ready >= 0) return ready > 0;
        if (errno != EINTR) fail_with_errno();
    }
}

// A value read has its deadline; every other transfer feeds the connection's rate window with the
// time it spends and the bytes it moves, and is judged with it whenever it has to wait. Without a
// clock (a thread that serves no connection) there is no limit.
class Pace {
public:
    Pace(ConnectionClock* clock, bool is_value)
        : clock_(clock),
          mark_(clock != nullptr ? Clock::now() : Clock::time_point()),
          deadline_(clock != nullptr && is_value ? clock->value_deadline(mark_) : Clock::time_point::max()),
          rated_(clock != nullptr && !is_value) {}
    ~Pace() {
        if (rated_) clock_->spend(Clock::now() - mark_, pending_);
    }
    Pace(const Pace&) = delete;
    Pace& operator=(const Pace&) = delete;

    /// Bytes went through.
    void moved(std::size_t bytes) { pending_ += bytes; }

    /// How long the transfer may wait from now on; fails once its limit has passed.
    Clock::duration left(Clock::time_point now) {
        if (!rated_) {
            if (deadline_ == Clock::time_point::max()) return Clock::duration::max();
            if (now >= deadline_) fail(boost::asio::error::timed_out);
            return deadline_ - now;
        }
        clock_->spend(now - mark_, pending_);
        mark_ = now;
        pending_ = 0;
        return clock_->rate_window_left();
    }

private:
    ConnectionClock* const clock_;
    Clock::time_point mark_;
    const Clock::time_point deadline_;
    const bool rated_;
    std::size_t pending_ = 0;
};

// The limits of one read: its pace, and the stall counted from its start or from the last byte that
// arrived. The socket is only ever waited on in poll, with the exact time left, so that the read
// ends at whichever limit comes first.
class ReadLimits {
public:
    ReadLimits(ConnectionClock* clock, int descriptor, bool is_value)
        : pace_(clock, is_value),
          stall_(stall_limit(clock, descriptor, SO_RCVTIMEO)),
          last_movement_(Clock::now()) {}

    /// Bytes arrived; the time they did is taken at the next wait.
    void moved(std::size_t bytes) {
        pace_.moved(bytes);
        moved_ = true;
    }

    /// Waits until the socket has bytes, ends or fails; fails once a limit passes first.
    void wait_readable(int descriptor) {
        for (;;) {
            const Clock::time_point now = Clock::now();
            if (moved_) last_movement_ = now;
            moved_ = false;
            Clock::duration left = pace_.left(now);
            if (stall_.count() != 0) {
                if (now - last_movement_ >= stall_) fail(boost::asio::error::timed_out);
                left = std::min<Clock::duration>(left, last_movement_ + stall_ - now);
            }
            if (ready_within(descriptor, POLLIN, poll_timeout(left))) return;
        }
    }

private:
    Pace pace_;
    const milliseconds stall_;
    Clock::time_point last_movement_;
    bool moved_ = false;
};

/// Receives up to size bytes once some are there, within the limits: 0 at the end of the stream.
std::size_t receive_some(int descriptor, void* data, std::size_t size, ReadLimits& limits) {
    for (;;) {
        const ssize_t received = ::recv(descriptor, data, size, MSG_DONTWAIT);
        if (received >= 0) {
            limits.moved(static_cast<std::size_t>(received));
            return static_cast<std::size_t>(received);
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            limits.wait_readable(descriptor);
        } else if (errno != EINTR) {
            fail_with_errno();
        }
    }
}

/// Reads exactly size bytes, within the limits of the thread's connection when there is one.
void read_whole(tcp::socket& socket, void* data, std::size_t size, bool is_value) {
    ReadLimits limits(ConnectionClock::of_this_thread(), socket.native_handle(), is_value);
    auto* next = static_cast<unsigned char*>(data);
    while (size > 0) {
        const std::size_t received = receive_some(socket.native_handle(), next, size, limits);
        if (received == 0) fail(boost::asio::error::eof);
        next += received;
        size -= received;
    }
}

// Waiting for all of them makes the kernel hold the call until every byte is there, the stream
// ends, or the receive timeout passes, counted across the whole call; in the last two cases only
// some of them may be there.
std::size_t peek_until_timeout(int descriptor, void* data, std::size_t size) {
    for (;;) {
        const ssize_t seen = ::recv(descriptor, data, size, MSG_PEEK | MSG_WAITALL);
        if (seen >= 0) return static_cast<std::size_t>(seen);
        if (errno == EAGAIN || errno == EWOULDBLOCK) fail(boost::asio::error::timed_out);
        if (errno != EINTR) fail_with_errno();
    }
}

// Poll cannot wait for a peek: it reports the socket readable as soon as one byte is there. So the
// receive timeout is set to the time the value has left, for this call only; the socket keeps its
// stall limit otherwise. A peek is made once or twice a request, so the two calls cost nothing.
std::size_t peek_within(int descriptor, void* data, std::size_t size, const ConnectionClock* clock) {
    const Clock::time_point now = Clock::now();
    const milliseconds stall = stall_limit(clock, descriptor, SO_RCVTIMEO);
    Clock::time_point due = clock != nullptr ? clock->value_deadline(now) : Clock::time_point::max();
    if (stall.count() != 0) due = std::min(due, now + stall);
    // Zero is no timeout at all for the kernel, so a limit that has just passed waits a millisecond.
    const milliseconds timeout = due == Clock::time_point::max()
                                     ? milliseconds(0)
                                     : std::max(std::chrono::ceil<milliseconds>(due - now), milliseconds(1));
    if (!set_timeout(descriptor, SO_RCVTIMEO, timeout)) fail_with_errno();
    const std::size_t seen = peek_until_timeout(descriptor, data, size);
    if (!set_timeout(descriptor, SO_RCVTIMEO, stall)) fail_with_errno();
    return seen;
}

// The kernel reports a socket writable only once a good share of its send buffer is free, which a
// slow but steady reader may take minutes to free; every byte the peer acknowledges in the meantime
// counts as movement, so the stall limit cuts off only a peer that takes nothing at all. On a served
// connection the rate window judges how much it takes.
class PeerWatch {
public:
    explicit PeerWatch(int descriptor)
        : descriptor_(descriptor), clock_(ConnectionClock::of_this_thread()), pace_(clock_, false) {}

    /// Bytes went out: the peer has made room for them. Before the first wait no movement is
    /// counted for the stall: the wait follows the last bytes that went out at once.
    void moved(std::size_t bytes) {
        pace_.moved(bytes);
        if (waited_) last_movement_ = Clock::now();
    }

    /// Waits until the socket may take bytes again; fails once the peer has taken none for the
    /// stall limit, counted across every wait of the write, or once the rate window judges it too
    /// slow. The stall limit is read at the first wait, as most writes never wait.
    void wait_for_room() {
        if (!waited_) {
            stall_ = stall_limit(clock_, descriptor_, SO_SNDTIMEO);
            unacknowledged_ = unacknowledged_bytes(descriptor_);
            last_movement_ = Clock::now();
            waited_ = true;
        }
        const Clock::duration check_period =
            stall_.count() == 0 ? Clock::duration::max() : std::max(stall_ / 8, milliseconds(1));
        for (;;) {
            const Clock::time_point now = Clock::now();
            if (stall_.count() != 0) {
                const int still_unacknowledged = unacknowledged_bytes(descriptor_);
                if (still_unacknowledged < unacknowledged_) last_movement_ = now;
                unacknowledged_ = still_unacknowledged;
                if (now - last_movement_ >= stall_) fail(boost::asio::error::timed_out);
            }
            const Clock::duration wait = std::min(check_period, pace_.left(now));
            if (ready_within(descriptor_, POLLOUT, poll_timeout(wait))) return;
        }
    }

private:
    const int descriptor_;
    ConnectionClock* const clock_;
    Pace pace_;
    bool waited_ = false;
    milliseconds stall_{0};
    int unacknowledged_ = 0;
    Clock::time_point last_movement_;
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

/// The buffer that discarded bytes pass through: large enough that a client on this machine sends
/// a refused program's megabytes in a few thousand calls, small enough to sit on a connection's stack.
constexpr std::size_t discard_buffer_size = 16 << 10;

}  // namespace

// The socket's timeouts keep the limit where the transfers below find it on a thread that serves no
// connection, and the receive timeout is what a peek waits by; on a served connection the limit is
// the clock's, which sets the same figure here.
bool limit_stalls(tcp::socket& socket, milliseconds timeout) {
    const int descriptor = socket.native_handle();
    return set_timeout(descriptor, SO_RCVTIMEO, timeout) && set_timeout(descriptor, SO_SNDTIMEO, timeout);
}

void read_exactly(tcp::socket& socket, void* data, std::size_t size) { read_whole(socket, data, size, true); }

void read_payload(tcp::socket& socket, void* data, std::size_t size) {
    read_whole(socket, data, size, false);
}

std::size_t peek_exactly(tcp::socket& socket, void* data, std::size_t size) {
    return peek_within(socket.native_handle(), data, size, ConnectionClock::of_this_thread());
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
            peer.moved(static_cast<std::size_t>(sent));
        } else if (sent == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            peer.wait_for_room();
        } else if (errno != EINTR) {
            fail_with_errno();
        }
    }
}

void discard_until_end(tcp::socket& socket) {
    ConnectionClock* clock = ConnectionClock::of_this_thread();
    ReadLimits limits(clock, socket.native_handle(), false);
    std::array<unsigned char, discard_buffer_size> sink;
    for (;;) {
        const std::size_t received = receive_some(socket.native_handle(), sink.data(), sink.size(), limits);
        if (received == 0) return;
        if (clock != nullptr) clock->discard(received);
    }
}
