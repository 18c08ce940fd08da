#include "app/received_bytes.hpp"

#include <cstddef>

// The kernel's own tcp_info: the C library's copy of it stops before the byte counters. It clashes
// with the C library's TCP header, which is why this file includes nothing that brings that in.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

std::optional<std::uint64_t> received_bytes(int descriptor) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(descriptor, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return std::nullopt;
    // An older kernel fills fewer fields than it is given room for.
    if (length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        return std::nullopt;
    return info.tcpi_bytes_received;
}
