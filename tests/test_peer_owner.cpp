#include <optional>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "app/peer_owner.hpp"
#include "tests/user_socket.hpp"

namespace {

using boost::asio::ip::address;
using boost::asio::ip::address_v4;
using boost::asio::ip::address_v6;
using boost::asio::ip::make_address;
using boost::asio::ip::tcp;

/// One of the look-ups of a socket's owner by its address pair.
using Lookup = std::optional<uid_t> (*)(const tcp::endpoint& local, const tcp::endpoint& remote);

/// The user whose socket a test's client is: another user when the test may make one (as root),
/// so that the client's socket and the listener's tell apart; else this process's user.
uid_t client_user() { return ::geteuid() == 0 ? other_user : ::geteuid(); }

/// The endpoint in IPv4-mapped IPv6 form.
tcp::endpoint mapped(const tcp::endpoint& endpoint) {
    return {boost::asio::ip::make_address_v6(boost::asio::ip::v4_mapped, endpoint.address().to_v4()),
            endpoint.port()};
}

/// A listener of ours on a loopback address, a client connected to it and the connection it accepted.
struct LoopbackConnection {
    /// Listens on listen_on; the client is a new socket of family client_family that belongs to
    /// user, connected to the listener's port at connect_to (the listener's own address when empty).
    LoopbackConnection(const tcp::endpoint& listen_on, uid_t user, const tcp& client_family,
                       const std::optional<address>& connect_to = std::nullopt)
        : acceptor(io, listen_on) {
        const int descriptor = socket_of_user(user, client_family.family());
        EXPECT_GE(descriptor, 0) << "no client socket of user " << user;
        client.assign(client_family, descriptor);
        const tcp::endpoint listening = acceptor.local_endpoint();
        client.connect({connect_to ? *connect_to : listening.address(), listening.port()});
        acceptor.accept(accepted);
    }

    /// Runs nothing: every call here blocks.
    boost::asio::io_context io;
    /// The listener.
    tcp::acceptor acceptor;
    /// The connecting end.
    tcp::socket client{io};
    /// The listener's end of the connection.
    tcp::socket accepted{io};
};

/// Runs each case with every look-up.
class SocketOwner : public ::testing::TestWithParam<Lookup> {
protected:
    /// The owner of the pair as the look-up under test finds it.
    std::optional<uid_t> owner(const tcp::endpoint& local, const tcp::endpoint& remote) const {
        return GetParam()(local, remote);
    }
};

TEST_P(SocketOwner, EachEndOfALoopbackConnectionHasTheUserThatMadeItsSocket) {
    const LoopbackConnection connection({address_v4::loopback(), 0}, client_user(), tcp::v4());
    EXPECT_EQ(owner(connection.client.local_endpoint(), connection.client.remote_endpoint()), client_user())
        << "the client's socket, made as " << client_user();
    // An accepted socket belongs to the listener's user, whoever connected.
    EXPECT_EQ(owner(connection.accepted.local_endpoint(), connection.accepted.remote_endpoint()),
              ::geteuid());
}

TEST_P(SocketOwner, PairsOfNoOpenSocketHaveNoOwner) {
    LoopbackConnection connection({address_v4::loopback(), 0}, client_user(), tcp::v4());
    const tcp::endpoint client = connection.client.local_endpoint();
    const tcp::endpoint listener = connection.acceptor.local_endpoint();

    EXPECT_EQ(owner(client, {address_v4::loopback(), static_cast<unsigned short>(listener.port() ^ 1)}),
              std::nullopt)
        << "a pair that no socket has";
    // The kernel's exact look-up falls back to a listener on the asked port.
    EXPECT_EQ(owner(listener, {address_v4::loopback(), 1}), std::nullopt)
        << "the listener's port with no peer";
    EXPECT_EQ(owner(client, {address_v6::loopback(), listener.port()}), std::nullopt)
        << "endpoints of two families";

    // A socket closed by its process stays in the kernel's tables for a while, shown as owned by uid 0.
    const tcp::endpoint server = connection.client.remote_endpoint();
    connection.client.close();
    EXPECT_EQ(owner(client, server), std::nullopt) << "a client that has closed its socket";
}

TEST_P(SocketOwner, IPv6LoopbackConnectionsAreFound) {
    std::optional<LoopbackConnection> connection;
    try {
        connection.emplace(tcp::endpoint(address_v6::loopback(), 0), client_user(), tcp::v6());
    } catch (const boost::system::system_error& error) {
        GTEST_SKIP() << "no IPv6 loopback here: " << error.what();
    }
    EXPECT_EQ(owner(connection->client.local_endpoint(), connection->client.remote_endpoint()),
              client_user());
}

TEST_P(SocketOwner, IPv4ConnectionsAreFoundThroughMappedAddressesAndTheOtherWayRound) {
    // An IPv4 client of a listener on a mapped address: the accepted side sees mapped addresses.
    const LoopbackConnection mapped_listener({make_address("::ffff:127.0.0.1"), 0}, client_user(), tcp::v4(),
                                             address(address_v4::loopback()));
    ASSERT_TRUE(mapped_listener.accepted.remote_endpoint().address().is_v6());
    EXPECT_EQ(owner(mapped_listener.accepted.remote_endpoint(), mapped_listener.accepted.local_endpoint()),
              client_user());

    // An IPv6 client that reaches an IPv4 listener through a mapped address.
    const LoopbackConnection ipv6_client({address_v4::loopback(), 0}, client_user(), tcp::v6(),
                                         make_address("::ffff:127.0.0.1"));
    ASSERT_TRUE(ipv6_client.accepted.remote_endpoint().address().is_v4());
    EXPECT_EQ(owner(ipv6_client.accepted.remote_endpoint(), ipv6_client.accepted.local_endpoint()),
              client_user());
    EXPECT_EQ(
        owner(mapped(ipv6_client.accepted.remote_endpoint()), mapped(ipv6_client.accepted.local_endpoint())),
        client_user());
}

/// Names each look-up's tests after it.
std::string lookup_name(const ::testing::TestParamInfo<Lookup>& info) {
    const char* const names[] = {"SockDiagThenProc", "SockDiag", "Proc"};
    return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(Lookups, SocketOwner,
                         ::testing::Values(&tcp_socket_owner, &tcp_socket_owner_from_sock_diag,
                                           &tcp_socket_owner_from_proc),
                         lookup_name);

TEST(PeerOwner, IsTheOwnerOfTheSocketAtTheOtherEnd) {
    const LoopbackConnection connection({address_v4::loopback(), 0}, client_user(), tcp::v4());
    EXPECT_EQ(peer_owner(connection.accepted), client_user());
    EXPECT_EQ(peer_owner(connection.client), ::geteuid());

    boost::asio::io_context io;
    const tcp::socket unconnected(io, tcp::v4());
    EXPECT_EQ(peer_owner(unconnected), std::nullopt);
}

}  // namespace
