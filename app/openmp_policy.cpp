#include "app/openmp_policy.hpp"

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
    execv("/proc/self/exe", argv);
}
