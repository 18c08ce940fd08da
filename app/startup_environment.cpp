#include "app/startup_environment.hpp"

#include <climits>
#include <cstdlib>

#include <unistd.h>

namespace {

/// Sets name to value unless the environment names it already; true when it was set here.
bool set_unless_named(const char* name, const char* value) {
    if (std::getenv(name) != nullptr) return false;
    return setenv(name, value, 1) == 0;
}

}  // namespace

void settle_startup_environment(char* argv[]) {
    // Settings chosen by whoever started us stand; once set, the restarted program returns here.
    const bool policy_set = set_unless_named("OMP_WAIT_POLICY", "passive");
    const bool tunables_set = set_unless_named("GLIBC_TUNABLES", "glibc.malloc.tcache_count=0");
    if (!policy_set && !tunables_set) return;
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
}
