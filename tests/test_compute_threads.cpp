#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "app/compute_threads.hpp"
#include "app/image_request_slot.hpp"
#include "tests/socket_pair.hpp"

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
            SocketPair connection;
            ImageRequestSlot slot(connection.far, "decompose_ldr", size);
            slot.payload_arrived();
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

using Clock = std::chrono::steady_clock;

/// The progress window of the tests: short, so that they run quickly, and long enough that a
/// payload sent at full speed is never judged stalled on a loaded machine.
constexpr std::chrono::milliseconds window{400};

/// A byte array's marker and count as a client puts them on the wire.
std::vector<unsigned char> byte_array_header(std::uint32_t count) {
    return {0x0C, static_cast<unsigned char>(count), static_cast<unsigned char>(count >> 8),
            static_cast<unsigned char>(count >> 16), static_cast<unsigned char>(count >> 24)};
}

void send(tcp::socket& socket, const std::vector<unsigned char>& bytes) {
    boost::asio::write(socket, boost::asio::buffer(bytes));
}

/// A request that holds the whole budget and reads its payload from its connection as a handler
/// does: ready once it has read the payload whole or failed, with the time it let go of the
/// payload's bytes.
class ReceivingRequest {
public:
    /// Admits the request (nobody else holds a share) with the payload's header sent.
    ReceivingRequest(std::uint32_t payload_size) {
        send(connection.near, byte_array_header(payload_size));
        std::promise<void> admitted;
        std::future<void> admission = admitted.get_future();
        result_ = std::async(std::launch::async, [this, &admitted] {
            ImageRequestSlot slot(connection.far, "tonemap_ldr", image_pixel_budget, window);
            admitted.set_value();
            Outcome outcome;
            try {
                std::vector<unsigned char> payload;
                connection.far >> payload;
                slot.payload_arrived();
                outcome.whole = true;
            } catch (const std::exception&) {
            }
            outcome.released = Clock::now();
            return outcome;
        });
        admission.wait();
    }

    /// How the request ended.
    struct Outcome {
        bool whole = false;
        Clock::time_point released;
    };

    /// The outcome once the request has ended; nothing while it still reads after timeout.
    std::optional<Outcome> outcome(std::chrono::milliseconds timeout) {
        if (result_.wait_for(timeout) != std::future_status::ready) return std::nullopt;
        return result_.get();
    }

    /// The client's side and the service's side of the request's connection.
    SocketPair connection;

private:
    std::future<Outcome> result_;
};

/// A full-size request asked for on a thread of its own; ready once it was admitted, with the time
/// of its admission.
std::future<Clock::time_point> full_size_request(tcp::socket& socket) {
    return std::async(std::launch::async, [&socket] {
        ImageRequestSlot slot(socket, "decompose_ldr", full_size_pixels, window);
        slot.payload_arrived();
        return Clock::now();
    });
}

// A client that announces a large payload and then stalls must not keep every other image request
// waiting, nor keep reading into memory that no budget counts: it is refused and its connection
// closed, and only once it has let go of its bytes does the request behind it get their room.
TEST(ImageRequestSlots, AStalledPayloadIsRefusedAndReleasedBeforeTheOneWaitingGetsItsRoom) {
    ReceivingRequest stalled(1u << 30);
    send(stalled.connection.near, {1, 2, 3});
    testing::internal::CaptureStdout();
    SocketPair waiting;
    const Clock::time_point asked = Clock::now();
    std::future<Clock::time_point> other = full_size_request(waiting.far);
    const bool admitted = other.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    const std::optional<ReceivingRequest::Outcome> outcome = stalled.outcome(std::chrono::seconds(1));
    const std::string log = testing::internal::GetCapturedStdout();
    stalled.connection.near.close();
    ASSERT_TRUE(admitted) << "the request behind a stalled payload waited for ever";
    ASSERT_TRUE(outcome) << "the stalled request went on reading after it gave way";
    EXPECT_FALSE(outcome->whole);
    const Clock::time_point admission = other.get();
    EXPECT_GE(admission, outcome->released) << "the room was given before the stalled bytes were let go";
    EXPECT_GE(admission - asked, window - std::chrono::milliseconds(20));
    EXPECT_EQ(log, "ERROR: Request refused - tonemap_ldr: payload too slow\n");
}

// A payload that keeps coming at the speed of a client on this machine is never judged stalled,
// however long it takes, and the request keeps its share to the end.
TEST(ImageRequestSlots, APayloadThatKeepsComingKeepsItsShare) {
    constexpr std::uint32_t chunk = 256 << 10, chunks = 96;
    ReceivingRequest steady(chunk * chunks);
    SocketPair waiting;
    std::future<Clock::time_point> other = full_size_request(waiting.far);
    for (std::uint32_t sent = 0; sent < chunks; ++sent) {
        send(steady.connection.near, std::vector<unsigned char>(chunk, 7));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::optional<ReceivingRequest::Outcome> outcome = steady.outcome(std::chrono::seconds(10));
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->whole) << "a steady payload was taken for a stalled one";
    ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_GE(other.get(), outcome->released);
}

