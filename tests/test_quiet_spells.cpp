#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "app/quiet_spells.hpp"

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds quiet{600};

// Counts the handler's runs and keeps the time of the latest.
struct Runs {
    std::mutex mutex;
    std::condition_variable ran;
    int count = 0;
    std::chrono::steady_clock::time_point last;

    std::function<void()> handler() {
        return [this] {
            std::lock_guard<std::mutex> lock(mutex);
            ++count;
            last = std::chrono::steady_clock::now();
            ran.notify_all();
        };
    }
    int wait_for(int runs, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        ran.wait_for(lock, timeout, [&] { return count >= runs; });
        return count;
    }
};

TEST(QuietSpells, RunsOnceAQuietSpellAfterTheLastEvent) {
    Runs runs;
    QuietSpells spells(runs.handler(), quiet);
    EXPECT_EQ(runs.wait_for(1, 2 * quiet), 0) << "nothing happened yet";
    spells.event();
    const auto happened = std::chrono::steady_clock::now();
    ASSERT_EQ(runs.wait_for(1, 10s), 1);
    EXPECT_GE(runs.last - happened, quiet);
    EXPECT_EQ(runs.wait_for(2, 3 * quiet), 1);
}

TEST(QuietSpells, QuietTimeCountsFromTheLastEvent) {
    Runs runs;
    QuietSpells spells(runs.handler(), quiet);
    spells.event();
    std::this_thread::sleep_for(quiet / 2);
    spells.event();
    const auto happened = std::chrono::steady_clock::now();
    ASSERT_EQ(runs.wait_for(1, 10s), 1);
    EXPECT_GE(runs.last - happened, quiet);
}

TEST(QuietSpells, EverySpellGetsItsOwnRun) {
    Runs runs;
    QuietSpells spells(runs.handler(), quiet);
    spells.event();
    ASSERT_EQ(runs.wait_for(1, 10s), 1);
    spells.event();
    EXPECT_EQ(runs.wait_for(2, 10s), 2);
}

TEST(QuietSpells, EndedWatchDropsItsPendingRun) {
    Runs runs;
    {
        QuietSpells spells(runs.handler(), quiet);
        spells.event();
    }
    EXPECT_EQ(runs.wait_for(1, 2 * quiet), 0);
}

}  // namespace
