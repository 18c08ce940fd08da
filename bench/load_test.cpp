// Puts the built service under many simultaneous clients and checks that it stays whole: steady
// clients mix "version", small "tonemap_ldr" and "decompose_ldr" requests and compare every reply
// byte for byte with the reply that the same request got alone; silent clients connect and say
// nothing for the whole run; vanishing clients leave in the middle of a payload or of a reply.
// Reports requests per second, failures, and the service's threads and resident memory before,
// during and after the load; exits with 1 when a check fails.
//
// Usage: load_test [--duration S] [--steady N] [--silent N] [--vanishing N] [--settle S] [--rounds N]
//   defaults: one round of 20 s of load, 250 steady, 250 silent and 20 vanishing clients, up to
//   10 s for the service's threads to end after the load, then the quiet time after which it
//   releases its idle memory.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/process_resources.hpp"
#include "bench/bench_cases.hpp"
#include "bench/bench_timing.hpp"
#include "bench/load_clients.hpp"
#include "bench/load_mix.hpp"
#include "bench/service_figures.hpp"
#include "tests/service_process.hpp"
#include "tests/wire_client.hpp"

namespace {

/// What the command line may change.
struct Options {
    /// Seconds during which the clients start new requests.
    double duration_s = 20.0;
    /// Clients that make whole requests and check the replies.
    int steady = 250;
    /// Clients that connect and say nothing for the whole run.
    int silent = 250;
    /// Clients that leave in the middle of a payload or of a reply.
    int vanishing = 20;
    /// Longest wait, in seconds, for the service's threads to end after the load.
    double settle_s = 10.0;
    /// Rounds of load on the same service; a leak keeps growing from round to round, memory
    /// that the allocator keeps for reuse does not.
    int rounds = 1;
};

/// Descriptors that each side needs beside one per connection: the listening socket, standard
/// streams, the pipe of the service's log, a few files.
constexpr long spare_descriptors = 64;

double mib(long kib) { return kib / 1024.0; }

void print_figures(const char* when, const ServiceFigures& figures) {
    std::printf("  %-44s threads %5ld   resident %8.1f MiB\n", when, figures.threads,
                mib(figures.resident_kib));
}

/// Counts the checks that failed, printing each check.
class Verdict {
public:
    /// Records and prints one check.
    void check(bool passed, const std::string& what) {
        std::printf("  [%s] %s\n", passed ? "ok" : "FAILED", what.c_str());
        std::fflush(stdout);
        failed_ += passed ? 0 : 1;
    }
    /// Number of checks that failed.
    int failures() const { return failed_; }

private:
    int failed_ = 0;
};

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) throw std::invalid_argument("no value after " + name);
        const char* value = argv[++i];
        if (name == "--duration")
            options.duration_s = std::atof(value);
        else if (name == "--steady")
            options.steady = std::atoi(value);
        else if (name == "--silent")
            options.silent = std::atoi(value);
        else if (name == "--vanishing")
            options.vanishing = std::atoi(value);
        else if (name == "--settle")
            options.settle_s = std::atof(value);
        else if (name == "--rounds")
            options.rounds = std::atoi(value);
        else
            throw std::invalid_argument("unknown option " + name);
    }
    if (options.duration_s <= 0 || options.steady < 1 || options.rounds < 1 || options.silent < 0 ||
        options.vanishing < 0)
        throw std::invalid_argument("the duration, steady clients and rounds must be positive");
    return options;
}

/// Makes every request of the mix alone, twice, and keeps the reply as its reference; throws when
/// a reply is empty or differs between the two.
void make_references(int port, LoadMix& mix) {
    std::printf("references, each request alone:\n");
    for (MixedRequest& request : mix.requests()) {
        const auto start = BenchClock::now();
        request.reference = exchange(port, request.request).data();
        const double ms = elapsed_ms(start, BenchClock::now());
        if (request.reference.empty()) throw std::runtime_error(request.label + " got no reply alone");
        if (exchange(port, request.request).data() != request.reference)
            throw std::runtime_error(request.label + " got two different replies alone");
        std::printf("  %-26s request %8zu bytes   reply %8zu bytes   %7.1f ms\n", request.label.c_str(),
                    request.request.data().size(), request.reference.size(), ms);
    }
}

