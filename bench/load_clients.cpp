#include "bench/load_clients.hpp"

#include <algorithm>
#include <exception>
#include <random>
#include <thread>

#include "bench/bench_timing.hpp"

namespace {

/// Failures whose details are kept as evidence; the rest are only counted.
constexpr std::size_t kept_examples = 12;

/// Pause after a failed connection, so that a service that is gone is not hammered.
constexpr std::chrono::milliseconds retry_pause{20};

/// How a reply differs from the one it should equal, for the failure's evidence.
std::string difference(const MixedRequest& request, const WireBytes& reply) {
    const WireBytes& expected = request.reference;
    const std::size_t common = std::min(reply.size(), expected.size());
    const auto mismatch =
        std::mismatch(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(common), expected.begin());
    std::string text = request.label + ": " + std::to_string(reply.size()) + " bytes, expected " +
                       std::to_string(expected.size());
    if (mismatch.first != reply.begin() + static_cast<std::ptrdiff_t>(common)) {
        text += "; first difference at byte " + std::to_string(mismatch.first - reply.begin()) + " (" +
                std::to_string(*mismatch.first) + " instead of " + std::to_string(*mismatch.second) + ")";
    }
    return text;
}

/// A connection counted in the tally while it is open.
class CountedConnection {
public:
    /// Connects to the port; throws std::runtime_error when it cannot.
    CountedConnection(int port, LoadTally& tally) : client_(port), tally_(tally) {
        tally_.connection_opened();
    }
    CountedConnection(const CountedConnection&) = delete;
    CountedConnection& operator=(const CountedConnection&) = delete;
    ~CountedConnection() { tally_.connection_closed(); }

    WireClient& client() { return client_; }

private:
    WireClient client_;
    LoadTally& tally_;
};

/// Opens a counted connection; null (and a counted failure) when it cannot be opened.
std::unique_ptr<CountedConnection> connect(int port, LoadTally& tally, const std::string& label) {
    try {
        return std::make_unique<CountedConnection>(port, tally);
    } catch (const std::exception& error) {
        tally.failed("connection refused", label + ": " + error.what());
        std::this_thread::sleep_for(retry_pause);
        return nullptr;
    }
}

/// Sends the whole request on a new connection and checks the whole reply.
void make_request(const LoadRun& run, const MixedRequest& request, Latch* first_round, LoadTally& tally) {
    auto start = BenchClock::now();
    std::unique_ptr<CountedConnection> connection = connect(run.port, tally, request.label);
    if (first_round) {
        first_round->arrive_and_wait(run.reply_timeout);
        start = BenchClock::now();
    }
    if (!connection) return;
    if (!connection->client().send(request.request)) {
        tally.failed("request cut off by the service", request.label);
        return;
    }
    WireBytes reply;
    try {
        reply = connection->client().read_to_end(run.reply_timeout);
    } catch (const std::exception&) {
        tally.failed("no reply in time", request.label);
        return;
    }
    if (reply != request.reference) {
        tally.failed(reply.empty() ? "empty reply" : "wrong reply", difference(request, reply));
        return;
    }
    tally.completed(request.kind, elapsed_ms(start, BenchClock::now()));
}

/// Sends part of the request's pixel array, or the whole request and reads part of the reply, then
/// closes plainly or with a reset.
void vanish(const LoadRun& run, const MixedRequest& request, std::mt19937& random, LoadTally& tally) {
    std::unique_ptr<CountedConnection> connection = connect(run.port, tally, request.label);
    if (!connection) return;
    WireClient& client = connection->client();
    const bool in_reply = random() % 2 == 1;
    const bool with_reset = random() % 2 == 1;
    if (!in_reply) {
        const std::size_t cut =
            request.payload_begin + 1 + random() % (request.payload_end - request.payload_begin - 1);
        const WireBytes& bytes = request.request.data();
        client.send(WireBytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
    } else {
        if (!client.send(request.request)) {
            tally.failed("request cut off by the service", request.label);
            return;
        }
        const std::size_t wanted = 1 + random() % (request.reference.size() - 1);
        WireBytes part;
        try {
            part = client.read_at_least(wanted, run.reply_timeout);
        } catch (const std::exception&) {
            tally.failed("no reply in time", request.label + " (read in part)");
            return;
        }
        const std::size_t compared = std::min(part.size(), request.reference.size());
        if (part.size() < wanted ||
            !std::equal(part.begin(), part.begin() + static_cast<std::ptrdiff_t>(compared),
                        request.reference.begin())) {
            tally.failed("wrong reply", difference(request, part) + " (read in part)");
            return;
        }
    }
    if (with_reset)
        client.reset();
    else
        client.close();
    tally.vanished(in_reply);
}

}  // namespace

void LoadTally::completed(RequestKind kind, double ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    latencies_[static_cast<std::size_t>(kind)].push_back(ms);
}

void LoadTally::vanished(bool in_reply) { ++vanished_[in_reply ? 1 : 0]; }

void LoadTally::failed(const std::string& cause, const std::string& detail) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++failures_[cause];
    if (examples_.size() < kept_examples) examples_.push_back(cause + ": " + detail);
}

void LoadTally::connection_opened() {
    const long open = ++open_connections_;
    long peak = peak_connections_;
    while (open > peak && !peak_connections_.compare_exchange_weak(peak, open)) {
    }
}

void LoadTally::connection_closed() { --open_connections_; }

long LoadTally::completed_total() const {
    std::lock_guard<std::mutex> lock(mutex_);
    long total = 0;
    for (const std::vector<double>& kind : latencies_) total += static_cast<long>(kind.size());
    return total;
}

std::vector<double> LoadTally::latencies(RequestKind kind) const {
    std::vector<double> sorted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sorted = latencies_[static_cast<std::size_t>(kind)];
    }
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

std::map<std::string, long> LoadTally::failures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
}

long LoadTally::failure_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    long count = 0;
    for (const auto& cause : failures_) count += cause.second;
    return count;
}

std::vector<std::string> LoadTally::failure_examples() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return examples_;
}

void Latch::arrive_and_wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (--waiting_for_ <= 0) opened_.notify_all();
    opened_.wait_for(lock, timeout, [this] { return waiting_for_ <= 0; });
}

void run_steady_client(const LoadRun& run, std::uint32_t seed, Latch& first_round, LoadTally& tally) {
    std::mt19937 random(seed);
    make_request(run, run.mix->pick(random), &first_round, tally);
    while (!run.stop->load()) make_request(run, run.mix->pick(random), nullptr, tally);
}

void run_vanishing_client(const LoadRun& run, std::uint32_t seed, LoadTally& tally) {
    std::mt19937 random(seed);
    while (!run.stop->load()) vanish(run, run.mix->pick_image(random), random, tally);
}

std::vector<std::unique_ptr<WireClient>> open_silent_clients(int port, int count, LoadTally& tally) {
    std::vector<std::unique_ptr<WireClient>> clients;
    for (int i = 0; i < count; ++i) {
        try {
            clients.push_back(std::make_unique<WireClient>(port));
            tally.connection_opened();
        } catch (const std::exception& error) {
            tally.failed("connection refused", std::string("silent client: ") + error.what());
        }
    }
    return clients;
}
