#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/compute_threads.hpp"
#include "app/image_request_slot.hpp"

namespace {

/// Raises most to now when now is higher.
void raise_to(std::atomic<int>& most, int now) {
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
}

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
                raise_to(most, ++running);
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

/// Runs requests of these sizes at once, each holding its share while it computes two things at
/// once, as a decomposition does while its first reply value goes out; returns how many held a
/// share together at most, once every one of them has finished.
int most_holding_together(const std::vector<std::uint64_t>& pixels) {
    std::atomic<int> holding{0};
    std::atomic<int> most{0};
    std::vector<std::thread> requests;
    for (const std::uint64_t size : pixels) {
        requests.emplace_back([&, size] {
            const ImageRequestSlot slot(size);
            raise_to(most, ++holding);
            Computation beside([] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
            compute([] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
            beside.wait();
            --holding;
        });
    }
    for (std::thread& request : requests) request.join();
    return most;
}

TEST(ImageRequestSlots, FullSizeRequestsHoldImagesOnlyAsManyAtOnceAsAreComputed) {
    EXPECT_EQ(most_holding_together(std::vector<std::uint64_t>(24, full_size_pixels)), compute_thread_count);
}

TEST(ImageRequestSlots, SmallRequestsShareTheBudgetAndALargerOneRunsAlone) {
    EXPECT_GT(most_holding_together(std::vector<std::uint64_t>(24, 320 * 240)), compute_thread_count);
    EXPECT_EQ(most_holding_together(std::vector<std::uint64_t>(6, image_pixel_budget + 1)), 1);
}

constexpr std::chrono::milliseconds grace{200};

/// A request on a thread of its own that holds its share, its payload in or not, until released.
class HeldShare {
public:
    HeldShare(std::uint64_t pixels, bool payload_in) {
        std::promise<void> holding;
        holder_ = std::thread([this, pixels, payload_in, &holding] {
            ImageRequestSlot slot(pixels, grace);
            if (payload_in) slot.payload_arrived();
            holding.set_value();
            released_.get_future().wait();
            if (!payload_in) slot.payload_arrived();
        });
        holding.get_future().wait();
    }
    ~HeldShare() {
        released_.set_value();
        holder_.join();
    }

private:
    std::promise<void> released_;
    std::thread holder_;
};

/// A full-size request asked for on a thread of its own; ready once it was admitted, with the time
/// of its admission.
std::future<std::chrono::steady_clock::time_point> full_size_request() {
    return std::async(std::launch::async, [] {
        ImageRequestSlot slot(full_size_pixels, grace);
        slot.payload_arrived();
        return std::chrono::steady_clock::now();
    });
}

// A client that trickles its payload must not keep every other image request waiting: once the
// grace has passed, the request behind it gets its turn, and the slow one waits for a new share
// once its payload is in.
TEST(ImageRequestSlots, ARequestWhosePayloadIsLateGivesItsShareToTheOneWaiting) {
    std::future<std::chrono::steady_clock::time_point> other;
    std::chrono::steady_clock::time_point asked;
    bool admitted = false;
    {
        const HeldShare slow(image_pixel_budget, false);
        asked = std::chrono::steady_clock::now();
        other = full_size_request();
        admitted = other.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    }
    ASSERT_TRUE(admitted) << "the request behind a late payload waited for ever";
    EXPECT_GE(other.get() - asked, grace - std::chrono::milliseconds(20));
}

// A request whose payload has arrived keeps its share however long its reply takes.
TEST(ImageRequestSlots, ARequestWithItsPayloadKeepsItsShare) {
    std::future<std::chrono::steady_clock::time_point> other;
    {
        const HeldShare holder(image_pixel_budget, true);
        other = full_size_request();
        EXPECT_EQ(other.wait_for(3 * grace), std::future_status::timeout);
    }
    EXPECT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(ImageRequestSlots, SharesFollowTheAnnouncedPayloadAndAnUnknownOneTakesTheWholeBudget) {
    EXPECT_EQ(image_request_pixels(std::size_t{4 * 320 * 240}, 4), 320u * 240u);
    EXPECT_EQ(image_request_pixels(std::size_t{12 * 320 * 240}, 12), 320u * 240u);
    EXPECT_EQ(image_request_pixels(std::nullopt, 4), image_pixel_budget);
    EXPECT_EQ(raw_request_pixels(std::size_t{6600}), full_size_pixels);
    EXPECT_EQ(raw_request_pixels(std::size_t{60'000'000}), 30'000'000u);
    EXPECT_EQ(raw_request_pixels(std::nullopt), image_pixel_budget);
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
