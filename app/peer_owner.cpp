#include "app/peer_owner.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <utility>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

using boost::asio::ip::address;
using boost::asio::ip::address_v4;
using boost::asio::ip::address_v6;
using boost::asio::ip::tcp;

/// The form under which the kernel files a connection's addresses: IPv4-mapped IPv6 as plain IPv4.
tcp::endpoint canonical(const tcp::endpoint& endpoint) {
    const address& given = endpoint.address();
    if (given.is_v6() && given.to_v6().is_v4_mapped()) {
        return {boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, given.to_v6()), endpoint.port()};
    }
    return endpoint;
}

/// One TCP socket as the kernel describes it, its endpoints in canonical form.
struct SocketEntry {
    /// The socket's own endpoint.
    tcp::endpoint local;
    /// The endpoint it is connected to.
    tcp::endpoint remote;
    /// The user the kernel shows for it.
    uid_t uid;
    /// The inode of its file: 0 when no process holds the socket, whose uid is then a placeholder 0.
    unsigned long inode;
};

/// True when the entry is the socket of exactly that pair.
bool is_pair(const SocketEntry& entry, const tcp::endpoint& local, const tcp::endpoint& remote) {
    return entry.local == local && entry.remote == remote;
}

/// The entry's owner while a process still holds the socket.
std::optional<uid_t> open_owner(const SocketEntry& entry) {
    if (entry.inode == 0) {
        return std::nullopt;
    }
    return entry.uid;
}

/// A descriptor closed on every path.
class Descriptor {
public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor() {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return descriptor_; }

private:
    int descriptor_;
};

/// An exact look-up of one socket: the header and its one request, with nothing between them.
struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};
static_assert(sizeof(DiagRequest) == NLMSG_LENGTH(sizeof(inet_diag_req_v2)),
              "the request must be one packed message");

/// Tells our request's answer from anything else that could arrive on the netlink socket.
constexpr std::uint32_t request_sequence = 0x6c6d6163;

/// Stores an address in inet_diag's four words: an IPv4 address in the first, in network order.
void store_address(const address& from, __be32 (&to)[4]) {
    std::memset(to, 0, sizeof to);
    if (from.is_v4()) {
        const address_v4::bytes_type bytes = from.to_v4().to_bytes();
        std::memcpy(to, bytes.data(), bytes.size());
    } else {
        const address_v6::bytes_type bytes = from.to_v6().to_bytes();
        std::memcpy(to, bytes.data(), bytes.size());
    }
}

/// The endpoint of inet_diag's four address words and port, for a socket of that family.
tcp::endpoint loaded_endpoint(std::uint8_t family, const __be32 (&from)[4], __be16 port) {
    if (family == AF_INET) {
        address_v4::bytes_type bytes;
        std::memcpy(bytes.data(), from, bytes.size());
        return {address_v4(bytes), ntohs(port)};
    }
    address_v6::bytes_type bytes;
    std::memcpy(bytes.data(), from, bytes.size());
    return canonical({address_v6(bytes), ntohs(port)});
}

/// Sends the exact look-up of the socket of that pair (canonical endpoints of one family).
bool send_diag_request(int netlink, const tcp::endpoint& local, const tcp::endpoint& remote) {
    DiagRequest request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    // Without NLM_F_DUMP the kernel looks up the one socket of the pair instead of listing them all.
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = request_sequence;
    // An IPv4 request also finds an IPv6 socket that speaks IPv4 through mapped addresses.
    request.body.sdiag_family = local.address().is_v4() ? AF_INET : AF_INET6;
    request.body.sdiag_protocol = IPPROTO_TCP;
    // Any state: whether a process still holds the socket is judged from the answer.
    request.body.idiag_states = ~0U;
    request.body.id.idiag_sport = htons(local.port());
    request.body.id.idiag_dport = htons(remote.port());
    store_address(local.address(), request.body.id.idiag_src);
    store_address(remote.address(), request.body.id.idiag_dst);
    // Any socket of the pair, not only one whose cookie we had already learnt.
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = ::sendto(netlink, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel),
                        sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof request);
}

