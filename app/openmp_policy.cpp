#include "app/openmp_policy.hpp"

#include <climits>
#include <cstdlib>

#include <unistd.h>

namespace {

constexpr const char* wait_policy = "OMP_WAIT_POLICY";

}  // namespace

void use_passive_openmp_threads(char* argv[]) {
    // A policy chosen by whoever started us stands; once set, the restarted program returns here.
    if (std::getenv(wait_policy) != nullptr) return;
    if (setenv(wait_policy, "passive", 1) != 0) return;
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
