#pragma once

#include <memory>

#include <boost/asio/ip/tcp.hpp>

/// One connection's socket, shared by its thread and the handlers it calls; closed with the last copy.
using socket_ptr = std::shared_ptr<boost::asio::ip::tcp::socket>;
