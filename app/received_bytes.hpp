#pragma once

#include <cstdint>
#include <optional>

/// Bytes the kernel has received on a TCP connection since it opened, whether read yet or not;
/// nothing when the descriptor is no TCP socket. It shares no state with the connection's reader,
/// so any thread may ask while the owner is blocked in a read.
std::optional<std::uint64_t> received_bytes(int descriptor);
