#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/load_mix.hpp"
#include "tests/wire_client.hpp"

// The clients of the load test: steady ones that make whole requests and check every reply byte,
// ones that vanish in the middle of a request's payload or of its reply, and silent ones that
// connect and say nothing.

/// What the clients of one run count; shared by every client thread.
class LoadTally {
public:
    /// A steady client's request got the reply it must get, after ms milliseconds.
    void completed(RequestKind kind, double ms);
    /// A client abandoned its request on purpose, in its payload or after part of the reply.
    void vanished(bool in_reply);
    /// The service did what it must not; cause groups failures for the summary, and the detail of
    /// the first few is kept as evidence.
    void failed(const std::string& cause, const std::string& detail);
    /// A connection to the service was opened.
    void connection_opened();
    /// A connection to the service was closed.
    void connection_closed();

    /// Requests of every kind that got their reply.
    long completed_total() const;
    /// Durations in milliseconds of the completed requests of a kind, sorted.
    std::vector<double> latencies(RequestKind kind) const;
    /// Requests abandoned on purpose in their payload (false) or in their reply (true).
    long vanished_count(bool in_reply) const { return vanished_[in_reply ? 1 : 0]; }
    /// Number of failures of every cause.
    std::map<std::string, long> failures() const;
    /// All failures together.
    long failure_count() const;
    /// Details of the first failures.
    std::vector<std::string> failure_examples() const;
    /// The most connections that were open at once.
    long peak_connections() const { return peak_connections_; }

private:
    mutable std::mutex mutex_;
    std::array<std::vector<double>, request_kind_count> latencies_;
    std::map<std::string, long> failures_;
    std::vector<std::string> examples_;
    std::atomic<long> vanished_[2] = {0, 0};
    std::atomic<long> open_connections_{0};
    std::atomic<long> peak_connections_{0};
};

/// Lets a number of threads wait until all of them have arrived.
class Latch {
public:
    /// A latch that opens after count arrivals.
    explicit Latch(int count) : waiting_for_(count) {}

    /// Arrives and waits until the latch opens or timeout passes.
    void arrive_and_wait(std::chrono::milliseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    int waiting_for_;
};

/// What every client of a run shares.
struct LoadRun {
    /// The service's port on 127.0.0.1.
    int port = 0;
    /// The requests, with their references.
    const LoadMix* mix = nullptr;
    /// Set when the clients should start no further request.
    std::atomic<bool>* stop = nullptr;
    /// Longest wait for a reply, after which the service counts as hung.
    std::chrono::milliseconds reply_timeout{30000};
};

/// A steady client: makes requests picked from the mix, on a new connection each, and compares
/// every reply with its reference, until run.stop is set. Its first connection, once open, waits
/// at first_round so that every steady client has one open at the same moment.
void run_steady_client(const LoadRun& run, std::uint32_t seed, Latch& first_round, LoadTally& tally);

/// A client that connects, sends an image request and vanishes, until run.stop is set: half the
/// time in the middle of the pixel array, half the time after reading part of the reply (which
/// must match the reference so far); it closes either plainly or with a reset.
void run_vanishing_client(const LoadRun& run, std::uint32_t seed, LoadTally& tally);

/// Opens count connections that say nothing; those that cannot be opened count as failures.
std::vector<std::unique_ptr<WireClient>> open_silent_clients(int port, int count, LoadTally& tally);
