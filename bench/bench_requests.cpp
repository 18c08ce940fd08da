// Times whole requests to the built service over loopback, from the moment the client opens the
// connection (one per request, as the protocol requires) to the last byte of the reply: the
// 12-megapixel image commands with their phases, "read_raw" against LibRaw's own share, "version"
// latency and throughput under concurrent clients, and the service's peak memory for one
// "tonemap_ldr". Building the inputs and checking the replies are never timed.
//
// Phases of a request: sending ends when the kernel has taken the last request byte (the service
// reads the payload as it arrives, so its reading is in this phase, less a socket buffer's worth);
// serving runs from there to the first reply byte (the work before the first reply value is
// written); replying runs to the last reply byte (transfer, and whatever the service computes
// between its reply values).
//
// Usage: bench_requests [--one-worker] [job ...]
//   jobs: tonemap_ldr tonemap_hdr decompose_ldr read_raw version clients memory one_worker
//   (all of them when none is named). --one-worker runs the named jobs against a service confined
//   to one core (its worker pool then has one worker); the job one_worker times "tonemap_ldr" on
//   such a service and sets it against the all-core figure of the same run.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/startup_environment.hpp"
#include "bench/bench_inputs.hpp"
#include "bench/bench_timing.hpp"
#include "bench/libraw_decoding.hpp"
#include "bench/timed_exchange.hpp"
#include "tests/image_requests.hpp"
#include "tests/resident_memory.hpp"
#include "tests/service_process.hpp"
#include "tests/wire_client.hpp"

