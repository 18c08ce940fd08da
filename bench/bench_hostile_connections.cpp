// Hostile clients against the service's default connection limits, one line per case:
//   slow_reader         a 24-megapixel decompose_ldr whose reply is read 4 KiB every 50 s; a 2 x 2
//                       request sent behind it must be answered within 2 minutes
//   trickling_names     5,000 connections that each send a byte of their name every 10 s; the service
//                       must close them all within a minute, answer "version" within 5 s throughout
//                       and be back to its idle threads afterwards
//   silent_connections  1,500 silent connections, the service limited to 12 GiB of address space; a
//                       4000 x 3000 decompose_ldr must be answered whole
//   refused_upgrade     an upgrade refused (another is in progress) before its 64 MiB program is read;
//                       the client's send must complete and it must read false, 10 times in 10
// Waits are capped (a case that misses its bound says how long it waited) and the driver exits 1 when
// a case misses its bound. It raises its own descriptor limit to the hard one.
//
// Usage: bench_hostile_connections [--binary PATH] [case ...]   (every case when none is named)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "bench/bench_cases.hpp"
#include "bench/bench_inputs.hpp"
#include "bench/bench_timing.hpp"
#include "bench/timed_exchange.hpp"
#include "tests/image_requests.hpp"
#include "tests/resident_memory.hpp"
#include "tests/service_process.hpp"
#include "tests/wire_client.hpp"

namespace {

using namespace std::chrono_literals;

/// A connection of many, which the service has closed once anything (its end) has arrived on it.
bool closed_by_service(const WireClient& client) { return !client.quiet(); }

// slow_reader

constexpr int large_width = 6000;
constexpr int large_height = 4000;
/// The slow reader's receive buffer, and what it takes at each read.
constexpr int slow_read_size = 4 << 10;
constexpr auto slow_read_period = 50s;
constexpr auto small_answer_bound = 120s;
constexpr auto small_answer_cap = 180s;

/// An ARGB payload of width x height with smooth gradients and a fine pattern, so that every stage
/// of the decomposition has work.
WireBytes patterned_argb(int width, int height) {
    WireBytes pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    std::size_t i = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            pixels[i++] = 255;
            pixels[i++] = static_cast<unsigned char>(40 + x * 160 / width + (x * 7 + y * 3) % 16);
            pixels[i++] = static_cast<unsigned char>(40 + y * 160 / height + (x * 5 + y * 11) % 16);
            pixels[i++] = static_cast<unsigned char>(60 + (x + y) * 120 / (width + height) + ((x ^ y) & 15));
        }
    }
    return pixels;
}

// Reads what has arrived, a receive buffer's worth, once every period until stopped.
class SlowReader {
public:
    explicit SlowReader(WireClient& client) : thread_([this, &client] { run(client); }) {}
    ~SlowReader() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        woken_.notify_all();
        thread_.join();
    }
    SlowReader(const SlowReader&) = delete;
    SlowReader& operator=(const SlowReader&) = delete;

