#pragma once

#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/read.hpp>

#include "server/flash_types.hpp"

/// Two connected loopback sockets: what near sends, far receives.
struct SocketPair {
    SocketPair() {
        tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        near.connect(acceptor.local_endpoint());
        acceptor.accept(far);
    }

    /// Every byte that near sent, once near stops sending.
    std::vector<unsigned char> sent() {
        near.shutdown(tcp::socket::shutdown_send);
        std::vector<unsigned char> bytes;
        boost::system::error_code error;
        boost::asio::read(far, boost::asio::dynamic_buffer(bytes), error);
        EXPECT_EQ(error, boost::asio::error::eof);
        return bytes;
    }

    boost::asio::io_context io;
    tcp::socket near{io};
    tcp::socket far{io};
};
