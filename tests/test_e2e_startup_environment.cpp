#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/startup_environment.hpp"
#include "service_process.hpp"

namespace {

/// The entries of a running process's environment as the system shows them.
std::vector<std::string> environment_entries(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    std::vector<std::string> entries;
    for (std::string entry; std::getline(file, entry, '\0');) entries.push_back(entry);
    return entries;
}

/// The value of name in a running process's environment, if it has one. The C library, as it reads
/// GLIBC_TUNABLES, writes a zero byte after each setting's value in the environment itself, so the
/// settings after the first show as entries of their own (all named "glibc."), which are joined
/// back here.
std::optional<std::string> environment_value(pid_t pid, const std::string& name) {
    const std::vector<std::string> entries = environment_entries(pid);
    const std::string key = name + "=";
    for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
        if (entry->compare(0, key.size(), key) != 0) continue;
        std::string value = entry->substr(key.size());
        if (name == "GLIBC_TUNABLES")
            for (auto next = entry + 1; next != entries.end() && next->compare(0, 6, "glibc.") == 0; ++next)
                value += ":" + *next;
        return value;
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

/// The C library's settings that the service makes for itself: no per-thread caches of small
/// blocks, and room for sixteen 256 KiB connection stacks in the cache of ended threads' stacks.
constexpr const char* service_tunables = "glibc.malloc.tcache_count=0:glibc.pthread.stack_cache_size=4456448";

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
    EXPECT_EQ(std::optional<std::string>(service_tunables), settled.tunables);
}

TEST(StartupEnvironment, SettingsChosenByTheCallerStandAndTheOtherIsStillSet) {
    Settled settled = settled_when_started_with("active", nullptr);
    EXPECT_EQ(std::optional<std::string>("active"), settled.policy);
    EXPECT_EQ(std::optional<std::string>(service_tunables), settled.tunables);

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