private:
    void run(WireClient& client) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!woken_.wait_for(lock, slow_read_period, [this] { return stopped_; })) {
            try {
                client.read_at_least(1, 1s);
            } catch (const std::runtime_error&) {
                // Nothing had arrived: the next period tries again.
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable woken_;
    bool stopped_ = false;
    std::thread thread_;
};

bool slow_reader(const ServiceOptions& options) {
    StartedService service(options);
    WireClient slow(service.port, slow_read_size);
    // Once the request is sent whole, the service is reading it: it holds its share of the budget.
    if (!slow.send(decompose_request("decompose_ldr", patterned_argb(large_width, large_height), large_width,
                                     large_height)))
        throw std::runtime_error("the 24-megapixel request could not be sent");
    const SlowReader reader(slow);
    const auto begin = BenchClock::now();
    std::optional<double> answered;
    try {
        WireClient small(service.port);
        small.send(decompose_request("decompose_ldr", patterned_argb(2, 2), 2, 2));
        if (!small.read_to_end(small_answer_cap).empty()) answered = seconds_since(begin);
    } catch (const std::runtime_error&) {
        // Not answered within the cap.
    }
    const bool within = answered && *answered <= std::chrono::duration<double>(small_answer_bound).count();
    const std::string outcome =
        answered ? "answered in " + std::to_string(static_cast<int>(*answered + 0.5)) + " s"
                 : "not answered within " + std::to_string(small_answer_cap.count()) + " s";
    std::printf(
        "  slow_reader         2 x 2 decompose_ldr behind a 24 MP one read 4 KiB every 50 s: %s "
        "(bound %lld s)   %s\n",
        outcome.c_str(), static_cast<long long>(small_answer_bound.count()), within ? "ok" : "FAILED");
    return within;
}

// trickling_names

constexpr int trickling_count = 5000;
constexpr auto trickle_period = 10s;
constexpr auto all_closed_bound = 60s;
constexpr auto trickling_cap = 90s;
constexpr auto version_bound = 5s;
constexpr auto version_probe_period = 1s;
constexpr auto back_to_idle_wait = 10s;

/// How long "version" took to be answered whole; nothing when it was not within the bound.
std::optional<double> version_answer_time(int port) {
    const auto begin = BenchClock::now();
    try {
        Reply reply = exchange(port, Request("version"), version_bound);
        if (reply.string() == "Lumerra Vozazuvazor") return seconds_since(begin);
    } catch (const std::runtime_error&) {
    }
    return std::nullopt;
}

bool trickling_names(const ServiceOptions& options) {
    StartedService service(options);
    const pid_t pid = service.process.pid();
    // A first exchange starts the threads that an idle service keeps.
    version_answer_time(service.port);
    std::this_thread::sleep_for(1s);
    const long idle_threads = thread_count(pid);
    const auto begin = BenchClock::now();
    std::vector<std::unique_ptr<WireClient>> clients;
    for (int i = 0; i < trickling_count; ++i) clients.push_back(std::make_unique<WireClient>(service.port));

    long peak_threads = idle_threads;
    double slowest_version = 0.0;
    int probes = 0;
    int unanswered = 0;
    std::optional<double> all_closed;
    auto next_trickle = begin;
    while (!all_closed && BenchClock::now() - begin < trickling_cap) {
        const bool trickle = BenchClock::now() >= next_trickle;
        if (trickle) next_trickle += trickle_period;
        int open = 0;
        for (const auto& client : clients) {
            if (closed_by_service(*client)) continue;
            ++open;
            if (trickle) client->send(WireBytes{'n'});
        }
        if (open == 0) {
            all_closed = seconds_since(begin);
            break;
        }
        peak_threads = std::max(peak_threads, thread_count(pid));
        const std::optional<double> answer = version_answer_time(service.port);
        ++probes;
        if (answer)
            slowest_version = std::max(slowest_version, *answer);
        else
            ++unanswered;
        std::this_thread::sleep_for(version_probe_period);
    }
    const long still_open = static_cast<long>(std::count_if(
        clients.begin(), clients.end(), [](const auto& client) { return !closed_by_service(*client); }));
    // Our ends stay open meanwhile: only the service's own closing may bring its threads back.
    const auto idle_wait = BenchClock::now();
    long threads_after = thread_count(pid);
    while (threads_after > idle_threads && BenchClock::now() - idle_wait < back_to_idle_wait) {
        std::this_thread::sleep_for(100ms);
        threads_after = thread_count(pid);
    }
    clients.clear();

    const bool within = all_closed &&
                        *all_closed <= std::chrono::duration<double>(all_closed_bound).count() &&
                        unanswered == 0 && threads_after <= idle_threads;
    const std::string closing = all_closed ? "all closed by the service after " +
                                                 std::to_string(static_cast<int>(*all_closed + 0.5)) + " s"
                                           : std::to_string(still_open) + " still open after " +
                                                 std::to_string(trickling_cap.count()) + " s";
    std::printf(
        "  trickling_names     %d connections, a name byte every 10 s: %s (bound %lld s); version answered "
        "in at most %.2f s, %d of %d probes unanswered within %lld s; threads idle %ld, peak %ld, "
        "afterwards %ld   %s\n",
        trickling_count, closing.c_str(), static_cast<long long>(all_closed_bound.count()), slowest_version,
        unanswered, probes, static_cast<long long>(version_bound.count()), idle_threads, peak_threads,
        threads_after, within ? "ok" : "FAILED");
    return within;
}

// silent_connections

constexpr int silent_count = 1500;
constexpr rlim_t service_address_space = rlim_t{12} << 30;

/// Starts the service with its address space limited: the soft limit, which a child inherits, is
/// lowered for the start only.
std::unique_ptr<StartedService> start_limited(const ServiceOptions& options, rlim_t address_space) {
    rlimit own{};
    if (::getrlimit(RLIMIT_AS, &own) != 0) throw std::runtime_error("the address-space limit cannot be read");
    rlimit lowered = own;
    lowered.rlim_cur = std::min(address_space, own.rlim_max);
    if (::setrlimit(RLIMIT_AS, &lowered) != 0)
        throw std::runtime_error("the address space cannot be limited");
    std::unique_ptr<StartedService> service;
    try {
        service = std::make_unique<StartedService>(options);
    } catch (...) {
        ::setrlimit(RLIMIT_AS, &own);
        throw;
    }
    ::setrlimit(RLIMIT_AS, &own);
    return service;
}

bool silent_connections(const ServiceOptions& options) {
    const Image<float> photo = bench_photo();
    const Request request =
        decompose_request("decompose_ldr", argb_payload(photo), photo_width, photo_height);
    const std::unique_ptr<StartedService> service = start_limited(options, service_address_space);
    ReplyStorage storage;
    timed_exchange(service->port, request.data(), storage);
    const WireBytes reference = storage.reply();

    std::vector<std::unique_ptr<WireClient>> silent;
    for (int i = 0; i < silent_count; ++i) silent.push_back(std::make_unique<WireClient>(service->port));
    // Each connection holds its thread once the service has started it.
    const auto begin = BenchClock::now();
    while (thread_count(service->process.pid()) < silent_count && BenchClock::now() - begin < 5s)
        std::this_thread::sleep_for(50ms);
    const long threads = thread_count(service->process.pid());
    timed_exchange(service->port, request.data(), storage);
    const std::size_t open = static_cast<std::size_t>(std::count_if(
        silent.begin(), silent.end(), [](const auto& client) { return !closed_by_service(*client); }));

    const bool whole = !reference.empty() && storage.length == reference.size() &&
                       std::equal(reference.begin(), reference.end(), storage.bytes.begin());
    std::printf(
        "  silent_connections  %d silent connections (%zu still open after, service threads %ld), "
        "12 GiB of address space: %d x %d decompose_ldr %s (%zu of %zu bytes)   %s\n",
        silent_count, open, threads, photo_width, photo_height,
        whole ? "answered whole" : "not answered whole", storage.length, reference.size(),
        whole ? "ok" : "FAILED");
    return whole;
}

// refused_upgrade

constexpr std::size_t refused_program_size = 64u << 20;
constexpr int upgrade_trials = 10;

/// A temporary directory with a copy of the service in it, removed at the end; an upgrade replaces
/// the copy, never the build's own program.
class ServiceCopy {
public:
    explicit ServiceCopy(const std::string& binary) {
        char pattern[] = "/tmp/lm_hostile_XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("no temporary directory");
        directory_ = pattern;
        program_ = directory_ + "/lm_accelerator";
        std::filesystem::copy_file(binary, program_);
        std::filesystem::permissions(program_, std::filesystem::perms::owner_all);
    }
    ~ServiceCopy() {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    ServiceCopy(const ServiceCopy&) = delete;
    ServiceCopy& operator=(const ServiceCopy&) = delete;

    ServiceOptions options() const {
        ServiceOptions options;
        options.binary = program_;
        options.directory = directory_;
        return options;
    }

private:
    std::string directory_;
    std::string program_;
};

bool refused_upgrade(const ServiceOptions& options) {
    const ServiceCopy copy(options.binary);
    StartedService service(copy.options());
    // This upgrade stays in progress: its program, announced at 1 GiB, comes at 10 MiB a second until
    // the end of the case, when the client resets the connection. Once more has been sent than the
    // buffers between us hold, the service is reading it.
    WireClient holder(service.port);
    if (!holder.send(Request("upgrade").raw({0x0C, 0, 0, 0, 0x40})) || !holder.send(WireBytes(16u << 20, 0)))
        throw std::runtime_error("the upgrade in progress could not be started");
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        while (!done && holder.send(WireBytes(1u << 20, 0))) std::this_thread::sleep_for(100ms);
    });

    const Request request = Request("upgrade").bytes(WireBytes(refused_program_size, 0x90));
    int sent_whole = 0;
    int answered_false = 0;
    for (int trial = 0; trial < upgrade_trials; ++trial) {
        WireClient client(service.port);
        const bool sent = client.send(request);
        WireBytes answer;
        try {
            answer = client.read_to_end(30s);
        } catch (const std::runtime_error&) {
        }
        sent_whole += sent ? 1 : 0;
        answered_false += answer == WireBytes{0x02} ? 1 : 0;
    }
    done = true;
    feeder.join();
    holder.reset();

    const bool within = sent_whole == upgrade_trials && answered_false == upgrade_trials;
    std::printf(
        "  refused_upgrade     upgrade refused before its 64 MiB program is read: send completed %d/%d, "
        "false read %d/%d   %s\n",
        sent_whole, upgrade_trials, answered_false, upgrade_trials, within ? "ok" : "FAILED");
    return within;
}

}  // namespace

int main(int argc, char** argv) {
    // Thousands of connections each take a descriptor.
    raise_descriptor_limit();
    return run_bench_cases("bench_hostile_connections", "default connection limits", argc, argv,
                           {{"slow_reader", slow_reader},
                            {"trickling_names", trickling_names},
                            {"silent_connections", silent_connections},
                            {"refused_upgrade", refused_upgrade}});
}
