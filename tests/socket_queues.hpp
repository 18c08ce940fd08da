#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

/// For each open connection whose local end is this TCP port (a service's side of its connections),
/// the bytes that have arrived and that the service has not read yet, in ascending order; read from
/// the system's table of IPv4 TCP sockets of this network.
inline std::vector<long> unread_bytes_at_port(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    std::vector<long> unread;
    while (std::getline(table, line)) {
        unsigned local_port = 0, state = 0;
        unsigned long sending = 0, received = 0;
        if (std::sscanf(line.c_str(), " %*d: %*8x:%4x %*8x:%*4x %2x %8lx:%8lx", &local_port, &state, &sending,
                        &received) == 4 &&
            static_cast<int>(local_port) == port && state == 0x01)
            unread.push_back(static_cast<long>(received));
    }
    std::sort(unread.begin(), unread.end());
    return unread;
}

/// True once unread_bytes_at_port(port) is expected, within timeout.
inline bool unread_bytes_become(int port, const std::vector<long>& expected,
                                std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (unread_bytes_at_port(port) != expected) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
