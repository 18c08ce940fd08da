#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/resource.h>

#include <gtest/gtest.h>

#include "service_process.hpp"
#include "wire_client.hpp"

namespace {

using namespace std::chrono_literals;

/// Connections that stand idle at once, each holding a thread of the service.
constexpr int idle_connections = 2000;

/// The address space the service is given: a few hundred megabytes of small connection stacks fit
/// in it beside an answer, while the system's default stacks of 8 MiB would take 16 GiB.
constexpr rlim_t service_address_space = rlim_t{2} << 30;

/// True when this process may hold at least count descriptors, after raising its own limit to the
/// hard one.
bool descriptors_for(rlim_t count) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    limit.rlim_cur = limit.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= count;
}

/// The sanitizers reserve terabytes of address space at start, so a limit on it cannot apply.
constexpr bool address_space_can_be_limited() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return false;
#else
    return true;
#endif
}

void expect_version(int port) {
    Reply reply = exchange(port, Request("version"), 5s);
    EXPECT_EQ(reply.string(), "Lumerra Vozazuvazor");
    EXPECT_EQ(reply.string(), "1.0");
    EXPECT_EQ(reply.string(), "lm_accelerator.win");
}

TEST(Connections, ThousandsOfIdleConnectionsLeaveTheServiceAnswering) {
    if (!descriptors_for(idle_connections + 100))
        GTEST_SKIP() << "this process may not hold enough descriptors";
    ServiceProcess service;
    const std::optional<int> port = service.wait_for_port();
    ASSERT_TRUE(port) << "the service announced no port";
    if (address_space_can_be_limited()) {
        const rlimit limit{service_address_space, service_address_space};
        ASSERT_EQ(::prlimit(service.pid(), RLIMIT_AS, &limit, nullptr), 0);
    }

    std::vector<std::unique_ptr<WireClient>> idle;
    for (int i = 0; i < idle_connections; ++i) idle.push_back(std::make_unique<WireClient>(*port));
    expect_version(*port);
    EXPECT_TRUE(idle.back()->quiet()) << "the last idle connection was closed early";
    idle.clear();
    expect_version(*port);
}

}  // namespace