/// Makes every request alone again; returns the labels of those whose reply changed.
std::vector<std::string> changed_replies(int port, const LoadMix& mix) {
    std::vector<std::string> changed;
    for (const MixedRequest& request : mix.requests()) {
        try {
            if (exchange(port, request.request).data() != request.reference) changed.push_back(request.label);
        } catch (const std::exception& error) {
            changed.push_back(request.label + " (" + error.what() + ")");
        }
    }
    return changed;
}

void print_rates(const LoadTally& tally, double seconds) {
    long total = 0;
    for (std::size_t k = 0; k < request_kind_count; ++k) {
        const RequestKind kind = RequestKind(k);
        const std::vector<double> ms = tally.latencies(kind);
        total += static_cast<long>(ms.size());
        if (ms.empty()) continue;
        std::printf("  %-14s %7zu completed  %8.1f requests/s   latency median %8.1f ms   max %8.1f ms\n",
                    command_of(kind), ms.size(), ms.size() / seconds, ms[ms.size() / 2], ms.back());
    }
    std::printf("  %-14s %7ld completed  %8.1f requests/s\n", "all", total, total / seconds);
}

/// Log lines of the service with the prefix.
std::vector<std::string> log_lines(const ServiceProcess& service, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : service.lines())
        if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
    return found;
}

/// What one round of load observed of the service.
struct RoundFigures {
    /// Once the thread count stayed the same for a second: the idle state before the round.
    ServiceFigures before;
    /// Once the silent clients were connected (or ten seconds passed).
    ServiceFigures with_silent;
    /// The peaks during the load.
    ServiceFigures peak;
    /// When the last steady and vanishing client ended, the silent ones still connected.
    ServiceFigures end_of_load;
    /// Once the thread count was back at its idle value (or the settling time passed) and the
    /// service had been quiet long enough to release its idle memory.
    ServiceFigures after;
    /// Milliseconds from closing the silent connections to the thread count's return.
    double settle_ms = 0.0;
    /// Seconds from the start of the clients to the end of the last one.
    double load_seconds = 0.0;
    /// Silent connections that stayed open and received nothing.
    long still_quiet = 0;
};

/// What a whole run observed of the service.
struct Observations {
    /// Just after start-up.
    ServiceFigures fresh;
    /// Each round of load.
    std::vector<RoundFigures> rounds;
    /// Requests whose reply alone after the load differs from their reference.
    std::vector<std::string> changed;
    /// Whether the service still ran at the end.
    bool running = false;
};

std::chrono::milliseconds milliseconds(double seconds) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(seconds));
}

/// The figures once the service has released its idle memory, which it does after a quiet spell
/// in which no connection came or went.
ServiceFigures rested_figures(pid_t pid) {
    std::this_thread::sleep_for(idle_memory_quiet + std::chrono::milliseconds(500));
    return figures_of(pid);
}

