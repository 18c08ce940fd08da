#include "app/startup_environment.hpp"

#include <climits>
#include <cstdlib>
#include <sstream>
#include <string>

#include <unistd.h>

#include "server/connection_limits.hpp"

namespace {

/// Names, in the restarted program's environment, the settings that the program set itself.
constexpr const char* settled_names = "LM_ACCELERATOR_SETTLED";

/// Sets name to value unless the environment names it already; true when it was set here.
bool set_unless_named(const char* name, const char* value) {
    if (std::getenv(name) != nullptr) return false;
    return setenv(name, value, 1) == 0;
}

/// The C library's settings of the service (see the header).
std::string service_tunables() {
    // Sixteen connection stacks with their guard pages fit, seventeen do not.
    return "glibc.malloc.tcache_count=0:glibc.pthread.stack_cache_size=" +
           std::to_string(17 * connection_stack_size);
}

/// Takes out of the environment the settings named by the marker, and the marker.
void forget_own_settings(const char* names) {
    std::istringstream list{std::string(names)};
    for (std::string name; list >> name;) unsetenv(name.c_str());
    unsetenv(settled_names);
}

}  // namespace

void settle_startup_environment(char* argv[]) {
    // The libraries read the settings as they loaded; the programs this one starts (a browser, a
    // new version of itself) get the environment it was given.
    if (const char* names = std::getenv(settled_names)) {
        forget_own_settings(names);
        return;
    }
    // Settings chosen by whoever started us stand.
    std::string own;
    if (set_unless_named("OMP_WAIT_POLICY", "passive")) own += "OMP_WAIT_POLICY ";
    if (set_unless_named("GLIBC_TUNABLES", service_tunables().c_str())) own += "GLIBC_TUNABLES ";
    if (own.empty()) return;
    if (setenv(settled_names, own.c_str(), 1) != 0) {
        // Without the marker the restarted program could not take them out again: no restart.
        forget_own_settings(own.c_str());
        return;
    }
    // The running executable itself, whatever path it was started by; argv, and so argv[0], stay.
    // Started by its resolved path, the process keeps the program's name in ps and top instead of
    // the link's name "exe"; the link itself is the fallback, for a program file replaced since.
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length > 0) {
        path[length] = '\0';
        execv(path, argv);
    }
    execv("/proc/self/exe", argv);
    // Not started again: the settings were never read, so they go as well.
    forget_own_settings(own.c_str());
}
