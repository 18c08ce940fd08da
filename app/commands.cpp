#include "app/commands.hpp"

#include <utility>

#include "app/log.hpp"
#include "server/flash_types.hpp"

void version_handler(socket_ptr socket) {
    log_line("INFO: Command received - version");
    *socket << "Lumerra Vozazuvazor" << "1.0" << "lm_accelerator.win";
}

void default_handler(socket_ptr, std::string name) {
    log_line("ERROR: Unknown command received - " + std::move(name));
}
