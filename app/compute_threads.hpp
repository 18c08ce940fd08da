#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <type_traits>

// The heavy part of an image request (decoding, decomposition, composition, encoding) runs on one
// of a few long-lived compute threads, while the connection's own thread does the socket transfers.
// Only a fixed set of threads ever drives the worker pool, whose allocator would otherwise keep
// blocks for every connection thread that ever used it. How many requests hold full-size images at
// once is bounded by their turns (image_request_slot.hpp), which also cover the transfers.

/// Number of requests computed at the same time; each of them spreads over all cores.
constexpr int compute_thread_count = 2;

/// One piece of work handed to the compute threads; its owner waits for it before going on.
class Computation {
public:
    /// Queues work; it starts as soon as a compute thread is free.
    explicit Computation(std::function<void()> work);
    Computation(const Computation&) = delete;
    Computation& operator=(const Computation&) = delete;
    /// Waits for the work, which may still use what its owner lent it.
    ~Computation();

    /// Waits until the work has run; rethrows what it threw.
    void wait();

    /// Runs the work; called on a compute thread.
    void run() noexcept;

private:
    void wait_until_done();

    std::function<void()> work_;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    std::exception_ptr failure_;
};

/// Runs work on a compute thread and returns its result once it has run; rethrows what it threw.
template <typename Work>
auto compute(const Work& work) -> decltype(work()) {
    if constexpr (std::is_void_v<decltype(work())>) {
        Computation(work).wait();
    } else {
        decltype(work()) result{};
        Computation([&] { result = work(); }).wait();
        return result;
    }
}
