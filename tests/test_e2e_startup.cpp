#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>

#include "service_process.hpp"
#include "tcp_table.hpp"
#include "wire_client.hpp"

namespace {

using boost::asio::ip::tcp;
using namespace std::chrono_literals;

constexpr int first_port = 4521;
constexpr int last_port = 4530;

// Listening sockets that keep ports of the service's range taken, the way another program would.
class PortBlocker {
public:
    // Takes the port unless it is taken already; either way the service cannot have it.
    void block(int port) {
        auto acceptor = std::make_unique<tcp::acceptor>(io_);
        boost::system::error_code error;
        acceptor->open(tcp::v4(), error);
        acceptor->set_option(tcp::acceptor::reuse_address(true), error);
        acceptor->bind(tcp::endpoint(tcp::v4(), static_cast<unsigned short>(port)), error);
        if (!error) acceptor->listen(tcp::acceptor::max_listen_connections, error);
        if (!error) acceptors_.push_back(std::move(acceptor));
    }

    // True when the service could listen on the port now.
    static bool is_free(int port) {
        PortBlocker probe;
        probe.block(port);
        return !probe.acceptors_.empty();
    }

private:
    boost::asio::io_context io_;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors_;
};

// The lowest port of the range from `from` on that is free now; other test runs may hold some.
std::optional<int> first_free_port(int from = first_port) {
    for (int port = from; port <= last_port; ++port)
        if (PortBlocker::is_free(port)) return port;
    return std::nullopt;
}

// A string value of fewer than 256 bytes as it travels.
WireBytes short_string(const std::string& text) {
    WireBytes bytes(5 + text.size(), 0);
    bytes[0] = 0x06;
    bytes[1] = static_cast<unsigned char>(text.size());
    std::copy(text.begin(), text.end(), bytes.begin() + 5);
    return bytes;
}

TEST(Startup, ServesOnTheFirstFreePortAndAnswersVersionPolicyAndUnknownNames) {
    const std::optional<int> expected_port = first_free_port();
    ASSERT_TRUE(expected_port) << "every port of the range is taken";
    ServiceProcess service;
    const std::optional<int> port = service.wait_for_port();
    ASSERT_EQ(port, expected_port);

    WireBytes version = short_string("Lumerra Vozazuvazor");
    for (const char* text : {"1.0", "lm_accelerator.win"}) {
        const WireBytes value = short_string(text);
        version.insert(version.end(), value.begin(), value.end());
    }
    EXPECT_EQ(exchange(*port, Request("version")).data(), version);
    EXPECT_TRUE(service.wait_for_line("INFO: Command received - version"));

    const std::string allow_end = "\" to-ports=\"" + std::to_string(*port) + "\" />\n";
    const WireBytes policy = exchange(*port, Request("<policy-file-request/>")).data();
    EXPECT_EQ(std::string(policy.begin(), policy.end()),
              "<?xml version=\"1.0\"?>\n<cross-domain-policy>\n"
              "<allow-access-from domain=\"localhost" +
                  allow_end + "<allow-access-from domain=\"www.vozazuvazor.example" + allow_end +
                  "<allow-access-from domain=\"www.lumerra.example" + allow_end +
                  "<allow-access-from domain=\"vozazuvazor.lumerra.example" + allow_end +
                  "</cross-domain-policy>");

    EXPECT_TRUE(exchange(*port, Request("Version")).data().empty());
    EXPECT_EQ(service.wait_for_line("ERROR: Unknown command received - "),
              "ERROR: Unknown command received - Version");
    EXPECT_TRUE(exchange(*port, Request("")).data().empty());
    EXPECT_EQ(service.wait_for_line("ERROR: Unknown command received - "),
              "ERROR: Unknown command received - ");
}

// A name with a line break would otherwise write a line of its own, which anything that reads the
// port from the log would believe.
TEST(Startup, UnknownNameCannotForgeALogLine) {
    ServiceProcess service;
    const std::optional<int> port = service.wait_for_port();
    ASSERT_TRUE(port);
    EXPECT_TRUE(exchange(*port, Request("x\nINFO: Server started on port 4999\x1B[0m")).data().empty());
    EXPECT_EQ(service.wait_for_line("ERROR: Unknown command received - "),
              "ERROR: Unknown command received - x\\x0AINFO: Server started on port 4999\\x1B[0m");
    EXPECT_EQ(exchange(*port, Request("version")).string(), "Lumerra Vozazuvazor");
    ASSERT_TRUE(service.wait_for_line("INFO: Command received - version"));
    EXPECT_EQ(service.lines().size(), 3u) << "start-up, the refused name and the version request";
}

TEST(Startup, TakesTheNextPortWhenTheFirstIsTaken) {
    PortBlocker blocker;
    blocker.block(first_port);
    const std::optional<int> expected_port = first_free_port(first_port + 1);
    ASSERT_TRUE(expected_port) << "every port of the range is taken";
    ServiceProcess service;
    EXPECT_EQ(service.wait_for_port(), expected_port);
    EXPECT_EQ(exchange(*expected_port, Request("version")).string(), "Lumerra Vozazuvazor");
}

TEST(Startup, AllPortsTakenIsFatal) {
    PortBlocker blocker;
    for (int port = first_port; port <= last_port; ++port) blocker.block(port);
    ServiceProcess service;
    EXPECT_EQ(service.wait_for_exit(), 1);
    EXPECT_EQ(service.lines(), std::vector<std::string>{"FATAL: Unable to start server"});
}

TEST(Startup, SecondInstanceStopsUnlessForced) {
    ServiceProcess first;
    ASSERT_TRUE(first.wait_for_port());

    // Options match whole arguments exactly: none of these is "-f".
    ServiceProcess second(ServiceOptions({"-F", "-bf", "-f ", "--f"}));
    EXPECT_EQ(second.wait_for_exit(), 1);
    EXPECT_EQ(second.lines(), std::vector<std::string>{"FATAL: Program is already running"});

    ServiceProcess forced(ServiceOptions({"-b", "-f", "-f"}));
    const std::optional<int> port = forced.wait_for_port();
    ASSERT_TRUE(port);
    EXPECT_EQ(exchange(*port, Request("version")).string(), "Lumerra Vozazuvazor");
}

// A byte array announced with the largest count and never sent must not cost its size in memory,
// nor keep the service from serving others. So large a request is served alone: one of them reads
// what was sent of its array while the others wait, their bytes unread.
TEST(Startup, HugeAnnouncedByteArrayCostsNoMemoryAndServiceGoesOn) {
    ServiceProcess service;
    const std::optional<int> port = service.wait_for_port();
    ASSERT_TRUE(port);
    exchange(*port, Request("version"));
    ASSERT_TRUE(service.wait_for_line("INFO: Command received - version"));
    const long before = service.resident_kib();

    constexpr int clients = 8;
    std::vector<std::unique_ptr<WireClient>> waiting;
    for (int i = 0; i < clients; ++i) {
        waiting.push_back(std::make_unique<WireClient>(*port));
        waiting.back()->send(Request("read_raw").raw({0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3}));
    }
    for (int i = 0; i < clients; ++i) ASSERT_TRUE(service.wait_for_line("INFO: Command received - read_raw"));
    std::vector<unsigned long> one_reading(clients, 8);
    one_reading.front() = 0;
    ASSERT_TRUE(unread_bytes_become(*port, one_reading, 10s))
        << "the service never read what one client sent";
    const long during = service.resident_kib();
    EXPECT_LT(during - before, 64 * 1024) << "KiB resident before " << before << ", while waiting " << during;
    EXPECT_EQ(exchange(*port, Request("version"), 5s).string(), "Lumerra Vozazuvazor");
}

}  // namespace