/// Runs the silent, steady and vanishing clients against the service for one round, then lets
/// the service settle.
RoundFigures drive(const Options& options, pid_t pid, int port, const LoadMix& mix, LoadTally& tally) {
    RoundFigures seen;
    steady_figures(pid, std::chrono::seconds(10));
    seen.before = rested_figures(pid);
    std::vector<std::unique_ptr<WireClient>> silent = open_silent_clients(port, options.silent, tally);
    const long with_silent = seen.before.threads + options.silent;
    seen.with_silent =
        figures_once(
            pid, [&](long threads) { return threads >= with_silent; }, std::chrono::seconds(10))
            .first;

    std::atomic<bool> stop{false};
    const LoadRun load{port, &mix, &stop, std::chrono::seconds(30)};
    Latch first_round(options.steady);
    FigureSampler sampler(pid, [&tally](double seconds, const ServiceFigures& now) {
        std::printf(
            "  %5.1f s: %ld requests completed, %ld failures, %ld connections open at most; "
            "service threads %ld, resident %.1f MiB\n",
            seconds, tally.completed_total(), tally.failure_count(), tally.peak_connections(), now.threads,
            mib(now.resident_kib));
        std::fflush(stdout);
    });
    const auto start = BenchClock::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < options.steady; ++c)
        clients.emplace_back([&, c] { run_steady_client(load, 1000u + c, first_round, tally); });
    for (int c = 0; c < options.vanishing; ++c)
        clients.emplace_back([&, c] { run_vanishing_client(load, 5000u + c, tally); });
    std::this_thread::sleep_for(std::chrono::duration<double>(options.duration_s));
    stop = true;
    for (std::thread& client : clients) client.join();
    seen.load_seconds = elapsed_ms(start, BenchClock::now()) / 1000.0;
    seen.end_of_load = figures_of(pid);
    seen.still_quiet = std::count_if(silent.begin(), silent.end(), [](const auto& c) { return c->quiet(); });
    for (std::unique_ptr<WireClient>& client : silent) {
        client->close();
        tally.connection_closed();
    }
    sampler.finish();
    seen.peak = sampler.peak();

    const long idle = seen.before.threads;
    seen.settle_ms = figures_once(
                         pid, [&](long threads) { return threads <= idle; }, milliseconds(options.settle_s))
                         .second;
    seen.after = rested_figures(pid);
    return seen;
}

void report(const ServiceProcess& service, const LoadTally& tally, const Observations& seen) {
    double load_seconds = 0.0;
    for (const RoundFigures& round : seen.rounds) load_seconds += round.load_seconds;
    std::printf("throughput of the steady clients over %.1f s:\n", load_seconds);
    print_rates(tally, load_seconds);
    std::printf("  vanished on purpose: %ld in a payload, %ld in a reply\n", tally.vanished_count(false),
                tally.vanished_count(true));
    std::printf("  most connections open at once: %ld\n", tally.peak_connections());
    std::printf("failures: %ld\n", tally.failure_count());
    for (const auto& cause : tally.failures())
        std::printf("  %-34s %ld\n", cause.first.c_str(), cause.second);
    for (const std::string& example : tally.failure_examples()) std::printf("  e.g. %s\n", example.c_str());
    std::printf("service:\n");
    print_figures("fresh", seen.fresh);
    for (std::size_t r = 0; r < seen.rounds.size(); ++r) {
        const RoundFigures& round = seen.rounds[r];
        if (seen.rounds.size() > 1) std::printf(" round %zu:\n", r + 1);
        print_figures(r == 0 ? "before the load (after the references)" : "before the load", round.before);
        print_figures("silent clients connected", round.with_silent);
        print_figures("during the load (peaks)", round.peak);
        print_figures("end of the load (silent clients still open)", round.end_of_load);
        print_figures(("after the load (threads back " + std::to_string(static_cast<int>(round.settle_ms)) +
                       " ms later, then at rest)")
                          .c_str(),
                      round.after);
    }
    const std::vector<std::string> errors = log_lines(service, "ERROR: ");
    const std::vector<std::string> fatal = log_lines(service, "FATAL: ");
    std::printf("  log: %zu lines, %zu ERROR, %zu FATAL\n", service.lines().size(), errors.size(),
                fatal.size());
    for (std::size_t i = 0; i < std::min<std::size_t>(errors.size(), 5); ++i)
        std::printf("    %s\n", errors[i].c_str());
    for (const std::string& line : fatal) std::printf("    %s\n", line.c_str());
}