/// Receives the kernel's answer into answer; its length, or nothing when it does not come from the
/// kernel or does not fit.
std::optional<std::size_t> receive_diag_answer(int netlink, unsigned char* answer, std::size_t capacity) {
    sockaddr_nl sender{};
    socklen_t sender_size = sizeof sender;
    ssize_t received;
    do {
        // MSG_TRUNC makes a netlink socket report the whole length of an answer that did not fit.
        received = ::recvfrom(netlink, answer, capacity, MSG_TRUNC, reinterpret_cast<sockaddr*>(&sender),
                              &sender_size);
    } while (received < 0 && errno == EINTR);
    if (received < 0 || static_cast<std::size_t>(received) > capacity) {
        return std::nullopt;
    }
    if (sender_size != sizeof sender || sender.nl_family != AF_NETLINK || sender.nl_pid != 0) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(received);
}

/// The socket that the first message of the kernel's answer describes; nothing for an error
/// message (no such socket, or no TCP diagnostics in this kernel) or anything malformed.
std::optional<SocketEntry> parse_diag_answer(const unsigned char* answer, std::size_t size) {
    nlmsghdr header;
    if (size < sizeof header) {
        return std::nullopt;
    }
    std::memcpy(&header, answer, sizeof header);
    if (header.nlmsg_len < sizeof header || header.nlmsg_len > size || header.nlmsg_seq != request_sequence) {
        return std::nullopt;
    }
    // NLMSG_ERROR carries the kernel's refusal; no other type than the description is an answer.
    if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY) {
        return std::nullopt;
    }
    inet_diag_msg message;
    if (header.nlmsg_len < NLMSG_LENGTH(sizeof message)) {
        return std::nullopt;
    }
    std::memcpy(&message, answer + NLMSG_HDRLEN, sizeof message);
    if (message.idiag_family != AF_INET && message.idiag_family != AF_INET6) {
        return std::nullopt;
    }
    return SocketEntry{loaded_endpoint(message.idiag_family, message.id.idiag_src, message.id.idiag_sport),
                       loaded_endpoint(message.idiag_family, message.id.idiag_dst, message.id.idiag_dport),
                       message.idiag_uid, message.idiag_inode};
}

/// Parses hexadecimal digits, at most 32 bits of them.
bool parse_hex(const std::string& digits, std::uint32_t& value) {
    if (digits.empty() || digits.size() > 8 ||
        digits.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
        return false;
    }
    value = static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16));
    return true;
}

/// An endpoint of /proc/net/tcp or tcp6: the address as 1 or 4 words of 8 hex digits, each the
/// value of the 32-bit word as it lies in memory, then ':' and the port in 4 hex digits.
std::optional<tcp::endpoint> parse_proc_endpoint(const std::string& text) {
    const std::size_t colon = text.find(':');
    if ((colon != 8 && colon != 32) || text.size() != colon + 5) {
        return std::nullopt;
    }
    std::array<unsigned char, 16> bytes{};
    for (std::size_t word = 0; word * 8 < colon; ++word) {
        std::uint32_t value = 0;
        if (!parse_hex(text.substr(word * 8, 8), value)) {
            return std::nullopt;
        }
        std::memcpy(bytes.data() + word * 4, &value, sizeof value);
    }
    std::uint32_t port = 0;
    if (!parse_hex(text.substr(colon + 1), port)) {
        return std::nullopt;
    }
    if (colon == 8) {
        return tcp::endpoint(address_v4({bytes[0], bytes[1], bytes[2], bytes[3]}),
                             static_cast<unsigned short>(port));
    }
    return canonical({address_v6(bytes), static_cast<unsigned short>(port)});
}

/// The socket of one line of /proc/net/tcp or tcp6; nothing for the heading or a malformed line.
std::optional<SocketEntry> parse_proc_line(const std::string& line) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits;
    unsigned long uid = 0;
    unsigned long timeout = 0;
    unsigned long inode = 0;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
          inode)) {
        return std::nullopt;
    }
    const std::optional<tcp::endpoint> local_endpoint = parse_proc_endpoint(local);
    const std::optional<tcp::endpoint> remote_endpoint = parse_proc_endpoint(remote);
    if (!local_endpoint || !remote_endpoint || uid > std::numeric_limits<uid_t>::max()) {
        return std::nullopt;
    }
    return SocketEntry{*local_endpoint, *remote_endpoint, static_cast<uid_t>(uid), inode};
}

