#include <cstdlib>
#include <memory>
#include <string>

#include "app/command_table.hpp"
#include "app/commands.hpp"
#include "app/globals.hpp"
#include "app/log.hpp"
#include "app/platform.hpp"
#include "app/process_resources.hpp"
#include "app/startup_environment.hpp"
#include "server/flash_server.hpp"

namespace {

constexpr int first_port = 4521;
constexpr int last_port = 4530;

/// The product's web site: allowed to connect, and the page that "-w" opens.
constexpr const char* product_site = "www.vozazuvazor.example";

/// The domains whose Flash content may connect, in the order of the policy reply.
constexpr const char* allowed_domains[] = {"localhost", product_site, "www.lumerra.example",
                                           "vozazuvazor.lumerra.example"};

/// The file name of our executable, by which a running instance is recognised.
constexpr const char* program_file_name = "lm_accelerator";

/// The options of the command line; each is a whole argument, matched exactly.
struct Options {
    bool bootstrap = false;
    bool skip_instance_check = false;
    bool open_webpage = false;
};

Options read_options(int argc, char* argv[]) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-b") options.bootstrap = true;
        if (argument == "-f") options.skip_instance_check = true;
        if (argument == "-w") options.open_webpage = true;
    }
    return options;
}

void configure(FlashServer& server) {
    for (const char* domain : allowed_domains) server.add_allowed_domain(domain);
    for (const Command& command : commands) server.add_handler(command.name, command.handler);
    server.set_default_handler(default_handler);
    server.set_connection_watcher(connection_came_or_went);
}

}  // namespace

int main(int argc, char* argv[]) {
    settle_startup_environment(argv);
    prepare_process_resources();
    argv0 = argv[0];
    const Options options = read_options(argc, argv);
    if (options.bootstrap) bootstrap_system();
    if (options.open_webpage) start_webpage(product_site);
    if (!options.skip_instance_check && program_is_running(program_file_name)) {
        log_line("FATAL: Program is already running");
        return EXIT_FAILURE;
    }

    for (int port = first_port; port <= last_port; ++port) {
        try {
            const auto server = std::make_shared<FlashServer>(port);
            current_server = server.get();
            configure(*server);
            log_line("INFO: Server started on port " + std::to_string(server->port()));
            server->start();
            std::exit(EXIT_SUCCESS);
        } catch (...) {
            // Any failure on a port moves on to the next one, silently. Connection threads that a
            // failed server started hold their own share of it, so it outlives them.
            current_server = nullptr;
        }
    }
    log_line("FATAL: Unable to start server");
    return EXIT_FAILURE;
}
