#include "server/flash_server.hpp"

#include <stdexcept>
#include <utility>

#include "server/connection_clock.hpp"
#include "server/socket_transfer.hpp"

namespace {

// Reads up to the zero byte one byte at a time, so that no byte of the command's values is consumed
// before its handler reads them. The whole name is held to one deadline, not each of its bytes.
std::string read_command_name(boost::asio::ip::tcp::socket& socket) {
    std::string name;
    for (;;) {
        char byte = 0;
        read_exactly(socket, &byte, 1);
        if (byte == '\0') {
            if (ConnectionClock* clock = ConnectionClock::of_this_thread()) clock->command_name_arrived();
            return name;
        }
        if (name.size() == max_command_name_length) throw std::length_error("command name too long");
        name += byte;
    }
}

}  // namespace

FlashServer::FlashServer(int port, const ConnectionLimits& limits) : TcpServer(port, limits) {
    handlers_[policy_request_name] = [this](socket_ptr socket) {
        handle_policy_file_request(std::move(socket));
    };
}

void FlashServer::add_allowed_domain(const std::string& domain) { allowed_domains_.push_back(domain); }

void FlashServer::add_handler(const std::string& name, command_handler handler) {
    handlers_[name] = std::move(handler);
}

void FlashServer::set_default_handler(fallback_command_handler handler) {
    fallback_handler_ = std::move(handler);
}

// The Flash runtime reads the document until the connection closes: no terminating zero byte.
void FlashServer::handle_policy_file_request(socket_ptr socket) {
    const std::string port_text = std::to_string(port());
    std::string policy = "<?xml version=\"1.0\"?>\n<cross-domain-policy>\n";
    for (const std::string& domain : allowed_domains_)
        policy += "<allow-access-from domain=\"" + domain + "\" to-ports=\"" + port_text + "\" />\n";
    policy += "</cross-domain-policy>";
    write_all(*socket, boost::asio::buffer(policy));
}

// Whatever goes wrong on a connection ends that connection only: nothing is written or logged, and
// the socket closes with its last owner. An answer may come before the whole request has been read
// (a refusal, an unknown name); closed with bytes still unread, the connection would be reset, and
// the client's system would drop the answer while the client still sends. So the reply is ended
// first, which the client sees as the end of the stream, and what it still sends is read and
// dropped, within the connection's limits, until it closes its side.
void FlashServer::respond(socket_ptr socket) {
    try {
        const std::string name = read_command_name(*socket);
        const auto entry = handlers_.find(name);
        if (entry != handlers_.end())
            entry->second(socket);
        else if (fallback_handler_)
            fallback_handler_(socket, name);
        socket->shutdown(boost::asio::ip::tcp::socket::shutdown_send);
        discard_until_end(*socket);
        socket->close();
    } catch (...) {
    }
}