namespace {

/// Timed runs of each image request.
constexpr int image_runs = 7;
/// Timed runs of each "read_raw" request and of LibRaw alone.
constexpr int raw_runs = 11;
/// Timed "version" round trips.
constexpr int version_runs = 2000;
/// Timed runs of each throughput measurement, and the length of each.
constexpr int throughput_runs = 5;
constexpr double throughput_seconds = 1.5;
/// The sides of the largest camera raw file the tests make; a 12-megapixel one is timed as well.
constexpr int test_raw_width = 1200;
constexpr int test_raw_height = 900;

/// The built service with "-f" in a temporary directory of its own; confined to core 0 when one_core
/// is set.
ServiceOptions service_options(bool one_core) {
    ServiceOptions options;
    if (one_core) {
        options.binary = "/usr/bin/taskset";
        options.arguments = {"-c", "0", LM_ACCELERATOR_BINARY, "-f"};
    }
    return options;
}

void check(bool condition, const std::string& what) {
    if (!condition) throw std::runtime_error("unexpected reply: " + what);
}

void check_tonemap_reply(Reply reply) {
    check(reply.bytes().size() == 4u * photo_width * photo_height, "ARGB size");
    check(reply.integer() == photo_width && reply.integer() == photo_height, "result size");
    const WireBytes jpeg = reply.bytes();
    check(jpeg.size() > 2 && jpeg[0] == 0xFF && jpeg[1] == 0xD8, "JPEG start");
    check(reply.at_end(), "bytes after the JPEG");
}

void check_decompose_reply(Reply reply) {
    for (int i = 0; i < 3; ++i) check(reply.bytes().size() == 12u * photo_width * photo_height, "image size");
    check(reply.bytes().size() == 960048u, "constraints size");
    reply.number();
    check(reply.integer() == photo_width && reply.integer() == photo_height, "sizes");
    check(reply.at_end(), "bytes after the sizes");
}

void check_raw_reply(Reply reply, int width, int height) {
    check(reply.bytes().size() == 12u * width * height, "decoded image size");
    check(reply.integer() == width && reply.integer() == height, "decoded sizes");
    reply.bytes();
    reply.integer();
    reply.integer();
    reply.bytes();
    check(reply.at_end(), "bytes after the preview");
}

/// The phases of one exchange: whole, sending, last request byte to first reply byte, and the
/// reply from its first to its last byte.
std::vector<double> phases_of(const ExchangeTimes& t) {
    return {elapsed_ms(t.start, t.last_reply), elapsed_ms(t.start, t.request_sent),
            elapsed_ms(t.request_sent, t.first_reply), elapsed_ms(t.first_reply, t.last_reply)};
}

/// Prints the heading of a request's figures and its four phases.
void print_request(const std::string& title, int runs, const Request& request,
                   const std::vector<Summary>& phases, const std::string& compute_phase,
                   const std::string& reply_phase) {
    print_heading(title, runs, "building the request's bytes, checking the reply");
    std::printf("  (serving: %s; replying: %s)\n", compute_phase.c_str(), reply_phase.c_str());
    print_figure("whole request: connect to last reply byte", phases[0]);
    print_figure(
        "sending: connect to last request byte (" + std::to_string(request.data().size() >> 20) + " MiB)",
        phases[1]);
    print_figure("serving: last request byte to first reply byte", phases[2]);
    print_figure("replying: first to last reply byte", phases[3]);
}

/// Times one request with its phases and prints them; returns the last reply's bytes.
WireBytes time_request(const StartedService& service, const std::string& title, const Request& request,
                       const std::string& compute_phase, const std::string& reply_phase,
                       Summary* whole = nullptr) {
    ReplyStorage storage;
    const std::vector<Summary> phases = time_phases(
        image_runs, [&] { return phases_of(timed_exchange(service.port, request.data(), storage)); });
    print_request(title, image_runs, request, phases, compute_phase, reply_phase);
    if (whole) *whole = phases[0];
    return storage.reply();
}

void bench_tonemap_ldr(const StartedService& service, const Image<float>& photo, Summary* whole) {
    const Request request =
        tonemap_request("tonemap_ldr", argb_payload(photo), photo_width, photo_height, 0, bench_settings());
    check_tonemap_reply(Reply(time_request(
        service, "tonemap_ldr 4000 x 3000", request, "reading, decomposition, composition, ARGB packing",
        "ARGB transfer (" + std::to_string(4 * photo_width * photo_height >> 20) +
            " MiB), JPEG encoding and transfer",
        whole)));
}

void bench_tonemap_hdr(const StartedService& service, const Image<float>& photo) {
    const Request request =
        tonemap_request("tonemap_hdr", float_payload(photo), photo_width, photo_height, 0, bench_settings());
    check_tonemap_reply(Reply(time_request(service, "tonemap_hdr 4000 x 3000", request,
                                           "reading, decomposition, composition, ARGB packing",
                                           "ARGB transfer, JPEG encoding and transfer")));
}

void bench_decompose_ldr(const StartedService& service, const Image<float>& photo) {
    const Request request =
        decompose_request("decompose_ldr", argb_payload(photo), photo_width, photo_height);
    check_decompose_reply(Reply(time_request(
        service, "decompose_ldr 4000 x 3000", request, "reading, decomposition, colour packing: the compute",
        "four payloads' transfer (" + std::to_string((36 * photo_width * photo_height + 960048) >> 20) +
            " MiB), layer packing")));
}

// Each run sends the request, then decodes the same file with LibRaw alone in-process; the
// difference of the pair is the service's own work. Pairs keep the two figures of one run under
// the same load, which on a shared machine drifts more than either figure varies.
void bench_read_raw(const StartedService& service, int width, int height) {
    WireBytes file = photo_dng(width, height);
    const Request request = Request("read_raw").bytes(file);
    ReplyStorage storage;
    bool decoded = true;
    const std::vector<Summary> phases = time_phases(raw_runs, [&] {
        std::vector<double> ms = phases_of(timed_exchange(service.port, request.data(), storage));
        // On a thread of its own, as the service decodes each request, so that LibRaw's
        // allocations and OpenMP team start afresh as they do there.
        const auto start = BenchClock::now();
        std::thread([&] { decoded = decode_with_libraw(file) && decoded; }).join();
        const double libraw = elapsed_ms(start, BenchClock::now());
        ms.push_back(libraw);
        ms.push_back(ms[0] - libraw);
        ms.push_back(100.0 * (ms[0] - libraw) / ms[0]);
        return ms;
    });
    if (!decoded) throw std::runtime_error("LibRaw rejected the benchmark DNG");
    check_raw_reply(Reply(storage.reply()), width, height);
    print_request("read_raw of a " + std::to_string(width) + " x " + std::to_string(height) + " DNG",
                  raw_runs, request, phases, "LibRaw, conversion, reduction, preview, first payload",
                  "payload transfer and packing");
    print_figure("LibRaw alone in-process, on a new thread: open, unpack, processing", phases[4]);
    print_figure("service's own work: request - LibRaw alone, per run", phases[5]);
    std::printf("  %-58s min %9.1f %%    median %9.1f %%\n", "service's own work, share of the request",
                phases[6].min, phases[6].median);
    std::fflush(stdout);
}

void bench_version(const StartedService& service) {
    const Request request("version");
    ReplyStorage storage;
    const Summary latency =
        time_calls(version_runs, [&] { timed_exchange(service.port, request.data(), storage); });
    check(Reply(storage.reply()).string() == "Lumerra Vozazuvazor", "version name");
    print_heading("version round trip, a new connection each", version_runs, "nothing");
    print_figure("connect to last reply byte", latency);
}

/// Requests per second that `clients` threads achieve, each sending "version" on a new
/// connection after the previous reply, for throughput_seconds.
double version_rate(const StartedService& service, int clients, double seconds) {
    const Request request("version");
    std::atomic<long> completed{0};
    std::atomic<long> failed{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    const auto length =
        std::chrono::duration_cast<BenchClock::duration>(std::chrono::duration<double>(seconds));
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            ReplyStorage storage;
            while (!go.load()) std::this_thread::yield();
            const auto deadline = BenchClock::now() + length;
            long done = 0;
            while (BenchClock::now() < deadline) {
                try {
                    timed_exchange(service.port, request.data(), storage);
                    if (storage.length == 0)
                        ++failed;
                    else
                        ++done;
                } catch (const std::exception&) {
                    ++failed;
                }
            }
            completed += done;
        });
    }
    const auto start = BenchClock::now();
    go = true;
    for (std::thread& thread : threads) thread.join();
    const double elapsed = elapsed_ms(start, BenchClock::now());
    if (failed > 0) std::printf("  (%ld of the requests failed or got no reply)\n", failed.load());
    return static_cast<double>(completed) * 1000.0 / elapsed;
}

