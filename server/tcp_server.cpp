#include "server/tcp_server.hpp"

#include <cstdint>
#include <thread>

using boost::asio::ip::tcp;

namespace {

// A reply is several writes (one per typed value); with Nagle's algorithm on, a small write that
// follows another waits for the peer's delayed acknowledgement, tens of milliseconds. The bytes
// on the wire stay the same. A connection that refuses the option is served all the same.
void send_without_delay(tcp::socket& socket) {
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
}

}  // namespace

TcpServer::TcpServer(int port) : acceptor_(io_context_), port_(port) {
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
    acceptor_.async_accept(*socket, [this, socket](const boost::system::error_code& error) {
        handle_accept(socket, error);
    });
}

// An accept error ends the accept chain for good: once nothing else is pending, start returns.
// The connection's thread starts before the next accept is queued, and runs detached.
void TcpServer::handle_accept(socket_ptr socket, const boost::system::error_code& error) {
    if (error) return;
    std::thread([server = shared_from_this(), socket] {
        send_without_delay(*socket);
        server->respond(socket);
    }).detach();
    accept();
}
