#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "server/connection_limits.hpp"
#include "server/socket_ptr.hpp"

/// Listens on one TCP port of every local IPv4 address and serves each accepted connection on a
/// thread of its own through respond. Own it with std::make_shared: every connection thread holds a
/// share of the server, so the server lives until the last of them ends, whatever its owner does.
class TcpServer : public std::enable_shared_from_this<TcpServer> {
public:
    /// Opens, binds (with address reuse) and listens on the port, and queues the first accept;
    /// throws boost::system::system_error when the port cannot be had. Each connection is served on
    /// a thread with the limits' stack size and closed once it passes one of its time limits; whatever
    /// its request held is then released.
    explicit TcpServer(int port, const ConnectionLimits& limits = ConnectionLimits());
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    /// Runs the accept loop on the calling thread until an accept fails or stop is called.
    void start();
    /// Makes a running start return; connection threads go on.
    void stop();
    /// Does nothing: connections, the listening socket and a running start are left as they are.
    void abort();
    /// The port given to the constructor.
    int port() const { return port_; }
    /// Sets what is told each time a connection is accepted and each time one has ended (its socket
    /// closed); it runs on the accepting thread or on the connection's own, so it must be quick.
    /// Set it before start.
    void set_connection_watcher(std::function<void()> watcher);

    /// Serves one accepted connection; runs on that connection's own thread.
    virtual void respond(socket_ptr socket) = 0;

protected:
    /// Only the owning shared pointer destroys a server, as the type it was created as.
    ~TcpServer() = default;

private:
    void accept();
    void handle_accept(socket_ptr socket, const boost::system::error_code& error);
    void serve(socket_ptr socket, std::chrono::steady_clock::time_point accepted);
    void tell_connection_watcher() noexcept;

    boost::asio::io_context io_context_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_timer_;
    int port_;
    const ConnectionLimits limits_;
    std::function<void()> connection_watcher_;
};
