#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/commands.hpp"
#include "app/globals.hpp"
#include "app/log.hpp"
#include "app/peer_owner.hpp"
#include "app/platform.hpp"
#include "server/flash_server.hpp"
#include "server/flash_types.hpp"

namespace {

/// Held by the one upgrade in progress, from reading its program to its failure or the failure of
/// its restart; a successful restart ends the process holding it. A second upgrade at the same time
/// would move the first one's new file over the backup, the only copy of the previous program.
class UpgradeInProgress {
public:
    UpgradeInProgress() : held_(!busy.test_and_set(std::memory_order_acquire)) {}
    ~UpgradeInProgress() {
        if (held_) {
            busy.clear(std::memory_order_release);
        }
    }
    UpgradeInProgress(const UpgradeInProgress&) = delete;
    UpgradeInProgress& operator=(const UpgradeInProgress&) = delete;

    /// False when another upgrade was in progress already.
    bool held() const { return held_; }

private:
    static std::atomic_flag busy;
    const bool held_;
};

std::atomic_flag UpgradeInProgress::busy = ATOMIC_FLAG_INIT;

/// Logs why an upgrade was taken back and where the previous program is now.
void log_put_back(bool restored, const std::string& reason) {
    const std::string failure = "ERROR: Upgrade failed - " + reason + "; ";
    log_line(restored ? failure + "previous program restored"
                      : failure + "previous program left at " + argv0 + ".bak");
}

/// Answers false to an upgrade that is refused, with the reason in the log.
void refuse(tcp::socket& socket, const std::string& reason) {
    log_line("ERROR: Request refused - upgrade: " + reason);
    socket << false;
}

}  // namespace

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
        refuse(*socket, "not a local client");
        return;
    }
    // The new program will run as this service's user, so only that user may send one: any other
    // user of this machine could otherwise run code under our identity.
    const std::optional<uid_t> client = peer_owner(*socket);
    if (!client) {
        refuse(*socket, "the owner of the client's socket is unknown");
        return;
    }
    if (*client != ::geteuid()) {
        refuse(*socket, "the client runs as another user");
        return;
    }
    const UpgradeInProgress upgrade;
    if (!upgrade.held()) {
        refuse(*socket, "another upgrade is in progress");
        return;
    }
    // Whether the program's own file can be found does not depend on the payload, which is not read
    // in vain.
    if (const std::optional<std::string> problem = unusable_program_path(argv0)) {
        refuse(*socket, *problem);
        return;
    }
    std::vector<unsigned char> program;
    *socket >> program;
    const UpgradeOutcome outcome = upgrade_program(argv0, program);
    if (outcome.state == UpgradeState::refused) {
        refuse(*socket, outcome.reason);
        return;
    }
    if (outcome.state != UpgradeState::written) {
        log_put_back(outcome.state == UpgradeState::restored, outcome.reason);
        *socket << false;
        return;
    }
    try {
        *socket << true;
    } catch (...) {
        // The client never learned of the upgrade, so it is undone: left in place, the new file would
        // become the only backup at the next upgrade, and the previous program would be lost.
        log_put_back(restore_program(argv0), "the answer could not be sent");
        throw;
    }
    log_line("INFO: Program upgraded");
    current_server->abort();
    if (!restart_program(argv0)) {
        // The new file cannot start, so it must not stay where the next start looks for the program;
        // this process goes on serving from the previous one.
        log_put_back(restore_program(argv0), "the new program could not be started");
    }
}
