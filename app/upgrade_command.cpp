#include <string>
#include <vector>

#include "app/commands.hpp"
#include "app/globals.hpp"
#include "app/log.hpp"
#include "app/platform.hpp"
#include "server/flash_server.hpp"
#include "server/flash_types.hpp"

bool is_loopback(const boost::asio::ip::address& address) {
    if (address.is_v4()) {
        return (address.to_v4().to_uint() >> 24) == 127;
    }
    const boost::asio::ip::address_v6 address6 = address.to_v6();
    if (address6.is_v4_mapped()) {
        return is_loopback(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address6));
    }
    return address6.is_loopback();
}

void upgrade_handler(socket_ptr socket) {
    log_line("INFO: Command received - upgrade");
    // The service listens on every address; only a client on this machine may replace the program.
    // The check comes before the payload is read, so a remote peer costs no memory.
    if (!is_loopback(socket->remote_endpoint().address())) {
        log_line("ERROR: Request refused - upgrade: not a local client");
        *socket << false;
        return;
    }
    std::vector<unsigned char> program;
    *socket >> program;
    if (program.empty()) {
        log_line("ERROR: Request refused - upgrade: empty program");
        *socket << false;
        return;
    }
    if (!upgrade_program(argv0, program)) {
        *socket << false;
        return;
    }
    *socket << true;
    log_line("INFO: Program upgraded");
    current_server->abort();
    if (!restart_program(argv0)) {
        // The new file cannot start, so it must not stay where the next start looks for the program;
        // this process goes on serving from the previous one.
        const std::string failure = "ERROR: Upgrade failed - the new program could not be started; ";
        if (restore_program(argv0)) {
            log_line(failure + "previous program restored");
        } else {
            log_line(failure + "previous program left at " + argv0 + ".bak");
        }
    }
}
