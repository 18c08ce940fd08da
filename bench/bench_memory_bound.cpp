// The memory bound of the built service: for each command that holds full-size images, the peak
// resident memory (VmHWM) of a fresh service that answers ten simultaneous 4000 x 3000 requests,
// against that of a fresh service that answers one alone. Every reply of the ten must be the reply
// of the one alone, byte for byte; the ten may cost at most three times the one.
//
// Usage: bench_memory_bound [command ...]   (every image command and "read_raw" when none is named)

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_cases.hpp"
#include "bench/bench_inputs.hpp"
#include "bench/timed_exchange.hpp"
#include "tests/image_requests.hpp"
#include "tests/service_process.hpp"

namespace {

/// Simultaneous requests of the measurement.
constexpr int simultaneous = 10;
/// The most the simultaneous requests may cost, as a multiple of one alone.
constexpr double allowed_ratio = 3.0;

Request request_for(const std::string& command, const Image<float>& photo) {
    if (command == "read_raw") return Request(command).bytes(photo_dng(photo_width, photo_height));
    const bool hdr = command.size() > 4 && command.compare(command.size() - 4, 4, "_hdr") == 0;
    const WireBytes pixels = hdr ? float_payload(photo) : argb_payload(photo);
    if (command.compare(0, 7, "tonemap") == 0)
        return tonemap_request(command, pixels, photo_width, photo_height, 0, bench_settings());
    return decompose_request(command, pixels, photo_width, photo_height);
}

/// Measures one command; false when the bound or a reply fails.
bool measure(const std::string& command, const Image<float>& photo) {
    const Request request = request_for(command, photo);
    WireBytes reference;
    double alone = 0.0;
    {
        StartedService service;
        ReplyStorage storage;
        timed_exchange(service.port, request.data(), storage);
        reference = storage.reply();
        alone = peak_mib(service);
    }
    if (reference.empty()) throw std::runtime_error(command + " got no reply");

    StartedService service;
    std::vector<int> matches(simultaneous, 0);
    std::vector<std::thread> clients;
    for (int client = 0; client < simultaneous; ++client)
        clients.emplace_back([&, client] {
            ReplyStorage storage;
            timed_exchange(service.port, request.data(), storage);
            matches[client] = storage.length == reference.size() &&
                              std::equal(reference.begin(), reference.end(), storage.bytes.begin());
        });
    for (std::thread& client : clients) client.join();
    const double together = peak_mib(service);
    const int matching = static_cast<int>(std::count(matches.begin(), matches.end(), 1));
    const double ratio = together / alone;
    const bool within = ratio <= allowed_ratio && matching == simultaneous;
    std::printf(
        "  %-14s one alone %7.1f MiB   %d at once %7.1f MiB   ratio %4.2f   replies as alone %d/%d   %s\n",
        command.c_str(), alone, simultaneous, together, ratio, matching, simultaneous,
        within ? "ok" : "FAILED");
    std::fflush(stdout);
    return within;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> commands(argv + 1, argv + argc);
    if (commands.empty())
        commands = {"decompose_ldr", "decompose_hdr", "tonemap_ldr", "tonemap_hdr", "read_raw"};
    try {
        const Image<float> photo = bench_photo();
        std::printf(
            "bench_memory_bound: peak resident memory (VmHWM) of fresh services, %d x %d, "
            "at most %.0f times one alone\n",
            photo_width, photo_height, allowed_ratio);
        bool all_within = true;
        for (const std::string& command : commands) all_within = measure(command, photo) && all_within;
        return all_within ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_memory_bound: %s\n", error.what());
        return 1;
    }
}
