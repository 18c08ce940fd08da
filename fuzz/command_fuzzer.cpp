// Feeds arbitrary bytes to the service's own dispatch with every command but "upgrade" (which would
// replace this program): request reading, the request limits, the payload readers and, for requests
// that pass, the imaging on small images.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/command_table.hpp"
#include "app/commands.hpp"
#include "fuzz/loopback_connection.hpp"
#include "server/flash_server.hpp"

namespace {

FlashServer& server() {
    static const std::shared_ptr<FlashServer> instance = [] {
        auto created = std::make_shared<FlashServer>(0);
        created->add_allowed_domain("localhost");
        for (const Command& command : commands)
            if (std::strcmp(command.name, "upgrade") != 0)
                created->add_handler(command.name, command.handler);
        created->set_default_handler(default_handler);
        return created;
    }();
    return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Millions of log lines would only slow the run down.
    return std::freopen("/dev/null", "w", stdout) == nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    LoopbackConnection connection(data, size);
    server().respond(connection.service_side());
    return 0;
}
