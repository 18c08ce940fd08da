#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

/// One IPv4 TCP socket of this network as /proc/net/tcp lists it: its own endpoint as listed (the
/// address as the 32-bit word that holds it in memory, then the port, in hexadecimal), its state
/// (0x01: established), the bytes that arrived and are not read yet, and its user.
struct ListedSocket {
    std::string local;
    unsigned state = 0;
    unsigned long unread = 0;
    unsigned long uid = 0;
};

/// Every IPv4 TCP socket of this network, as listed now.
inline std::vector<ListedSocket> listed_tcp_sockets() {
    std::ifstream table("/proc/net/tcp");
    std::vector<ListedSocket> sockets;
    for (std::string line; std::getline(table, line);) {
        ListedSocket socket;
        char local[32] = {};
        if (std::sscanf(line.c_str(), " %*d: %31s %*8x:%*4x %2x %*8x:%8lx %*2x:%*8x %*8x %lu", local,
                        &socket.state, &socket.unread, &socket.uid) != 4)
            continue;
        socket.local = local;
        sockets.push_back(socket);
    }
    return sockets;
}

/// How an IPv4 endpoint is listed in /proc/net/tcp.
inline std::string listed_endpoint(const boost::asio::ip::tcp::endpoint& endpoint) {
    std::uint32_t address = 0;
    const auto bytes = endpoint.address().to_v4().to_bytes();
    std::memcpy(&address, bytes.data(), sizeof address);
    char listed[16];
    std::snprintf(listed, sizeof listed, "%08X:%04X", address, endpoint.port());
    return listed;
}

/// For each open connection whose local end is this TCP port (a service's side of its connections),
/// the bytes that have arrived and that the service has not read yet, in ascending order.
inline std::vector<unsigned long> unread_bytes_at_port(int port) {
    char listed_port[8];
    std::snprintf(listed_port, sizeof listed_port, ":%04X", port);
    std::vector<unsigned long> unread;
    for (const ListedSocket& socket : listed_tcp_sockets())
        if (socket.state == 0x01 && socket.local.size() == 13 && socket.local.substr(8) == listed_port)
            unread.push_back(socket.unread);
    std::sort(unread.begin(), unread.end());
    return unread;
}

/// True once unread_bytes_at_port(port) is expected, within timeout.
inline bool unread_bytes_become(int port, const std::vector<unsigned long>& expected,
                                std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (unread_bytes_at_port(port) != expected) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
