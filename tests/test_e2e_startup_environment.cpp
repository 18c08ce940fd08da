#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "app/startup_environment.hpp"
#include "service_process.hpp"

namespace {

/// The value of name in a running process's environment, if it has one.
std::optional<std::string> environment_value(pid_t pid, const std::string& name) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    const std::string environment((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::string key = name + "=";
    for (std::size_t start = 0; start < environment.size();) {
        const std::size_t end = environment.find('\0', start);
        const std::string entry = environment.substr(start, end - start);
        if (entry.compare(0, key.size(), key) == 0) return entry.substr(key.size());
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return std::nullopt;
}

void set_or_unset(const char* name, const char* value) {
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

/// What the serving process's environment holds for the two settings when it was started with
/// the given values (null: unset).
struct Settled {
    std::optional<std::string> policy;
    std::optional<std::string> tunables;
};

Settled settled_when_started_with(const char* policy, const char* tunables) {
    set_or_unset("OMP_WAIT_POLICY", policy);
    set_or_unset("GLIBC_TUNABLES", tunables);
    ServiceProcess service;
    if (!service.wait_for_port()) {
        ADD_FAILURE() << "the service did not start";
        return {};
    }
    return {environment_value(service.pid(), "OMP_WAIT_POLICY"),
            environment_value(service.pid(), "GLIBC_TUNABLES")};
}

TEST(StartupEnvironment, ServiceStartedWithNeitherServesWithPassiveThreadsAndNoThreadCaches) {
    const Settled settled = settled_when_started_with(nullptr, nullptr);
    EXPECT_EQ(std::optional<std::string>("passive"), settled.policy);
    EXPECT_EQ(std::optional<std::string>("glibc.malloc.tcache_count=0"), settled.tunables);
}

TEST(StartupEnvironment, SettingsChosenByTheCallerStandAndTheOtherIsStillSet) {
    Settled settled = settled_when_started_with("active", nullptr);
    EXPECT_EQ(std::optional<std::string>("active"), settled.policy);
    EXPECT_EQ(std::optional<std::string>("glibc.malloc.tcache_count=0"), settled.tunables);

    settled = settled_when_started_with(nullptr, "glibc.malloc.arena_max=4");
    EXPECT_EQ(std::optional<std::string>("passive"), settled.policy);
    EXPECT_EQ(std::optional<std::string>("glibc.malloc.arena_max=4"), settled.tunables);
}

TEST(StartupEnvironment, RestartedProgramTakesOnlyItsOwnSettingsOutAgain) {
    setenv("LM_ACCELERATOR_SETTLED", "GLIBC_TUNABLES ", 1);
    setenv("GLIBC_TUNABLES", "glibc.malloc.tcache_count=0", 1);
    setenv("OMP_WAIT_POLICY", "active", 1);
    char program[] = "restarted";
    char* argv[] = {program, nullptr};
    settle_startup_environment(argv);
    EXPECT_EQ(std::getenv("GLIBC_TUNABLES"), nullptr) << "a browser it starts would run without caches";
    EXPECT_EQ(std::getenv("LM_ACCELERATOR_SETTLED"), nullptr);
    EXPECT_STREQ(std::getenv("OMP_WAIT_POLICY"), "active") << "the caller's own setting stays";
    unsetenv("OMP_WAIT_POLICY");
}

}  // namespace
