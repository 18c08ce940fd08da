#pragma once

#include <cstddef>
#include <cstdint>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "server/socket_ptr.hpp"

/// One connection over 127.0.0.1 whose client side has sent a fuzz input and then ended its sending
/// side, as a hostile client would: the service side reads exactly those bytes, then the end of the
/// stream. Whatever the service side writes is read and dropped, so that no reply can block it.
class LoopbackConnection {
public:
    /// Connects, sends every byte of the input and ends the client's sending side.
    LoopbackConnection(const std::uint8_t* data, std::size_t size);
    LoopbackConnection(const LoopbackConnection&) = delete;
    LoopbackConnection& operator=(const LoopbackConnection&) = delete;
    /// Closes the service side and waits until the client has read everything it wrote.
    ~LoopbackConnection();

    /// The service side of the connection, for a handler or a server's respond.
    socket_ptr service_side() const { return service_; }

private:
    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket client_;
    socket_ptr service_;
    std::thread drain_;
};
