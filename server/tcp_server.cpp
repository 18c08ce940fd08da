#include "server/tcp_server.hpp"

#include <chrono>
#include <cstdint>
#include <new>

#include <boost/asio/error.hpp>

#include "server/connection_clock.hpp"
#include "server/detached_thread.hpp"
#include "server/socket_transfer.hpp"

using boost::asio::ip::tcp;

namespace {

// A reply is several writes (one per typed value); with Nagle's algorithm on, a small write that
// follows another waits for the peer's delayed acknowledgement, tens of milliseconds. The bytes
// on the wire stay the same. A connection that refuses the option is served all the same.
void send_without_delay(tcp::socket& socket) {
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
}

/// Accept errors that come from a shortage of descriptors, buffers or memory, which ends when
/// connections close, or from a peer that left before it was accepted.
bool is_passing_accept_error(const boost::system::error_code& error) {
    namespace error_codes = boost::asio::error;
    return error == error_codes::no_descriptors || error == error_codes::no_buffer_space ||
           error == error_codes::no_memory || error == error_codes::connection_aborted ||
           error == boost::system::errc::too_many_files_open_in_system;
}

/// How long a shortage waits before the next accept: connections close in the meantime.
constexpr std::chrono::milliseconds shortage_pause{100};

}  // namespace

TcpServer::TcpServer(int port, const ConnectionLimits& limits)
    : acceptor_(io_context_), retry_timer_(io_context_), port_(port), limits_(limits) {
    acceptor_.open(tcp::v4());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(tcp::endpoint(tcp::v4(), static_cast<std::uint16_t>(port)));
    acceptor_.listen(tcp::acceptor::max_listen_connections);
    accept();
}

void TcpServer::start() { io_context_.run(); }

void TcpServer::stop() { io_context_.stop(); }

void TcpServer::abort() {}

void TcpServer::accept() {
    auto socket = std::make_shared<tcp::socket>(io_context_);
    acceptor_.async_accept(
        *socket, [this, socket](const boost::system::error_code& error) { handle_accept(socket, error); });
}

void TcpServer::set_connection_watcher(std::function<void()> watcher) {
    connection_watcher_ = std::move(watcher);
}

// The watcher's failure must end neither the accept loop nor a connection's thread.
void TcpServer::tell_connection_watcher() noexcept {
    try {
        if (connection_watcher_) connection_watcher_();
    } catch (...) {
    }
}

// Any other accept error ends the accept chain for good: once nothing else is pending, start
// returns. A shortage does not: otherwise a client that opens connections until the descriptors
// run out would end the service. The connection's thread starts before the next accept is queued,
// and runs detached; when no thread can be started, that one connection is closed unanswered.
void TcpServer::handle_accept(socket_ptr socket, const boost::system::error_code& error) {
    if (error) {
        if (!is_passing_accept_error(error)) return;
        retry_timer_.expires_after(shortage_pause);
        retry_timer_.async_wait([this](const boost::system::error_code&) { accept(); });
        return;
    }
    tell_connection_watcher();
    const auto accepted = std::chrono::steady_clock::now();
    try {
        start_detached_thread(limits_.stack_size, [server = shared_from_this(), socket, accepted]() mutable {
            server->serve(std::move(socket), accepted);
        });
    } catch (const std::bad_alloc&) {
    }
    accept();
}

// A connection whose stalls cannot be limited is closed unserved: a client that stops reading or
// sending would otherwise hold its thread and everything its request holds for ever. The clock's
// deadlines count from the acceptance, so the time a busy machine takes to start the thread is
// the client's too.
void TcpServer::serve(socket_ptr socket, std::chrono::steady_clock::time_point accepted) {
    send_without_delay(*socket);
    {
        const ConnectionClock clock(limits_, accepted);
        if (limit_stalls(*socket, limits_.stall)) respond(socket);
    }
    // The last share of the socket closes it before the watcher hears of the end.
    socket.reset();
    tell_connection_watcher();
}