// A request whose payload has arrived keeps its share however long its reply takes.
TEST(ImageRequestSlots, ARequestWithItsPayloadKeepsItsShare) {
    SocketPair holder_connection;
    SocketPair waiting;
    std::future<Clock::time_point> other;
    {
        ImageRequestSlot holder(holder_connection.far, "tonemap_ldr", image_pixel_budget, window);
        holder.payload_arrived();
        other = full_size_request(waiting.far);
        EXPECT_EQ(other.wait_for(3 * window), std::future_status::timeout);
    }
    EXPECT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

// A request whose client has announced its payload but sent none of it takes no place in line, so
// that it keeps no one behind it waiting; a null payload needs no first byte.
TEST(ImageRequestSlots, TheAnnouncedSizeIsKnownOnceThePayloadHasBegun) {
    SocketPair connection;
    send(connection.near, byte_array_header(1u << 30));
    std::future<std::size_t> announced =
        std::async(std::launch::async, [&connection] { return announced_payload_size(connection.far); });
    EXPECT_EQ(announced.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    send(connection.near, {9});
    ASSERT_EQ(announced.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(announced.get(), std::size_t{1} << 30);

    std::vector<unsigned char> consumed(6);
    boost::asio::read(connection.far, boost::asio::buffer(consumed));
    send(connection.near, {0x01});
    EXPECT_EQ(announced_payload_size(connection.far), 0u);
    boost::asio::read(connection.far, boost::asio::buffer(consumed.data(), 1));
    send(connection.near, {0x04, 1, 0, 0, 0});
    EXPECT_THROW(announced_payload_size(connection.far), std::invalid_argument);
}

/// A request on a thread of its own that holds a small share with its payload in until it is
/// released, then grows it to pixels; ready once it has grown, with how many held grown shares at
/// that moment.
class GrowingRequest {
public:
    GrowingRequest(std::atomic<int>& grown) {
        std::promise<void> holding;
        result_ = std::async(std::launch::async, [this, &grown, &holding] {
            ImageRequestSlot slot(connection_.far, "read_raw", 1);
            slot.payload_arrived();
            holding.set_value();
            released_.get_future().wait();
            slot.grow_to(image_pixel_budget + 1);
            const int together = ++grown;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            --grown;
            return together;
        });
        holding.get_future().wait();
    }

    /// Lets the request grow.
    void grow() { released_.set_value(); }

    /// How many grown shares there were once it grew; nothing when it still waits after timeout.
    std::optional<int> grown_together(std::chrono::milliseconds timeout) {
        if (result_.wait_for(timeout) != std::future_status::ready) return std::nullopt;
        return result_.get();
    }

private:
    SocketPair connection_;
    std::promise<void> released_;
    std::future<int> result_;
};

// Raw requests each hold their file while they learn what their decoding needs: two that both need
// more than the whole budget must not wait for each other's file for ever, and a large request
// that asks in between must not wait for their files either.
TEST(ImageRequestSlots, SharesWaitingToGrowKeepNoOneFromRunningAlone) {
    std::atomic<int> grown{0};
    GrowingRequest first(grown);
    GrowingRequest second(grown);
    first.grow();
    second.grow();
    const std::optional<int> first_grown = first.grown_together(std::chrono::seconds(10));
    const std::optional<int> second_grown = second.grown_together(std::chrono::seconds(10));
    ASSERT_TRUE(first_grown && second_grown) << "two growing shares waited for each other";
    EXPECT_EQ(*first_grown, 1);
    EXPECT_EQ(*second_grown, 1);

    GrowingRequest behind(grown);
    SocketPair large;
    std::future<Clock::time_point> alone;
    {
        GrowingRequest holder(grown);
        alone = std::async(std::launch::async, [&large] {
            ImageRequestSlot slot(large.far, "decompose_ldr", image_pixel_budget + 1);
            slot.payload_arrived();
            return Clock::now();
        });
        EXPECT_EQ(alone.wait_for(window), std::future_status::timeout) << "ran beside a share in progress";
        behind.grow();
        holder.grow();
        EXPECT_TRUE(holder.grown_together(std::chrono::seconds(10)));
    }
    EXPECT_EQ(alone.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "a large request waited for a share waiting behind it";
    EXPECT_TRUE(behind.grown_together(std::chrono::seconds(10)));
}

TEST(ImageRequestSlots, SharesFollowThePayloadAndARawDecodingHalfItsPicture) {
    EXPECT_EQ(image_request_pixels(std::size_t{4 * 320 * 240}, 4), 320u * 240u);
    EXPECT_EQ(image_request_pixels(std::size_t{12 * 320 * 240}, 12), 320u * 240u);
    EXPECT_EQ(raw_file_pixels(6600), 110u);
    EXPECT_EQ(raw_file_pixels(6601), 111u);
    EXPECT_EQ(raw_decoding_pixels(6600, 12000u * 12000u), 72'000'000u);
    EXPECT_EQ(raw_decoding_pixels(60'000'000, 4u * 4u), 1'000'000u) << "never less than the file";
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
