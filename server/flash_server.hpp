#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "server/socket_ptr.hpp"
#include "server/tcp_server.hpp"

/// Serves one command: reads the command's values from the socket and writes its reply; throws to
/// abandon the connection.
using command_handler = std::function<void(socket_ptr)>;

/// Serves a command name that has no handler; receives the name as it arrived.
using fallback_command_handler = std::function<void(socket_ptr, std::string)>;

/// The name under which the Flash runtime asks for the socket policy.
constexpr const char* policy_request_name = "<policy-file-request/>";

/// Longest command name accepted; a connection whose name grows past it is closed.
constexpr std::size_t max_command_name_length = 4096;

/// One command per connection: reads a zero-terminated name, runs the handler registered under it
/// (or the fallback handler with the name), ends its reply and drops what the client still sends,
/// then closes the connection. Answers the socket policy request itself. Register everything before
/// start; the tables are only read afterwards.
class FlashServer final : public TcpServer {
public:
    /// Listens on the port with these connection limits (see TcpServer) and registers the policy
    /// reply under its request name.
    explicit FlashServer(int port, const ConnectionLimits& limits = ConnectionLimits());

    /// Appends a domain to the policy reply (as given: not checked, escaped or de-duplicated).
    void add_allowed_domain(const std::string& domain);
    /// Registers handler under name, replacing any earlier handler of that name.
    void add_handler(const std::string& name, command_handler handler);
    /// Sets the handler of names without one; an empty function leaves them unanswered.
    void set_default_handler(fallback_command_handler handler);
    /// Writes the cross-domain policy naming every allowed domain and this server's port.
    void handle_policy_file_request(socket_ptr socket);

    /// Reads one command name, dispatches it, lets the answer reach the client and closes the
    /// connection; never throws.
    void respond(socket_ptr socket) override;

private:
    std::vector<std::string> allowed_domains_;
    std::map<std::string, command_handler> handlers_;
    fallback_command_handler fallback_handler_;
};
