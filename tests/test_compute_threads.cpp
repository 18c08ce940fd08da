#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/compute_threads.hpp"

namespace {

TEST(ComputeThreads, ReturnsTheResultAndRethrowsTheFailureOnTheCallersThread) {
    const std::thread::id caller = std::this_thread::get_id();
    EXPECT_NE(compute([] { return std::this_thread::get_id(); }), caller);
    EXPECT_EQ(compute([] { return 42; }), 42);
    EXPECT_THROW(compute([]() -> int { throw std::runtime_error("refused"); }), std::runtime_error);
    EXPECT_EQ(compute([] { return 7; }), 7) << "a failure must not cost a compute thread";
}

// Many connections asking at once: no more computations run together than there are compute
// threads, and every one of them runs.
TEST(ComputeThreads, RunsAtMostTheirNumberOfComputationsAtOnce) {
    std::atomic<int> running{0};
    std::atomic<int> most{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> connections;
    for (int c = 0; c < 24; ++c) {
        connections.emplace_back([&] {
            compute([&] {
                const int now = ++running;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                --running;
                ++finished;
            });
        });
    }
    for (std::thread& connection : connections) connection.join();
    EXPECT_EQ(finished, 24);
    EXPECT_EQ(most, compute_thread_count);
}

// An owner that leaves early, as a handler does when its socket fails, still waits for work that
// uses what it lent.
TEST(ComputeThreads, AnOwnerLeavingEarlyWaitsForItsComputation) {
    std::vector<int> lent(1000, 1);
    std::atomic<bool> done{false};
    try {
        Computation background([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            for (int& value : lent) value = 2;
            done = true;
        });
        throw std::runtime_error("socket closed");
    } catch (const std::runtime_error&) {
        EXPECT_TRUE(done);
    }
    EXPECT_EQ(lent.back(), 2);
}

}  // namespace