void bench_clients(const StartedService& service) {
    char length[32];
    std::snprintf(length, sizeof length, "%.1f", throughput_seconds);
    print_heading("version requests per second, concurrent clients, a new connection per request",
                  throughput_runs, std::string("nothing; each run lasts ") + length + " s");
    for (int clients : {8, 64}) {
        version_rate(service, clients, 0.5);
        std::vector<double> rates;
        for (int run = 0; run < throughput_runs; ++run)
            rates.push_back(version_rate(service, clients, throughput_seconds));
        const Summary summary = summarise(rates);
        std::printf("  %2d clients: lowest %9.0f requests/s   median %9.0f requests/s\n", clients,
                    summary.min, summary.median);
        std::fflush(stdout);
    }
}

void bench_memory(bool one_core, const Image<float>& photo) {
    const StartedService fresh(service_options(one_core));
    const long idle = process_status_value(fresh.process.pid(), "VmHWM:");
    const Request request =
        tonemap_request("tonemap_ldr", argb_payload(photo), photo_width, photo_height, 0, bench_settings());
    ReplyStorage storage;
    timed_exchange(fresh.port, request.data(), storage);
    check_tonemap_reply(Reply(storage.reply()));
    const long peak = process_status_value(fresh.process.pid(), "VmHWM:");
    std::printf(
        "peak resident memory (VmHWM) of a fresh service: %.1f MiB idle, %.1f MiB after one "
        "4000 x 3000 tonemap_ldr\n",
        idle / 1024.0, peak / 1024.0);
    std::fflush(stdout);
}

void bench_one_worker(const Image<float>& photo, const std::optional<Summary>& all_cores) {
    const StartedService confined(service_options(true));
    std::printf("-- the same build on one core (taskset -c 0) --\n");
    Summary one;
    bench_tonemap_ldr(confined, photo, &one);
    if (all_cores)
        std::printf("  speed-up of all cores over one: %.2f x (medians), %.2f x (minimums)\n",
                    one.median / all_cores->median, one.min / all_cores->min);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    // LibRaw alone must run under the service's OpenMP and allocator settings to be compared with it.
    settle_startup_environment(argv);
    bool one_worker = false;
    std::vector<std::string> jobs;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--one-worker")
            one_worker = true;
        else
            jobs.push_back(argument);
    }
    const bool all = jobs.empty();
    auto wanted = [&](const char* job) {
        return all || std::find(jobs.begin(), jobs.end(), job) != jobs.end();
    };

    try {
        const Image<float> photo = bench_photo();
        std::printf("bench_requests: %s%s, %u hardware threads\n", LM_ACCELERATOR_BINARY,
                    one_worker ? " on one core (taskset -c 0)" : "", std::thread::hardware_concurrency());
        const StartedService service(service_options(one_worker));
        std::optional<Summary> tonemap_ldr;
        if (wanted("tonemap_ldr")) {
            Summary whole;
            bench_tonemap_ldr(service, photo, &whole);
            tonemap_ldr = whole;
        }
        if (wanted("tonemap_hdr")) bench_tonemap_hdr(service, photo);
        if (wanted("decompose_ldr")) bench_decompose_ldr(service, photo);
        if (wanted("read_raw")) {
            bench_read_raw(service, test_raw_width, test_raw_height);
            bench_read_raw(service, photo_width, photo_height);
        }
        if (wanted("version")) bench_version(service);
        if (wanted("clients")) bench_clients(service);
        if (wanted("memory")) bench_memory(one_worker, photo);
        if (wanted("one_worker") && !one_worker) bench_one_worker(photo, tonemap_ldr);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_requests: %s\n", error.what());
        return 1;
    }
    return 0;
}
