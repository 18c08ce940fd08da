#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "service_process.hpp"

namespace {

/// The OMP_WAIT_POLICY entry of a running process's environment, if it has one.
std::optional<std::string> wait_policy_of(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    const std::string environment((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::string key = "OMP_WAIT_POLICY=";
    for (std::size_t start = 0; start < environment.size();) {
        const std::size_t end = environment.find('\0', start);
        const std::string entry = environment.substr(start, end - start);
        if (entry.compare(0, key.size(), key) == 0) return entry.substr(key.size());
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return std::nullopt;
}

/// Starts the service with OMP_WAIT_POLICY set to policy, or unset when policy is null, and
/// returns the policy that the serving process runs with.
std::optional<std::string> policy_when_started_with(const char* policy) {
    if (policy != nullptr)
        setenv("OMP_WAIT_POLICY", policy, 1);
    else
        unsetenv("OMP_WAIT_POLICY");
    ServiceProcess service;
    if (!service.wait_for_port()) {
        ADD_FAILURE() << "the service did not start";
        return std::nullopt;
    }
    return wait_policy_of(service.pid());
}

TEST(OpenMpPolicy, ServiceStartedWithoutAPolicyServesWithPassiveThreads) {
    EXPECT_EQ(std::optional<std::string>("passive"), policy_when_started_with(nullptr));
}

TEST(OpenMpPolicy, PolicyChosenByTheCallerStands) {
    EXPECT_EQ(std::optional<std::string>("active"), policy_when_started_with("active"));
}

}  // namespace