/// Prints every check; returns the number that failed.
int judge(const Options& options, const ServiceProcess& service, const LoadTally& tally,
          const Observations& seen) {
    Verdict verdict;
    const ServiceFigures& idle = seen.rounds.front().before;
    const ServiceFigures& after = seen.rounds.back().after;
    bool all_silent_served = true;
    long still_quiet = 0;
    bool threads_back = true;
    for (const RoundFigures& round : seen.rounds) {
        all_silent_served =
            all_silent_served && round.with_silent.threads >= round.before.threads + options.silent;
        still_quiet += round.still_quiet;
        threads_back = threads_back && round.after.threads == idle.threads;
    }
    const long silent = options.silent * static_cast<long>(seen.rounds.size());
    std::printf("checks:\n");
    verdict.check(seen.running, "the service still runs");
    verdict.check(all_silent_served, "the service serves every silent connection on a thread of its own");
    verdict.check(tally.peak_connections() >= options.steady + options.silent,
                  std::to_string(options.steady + options.silent) + " connections were open at once");
    verdict.check(tally.completed_total() > 0 && tally.failure_count() == 0,
                  "every request completed with the reply it got alone (" +
                      std::to_string(tally.failure_count()) + " failures)");
    verdict.check(still_quiet == silent, "every silent connection stayed open and got nothing (" +
                                             std::to_string(still_quiet) + " of " + std::to_string(silent) +
                                             ")");
    verdict.check(threads_back, "the thread count is back to its idle value " + std::to_string(idle.threads) +
                                    " after every round (" + std::to_string(after.threads) +
                                    " after the last)");
    const double growth = 100.0 * static_cast<double>(after.resident_kib - idle.resident_kib) /
                          static_cast<double>(idle.resident_kib);
    char growth_text[32];
    std::snprintf(growth_text, sizeof growth_text, "%+.1f%%", growth);
    // Less memory after the load than before is no leak: the idle size itself varies by a megabyte
    // or so with what the reference requests left behind.
    verdict.check(
        growth <= 10.0,
        std::string("resident memory at most 10% above where it was before the load (") + growth_text + ")");
    std::string changed;
    for (const std::string& label : seen.changed) changed += " " + label;
    verdict.check(seen.changed.empty(), "each request alone after the load gets its reference reply" +
                                            (changed.empty() ? std::string() : "; changed:" + changed));
    verdict.check(log_lines(service, "ERROR: ").empty() && log_lines(service, "FATAL: ").empty(),
                  "the service logged no error");
    return verdict.failures();
}

int run(const Options& options) {
    const long descriptors = raise_descriptor_limit();
    const long needed = options.steady + options.silent + options.vanishing + spare_descriptors;
    std::printf(
        "load_test: %s; %d steady, %d silent, %d vanishing clients, %d round(s) of %.0f s; "
        "descriptor limit %ld\n",
        LM_ACCELERATOR_BINARY, options.steady, options.silent, options.vanishing, options.rounds,
        options.duration_s, descriptors);
    if (descriptors >= 0 && descriptors < needed)
        throw std::runtime_error("the descriptor limit is below the " + std::to_string(needed) +
                                 " this run needs");

    LoadMix mix;
    StartedService started;
    ServiceProcess& service = started.process;
    const int port = started.port;
    Observations seen;
    seen.fresh = figures_of(service.pid());
    make_references(port, mix);

    LoadTally tally;
    for (int round = 1; round <= options.rounds; ++round) {
        std::printf("load, round %d of %d: %.0f s\n", round, options.rounds, options.duration_s);
        std::fflush(stdout);
        seen.rounds.push_back(drive(options, service.pid(), port, mix, tally));
    }
    seen.changed = changed_replies(port, mix);
    seen.running = !service.wait_for_exit(std::chrono::milliseconds(0));
    report(service, tally, seen);
    const int failed = judge(options, service, tally, seen);
    std::printf("load_test: %s\n", failed == 0 ? "passed" : "FAILED");
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(parse_options(argc, argv));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "load_test: %s\n", error.what());
        return 2;
    }
}
