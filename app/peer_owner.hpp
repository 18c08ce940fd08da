#pragma once

#include <optional>

#include <sys/types.h>

#include <boost/asio/ip/tcp.hpp>

// Which user a TCP socket of this machine belongs to: the kernel records the user that created a
// socket (its filesystem uid) and shows it to anyone who asks by the socket's address pair. A socket
// that no process holds any more (closed and waiting out its last packets, or still being set up)
// is shown with uid 0, so it has no owner here. Addresses may be given in their IPv4-mapped IPv6
// form; an IPv4 and an IPv6 socket of the same IPv4 address pair are the same connection.

/// The user that owns the client's end of a connection accepted on this machine, found by the
/// connection's address pair seen from the client's side; nothing when that socket is not open in
/// any process, belongs to a user this user namespace does not map, or the look-up fails.
std::optional<uid_t> peer_owner(const boost::asio::ip::tcp::socket& connection);

/// The user that owns the open TCP socket whose own endpoint is local and whose peer is remote,
/// asked of the kernel's socket diagnostics and, when they do not answer it, of /proc/net/tcp and
/// tcp6; nothing when no open socket has exactly that pair or the look-up fails.
std::optional<uid_t> tcp_socket_owner(const boost::asio::ip::tcp::endpoint& local,
                                      const boost::asio::ip::tcp::endpoint& remote);

/// The same look-up through the kernel's socket diagnostics (NETLINK_SOCK_DIAG) alone; nothing also
/// when they are not available.
std::optional<uid_t> tcp_socket_owner_from_sock_diag(const boost::asio::ip::tcp::endpoint& local,
                                                     const boost::asio::ip::tcp::endpoint& remote);

/// The same look-up through /proc/net/tcp and /proc/net/tcp6 alone.
std::optional<uid_t> tcp_socket_owner_from_proc(const boost::asio::ip::tcp::endpoint& local,
                                                const boost::asio::ip::tcp::endpoint& remote);
