#include "app/commands.hpp"

#include "app/log.hpp"
#include "server/flash_types.hpp"

void version_handler(socket_ptr socket) {
    log_line("INFO: Command received - version");
    *socket << "Lumerra Vozazuvazor"
            << "1.0"
            << "lm_accelerator.win";
}

// The name is whatever the client sent: a line break in it would otherwise start a forged line.
void default_handler(socket_ptr, std::string name) {
    log_line("ERROR: Unknown command received - " + escape_client_text(name));
}
