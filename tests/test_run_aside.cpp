#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "imaging/parallel.hpp"

namespace {

using std::chrono::milliseconds;

TEST(RunAside, OwnWorkStaysOnTheCallingThreadAndBothAreDoneOnReturn) {
    const std::thread::id caller = std::this_thread::get_id();
    std::thread::id own_thread;
    std::atomic<bool> aside_done{false};
    run_aside([&] { own_thread = std::this_thread::get_id(); },
              [&] {
                  std::this_thread::sleep_for(milliseconds(20));
                  aside_done = true;
              });
    EXPECT_EQ(own_thread, caller);
    EXPECT_TRUE(aside_done);
}

TEST(RunAside, AFailureOfEitherLeavesOnlyOnceTheOtherHasFinished) {
    std::atomic<bool> aside_done{false};
    EXPECT_THROW(run_aside([] { throw std::runtime_error("own"); },
                           [&] {
                               std::this_thread::sleep_for(milliseconds(20));
                               aside_done = true;
                           }),
                 std::runtime_error);
    EXPECT_TRUE(aside_done) << "the aside work may still use what the caller lent it";

    bool own_done = false;
    EXPECT_THROW(run_aside(
                     [&] {
                         std::this_thread::sleep_for(milliseconds(20));
                         own_done = true;
                     },
                     [] { throw std::invalid_argument("aside"); }),
                 std::invalid_argument);
    EXPECT_TRUE(own_done);
}

}  // namespace
