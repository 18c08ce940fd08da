// Hostile payloads against the built service with its default limits, one printed line a case:
//   taken_back  five "tonemap_ldr" clients announce 1 GiB payloads and trickle a byte every 20 s
//               while each is admitted and made to give way, then send their payloads at once; the
//               peak resident memory (VmHWM) must stay within 3 times that of one 12-megapixel
//               "tonemap_ldr" alone.
//   silent      nine clients announce 1 GiB payloads and send nothing more; a 2 x 1 request sent
//               behind them must be answered within 15 s.
//   stretched   a 7 KB DNG announcing 5000 x 4000 whose pixels LibRaw would stretch ten times taller
//               (2.4 GB of floats) must get the reply of an undecodable file, the peak under 1 GiB.
//   two_raw     two 7 KB DNGs announcing 12000 x 12000, sent at once, may cost at most 1.25 times
//               one alone.
// Each case starts fresh services. Waits are capped, so that an older build is measured too.
//
// Usage: bench_hostile_payloads [--binary PATH] [case ...]   (every case when none is named)

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench/bench_cases.hpp"
#include "bench/bench_inputs.hpp"
#include "bench/bench_timing.hpp"
#include "bench/timed_exchange.hpp"
#include "tests/dng_writer.hpp"
#include "tests/image_requests.hpp"
#include "tests/service_process.hpp"
#include "tests/wire_client.hpp"