/// The pair in canonical form, or nothing when its endpoints are of different families.
std::optional<std::pair<tcp::endpoint, tcp::endpoint>> canonical_pair(const tcp::endpoint& local,
                                                                      const tcp::endpoint& remote) {
    std::pair<tcp::endpoint, tcp::endpoint> pair{canonical(local), canonical(remote)};
    if (pair.first.address().is_v4() != pair.second.address().is_v4()) {
        return std::nullopt;
    }
    return pair;
}

/// True in a user namespace that maps every user, as the machine's own does.
bool every_user_mapped() {
    std::ifstream map("/proc/self/uid_map");
    unsigned long inside = 1, outside = 1, count = 0;
    map >> inside >> outside >> count;
    return inside == 0 && outside == 0 && count == 4294967295UL;
}

/// The user the kernel shows for one that this user namespace does not map.
uid_t overflow_user() {
    std::ifstream setting("/proc/sys/kernel/overflowuid");
    uid_t user = 65534;
    setting >> user;
    return user;
}

}  // namespace

std::optional<uid_t> tcp_socket_owner_from_sock_diag(const tcp::endpoint& local,
                                                     const tcp::endpoint& remote) {
    const auto pair = canonical_pair(local, remote);
    if (!pair) {
        return std::nullopt;
    }
    const Descriptor netlink(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (netlink.get() < 0) {
        return std::nullopt;
    }
    // The kernel answers while the request is being sent; the timeout only bounds a wait for an
    // answer that never comes.
    const timeval timeout{1, 0};
    if (::setsockopt(netlink.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        return std::nullopt;
    }
    if (!send_diag_request(netlink.get(), pair->first, pair->second)) {
        return std::nullopt;
    }
    // Room for the description and every attribute the kernel adds to it.
    alignas(nlmsghdr) unsigned char answer[8192];
    const std::optional<std::size_t> size = receive_diag_answer(netlink.get(), answer, sizeof answer);
    if (!size) {
        return std::nullopt;
    }
    const std::optional<SocketEntry> entry = parse_diag_answer(answer, *size);
    if (!entry) {
        return std::nullopt;
    }
    // The kernel may answer with another socket than the pair asked for (a listener on that port).
    if (!is_pair(*entry, pair->first, pair->second)) {
        return std::nullopt;
    }
    return open_owner(*entry);
}

std::optional<uid_t> tcp_socket_owner_from_proc(const tcp::endpoint& local, const tcp::endpoint& remote) {
    const auto pair = canonical_pair(local, remote);
    if (!pair) {
        return std::nullopt;
    }
    // IPv6 sockets, with those that speak IPv4 through mapped addresses, are listed in tcp6 only.
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream lines(table);
        for (std::string line; std::getline(lines, line);) {
            const std::optional<SocketEntry> entry = parse_proc_line(line);
            if (entry && is_pair(*entry, pair->first, pair->second)) {
                return open_owner(*entry);
            }
        }
    }
    return std::nullopt;
}

std::optional<uid_t> tcp_socket_owner(const tcp::endpoint& local, const tcp::endpoint& remote) {
    // "No such socket" and "no TCP diagnostics in this kernel" are the same error code, so any answer
    // without an owner is asked again of /proc, which every kernel has.
    if (const std::optional<uid_t> owner = tcp_socket_owner_from_sock_diag(local, remote)) {
        return owner;
    }
    return tcp_socket_owner_from_proc(local, remote);
}

std::optional<uid_t> peer_owner(const tcp::socket& connection) {
    boost::system::error_code error;
    const tcp::endpoint ours = connection.local_endpoint(error);
    if (error) {
        return std::nullopt;
    }
    const tcp::endpoint theirs = connection.remote_endpoint(error);
    if (error) {
        return std::nullopt;
    }
    // The client's socket has our endpoints the other way round.
    const std::optional<uid_t> owner = tcp_socket_owner(theirs, ours);
    // A user that our user namespace does not map is shown as the overflow user, whoever it is.
    if (owner && *owner == overflow_user() && !every_user_mapped()) return std::nullopt;
    return owner;
}