namespace {

using Clock = BenchClock;

/// The announced payload of the hostile clients: 1 GiB, an ARGB image of 16384 x 16384.
constexpr std::uint32_t gigabyte = 1u << 30;
constexpr int gigabyte_side = 16384;
/// How long the longest wait of a case may last before the case reports it unanswered.
constexpr std::chrono::seconds longest_wait{150};

/// The start of a "tonemap_ldr" request that announces a 1 GiB payload, with the payload's first
/// byte or without it.
Request gigabyte_announcement(bool payload_begun) {
    Request request("tonemap_ldr");
    request.raw({0x0C, 0, 0, 0, 0x40});
    if (payload_begun) request.raw({0});
    return request;
}

/// Sends the rest of an announced 1 GiB payload, of which already bytes went out, a mebibyte at a
/// time, then the request's integers and settings; false once the service has closed the
/// connection.
bool send_rest_of_gigabyte_request(WireClient& client, std::size_t already) {
    const WireBytes chunk(std::size_t{1} << 20, 0x80);
    for (std::size_t left = gigabyte - already; left > 0;) {
        const std::size_t size = std::min(left, chunk.size());
        if (!client.send(size == chunk.size() ? chunk : WireBytes(chunk.begin(), chunk.begin() + size)))
            return false;
        left -= size;
    }
    // The values after the payload: all of a request for an empty payload past its name ("x" and
    // its zero byte) and the payload's marker and count.
    const Request values = tonemap_request("x", {}, gigabyte_side, gigabyte_side, 0, bench_settings());
    return client.send(WireBytes(values.data().begin() + 7, values.data().end()));
}

/// A small tone-mapping request on a connection of its own; the seconds until its reply, or
/// nothing when it is not answered within longest_wait.
std::optional<double> seconds_to_answer_a_small_request(int port) {
    const Clock::time_point asked = Clock::now();
    const WireBytes pixels = {255, 60, 120, 180, 255, 200, 100, 70};
    try {
        const Reply reply = exchange(port, tonemap_request("tonemap_ldr", pixels, 2, 1), longest_wait);
        if (reply.data().empty()) return std::nullopt;
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
    return seconds_since(asked);
}

/// What came back for a request read as it streams in, without holding the reply.
struct StreamedReply {
    /// The reply's first bytes.
    WireBytes head;
    /// Bytes received in all.
    std::uint64_t length = 0;
};

/// Sends request on a new connection and reads the reply until the service closes it, keeping only
/// its first 64 bytes.
StreamedReply streamed_exchange(int port, const WireBytes& request) {
    const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(descriptor);
        throw std::runtime_error("connection refused");
    }
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t written =
            ::send(descriptor, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (written <= 0) break;
        sent += static_cast<std::size_t>(written);
    }
    StreamedReply reply;
    std::vector<unsigned char> buffer(std::size_t{1} << 20);
    for (;;) {
        const ssize_t received = ::recv(descriptor, buffer.data(), buffer.size(), 0);
        if (received <= 0) break;
        const std::size_t kept =
            std::min<std::size_t>(64 - reply.head.size(), static_cast<std::size_t>(received));
        reply.head.insert(reply.head.end(), buffer.begin(),
                          buffer.begin() + static_cast<std::ptrdiff_t>(kept));
        reply.length += static_cast<std::uint64_t>(received);
    }
    ::close(descriptor);
    return reply;
}

/// The count of the byte array at the front of a reply; 0 when it holds none.
std::uint64_t first_byte_array_count(const WireBytes& head) {
    if (head.size() < 5 || head[0] != 0x0C) return 0;
    return std::uint64_t{head[1]} | std::uint64_t{head[2]} << 8 | std::uint64_t{head[3]} << 16 |
           std::uint64_t{head[4]} << 24;
}

/// The reply of a raw file that cannot be decoded: two empty images with sides of 0, an empty preview.
WireBytes undecodable_reply() {
    const WireBytes empty = {0x0C, 0, 0, 0, 0};
    const WireBytes zero = {0x04, 0, 0, 0, 0};
    WireBytes reply;
    for (const WireBytes* value : {&empty, &zero, &zero, &empty, &zero, &zero, &empty})
        reply.insert(reply.end(), value->begin(), value->end());
    return reply;
}

/// A DNG of a few kilobytes labelled lossless JPEG, which LibRaw takes for a black picture of the
/// announced sides, its pixels stretched vertical times taller.
WireBytes black_dng(int width, int height, double vertical) {
    DngDescription d;
    d.scene = uniform_scene({0.2, 0.2, 0.2});
    d.labelled_lossless_jpeg = true;
    d.announced_width = width;
    d.announced_height = height;
    d.default_scale[1] = vertical;
    return make_dng(d);
}

/// Connections that each announce a 1 GiB "tonemap_ldr" payload, in order: each has been received
/// before the next connects.
std::vector<std::unique_ptr<WireClient>> announce_gigabytes(StartedService& service, int count,
                                                            bool payload_begun) {
    std::vector<std::unique_ptr<WireClient>> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<WireClient>(service.port));
        clients.back()->send(gigabyte_announcement(payload_begun));
        service.process.wait_for_line("INFO: Command received - tonemap_ldr");
    }
    return clients;
}

bool announcers_taken_back(const ServiceOptions& options) {
    double alone = 0.0;
    {
        StartedService service(options);
        const Image<float> photo = bench_photo();
        ReplyStorage storage;
        timed_exchange(service.port,
                       tonemap_request("tonemap_ldr", argb_payload(photo), photo_width, photo_height, 0,
                                       bench_settings())
                           .data(),
                       storage);
        alone = peak_mib(service);
    }
    StartedService service(options);
    constexpr int announcers = 5;
    std::vector<std::unique_ptr<WireClient>> clients = announce_gigabytes(service, announcers, true);
    // Each in turn is admitted and, once another waits, made to give way: long enough for the
    // slowest rule measured (10 s of grace each).
    constexpr int trickled = 3;
    for (int round = 0; round < trickled; ++round) {
        std::this_thread::sleep_for(std::chrono::seconds(20));
        for (auto& client : clients) client->send(WireBytes{0x80});
    }
    std::vector<int> whole(announcers, 0);
    std::vector<std::thread> senders;
    for (int i = 0; i < announcers; ++i)
        senders.emplace_back([&, i] { whole[i] = send_rest_of_gigabyte_request(*clients[i], 1 + trickled); });
    for (std::thread& sender : senders) sender.join();
    for (auto& client : clients) {
        try {
            client->read_to_end(longest_wait);
        } catch (const std::runtime_error&) {
        }
    }
    const int sent_whole = static_cast<int>(std::count(whole.begin(), whole.end(), 1));
    const double together = peak_mib(service);
    const bool within = together <= 3.0 * alone;
    std::printf(
        "  taken_back   one 12 MP tonemap_ldr alone %7.1f MiB   five 1 GiB announcers %7.1f MiB"
        "   ratio %4.2f (at most 3)   payloads sent whole %d/%d   %s\n",
        alone, together, together / alone, sent_whole, announcers, within ? "ok" : "FAILED");
    return within;
}

bool silent_announcers(const ServiceOptions& options) {
    StartedService service(options);
    constexpr int announcers = 9;
    const std::vector<std::unique_ptr<WireClient>> clients = announce_gigabytes(service, announcers, false);
    const std::optional<double> seconds = seconds_to_answer_a_small_request(service.port);
    const bool within = seconds && *seconds <= 15.0;
    if (seconds)
        std::printf(
            "  silent       2 x 1 request behind nine silent 1 GiB announcers: answered in %.1f s"
            " (at most 15)   %s\n",
            *seconds, within ? "ok" : "FAILED");
    else
        std::printf(
            "  silent       2 x 1 request behind nine silent 1 GiB announcers: not answered within"
            " %lld s   FAILED\n",
            static_cast<long long>(longest_wait.count()));
    return within;
}

bool stretched_dng(const ServiceOptions& options) {
    StartedService service(options);
    const WireBytes file = black_dng(5000, 4000, 10.0);
    const StreamedReply reply = streamed_exchange(service.port, Request("read_raw").bytes(file).data());
    const double peak = peak_mib(service);
    const bool undecodable = reply.head == undecodable_reply();
    const bool within = undecodable && peak < 1024.0;
    std::printf(
        "  stretched    %zu-byte DNG, 5000 x 4000 ten times taller: %s (first byte array %llu bytes,"
        " reply %llu bytes)   peak %7.1f MiB (under 1024)   %s\n",
        file.size(), undecodable ? "undecodable reply" : "decoded",
        static_cast<unsigned long long>(first_byte_array_count(reply.head)),
        static_cast<unsigned long long>(reply.length), peak, within ? "ok" : "FAILED");
    return within;
}

bool two_raw(const ServiceOptions& options) {
    const WireBytes request = Request("read_raw").bytes(black_dng(12000, 12000, 1.0)).data();
    double alone = 0.0;
    std::uint64_t alone_length = 0;
    {
        StartedService service(options);
        alone_length = streamed_exchange(service.port, request).length;
        alone = peak_mib(service);
    }
    StartedService service(options);
    std::vector<std::uint64_t> lengths(2, 0);
    std::vector<std::thread> clients;
    const Clock::time_point start = Clock::now();
    for (int client = 0; client < 2; ++client)
        clients.emplace_back(
            [&, client] { lengths[client] = streamed_exchange(service.port, request).length; });
    for (std::thread& client : clients) client.join();
    const double seconds = seconds_since(start);
    const double together = peak_mib(service);
    const bool replies = lengths[0] == alone_length && lengths[1] == alone_length;
    const bool within = replies && together <= 1.25 * alone;
    std::printf(
        "  two_raw      one 144 MP raw alone %7.1f MiB   two at once %7.1f MiB   ratio %4.2f"
        " (at most 1.25)   replies of %llu bytes %s, both in %.1f s   %s\n",
        alone, together, together / alone, static_cast<unsigned long long>(alone_length),
        replies ? "as alone" : "DIFFERENT", seconds, within ? "ok" : "FAILED");
    return within;
}

}  // namespace

int main(int argc, char** argv) {
    return run_bench_cases("bench_hostile_payloads", "default limits", argc, argv,
                           {{"taken_back", announcers_taken_back},
                            {"silent", silent_announcers},
                            {"stretched", stretched_dng},
                            {"two_raw", two_raw}});
}
