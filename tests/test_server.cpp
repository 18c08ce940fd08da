#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <pthread.h>

#include <gtest/gtest.h>

#include "server/flash_server.hpp"
#include "server/flash_types.hpp"
#include "wire_client.hpp"

namespace {

using namespace std::chrono_literals;

// A port that is free right now: the system picks it for a socket that is then released.
int free_port() {
    boost::asio::io_context io;
    tcp::acceptor probe(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    return probe.local_endpoint().port();
}

std::string text_of(const WireBytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

WireBytes bytes_of(const std::string& text) { return WireBytes(text.begin(), text.end()); }

// Counts what a connection watcher hears: each connection accepted, each connection ended.
class ConnectionCount {
public:
    std::function<void()> watcher() {
        return [this] {
            std::lock_guard<std::mutex> lock(mutex_);
            ++events_;
            heard_.notify_all();
        };
    }
    // True when exactly count events have been heard once count have, within ten seconds.
    bool reaches(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return heard_.wait_for(lock, 10s, [&] { return events_ >= count; }) && events_ == count;
    }

private:
    std::mutex mutex_;
    std::condition_variable heard_;
    int events_ = 0;
};

// A FlashServer on a free port, run on a thread of its own, with an "echo" command (reads an integer,
// answers it plus one) and a fallback that records every name it receives.
class ServerTest : public ::testing::Test {
protected:
    explicit ServerTest(const ConnectionLimits& limits = ConnectionLimits())
        : port(free_port()), server(std::make_shared<FlashServer>(port, limits)) {
        server->add_handler("echo", [](socket_ptr socket) {
            int value = 0;
            *socket >> value;
            *socket << value + 1;
        });
        server->set_default_handler([this](socket_ptr, std::string name) {
            std::lock_guard<std::mutex> lock(mutex);
            fallback_names.push_back(std::move(name));
        });
    }

    ~ServerTest() override {
        if (runner.joinable()) {
            server->stop();
            runner.join();
        }
    }

    void start() {
        runner = std::thread([server = server] { server->start(); });
    }

    std::vector<std::string> names() {
        std::lock_guard<std::mutex> lock(mutex);
        return fallback_names;
    }

    const int port;
    std::shared_ptr<FlashServer> server;
    std::thread runner;
    std::mutex mutex;
    std::vector<std::string> fallback_names;
};

TEST_F(ServerTest, ValuesAfterTheNameAreLeftForTheHandler) {
    start();
    Reply reply = exchange(port, Request("echo").integer(41));
    EXPECT_EQ(reply.integer(), 42);
    EXPECT_TRUE(reply.at_end());
    EXPECT_TRUE(names().empty());
}

TEST_F(ServerTest, NamesMatchOnlyExactlyAndTheRestGoToTheFallbackAsReceived) {
    start();
    for (const std::string name : {"Echo", "echo ", "", "ech", "unknown"})
        EXPECT_TRUE(exchange(port, Request(name)).data().empty()) << '"' << name << '"';
    EXPECT_EQ(names(), (std::vector<std::string>{"Echo", "echo ", "", "ech", "unknown"}));
}

TEST_F(ServerTest, WithoutFallbackAnUnknownNameIsClosedSilently) {
    server->set_default_handler(nullptr);
    start();
    EXPECT_TRUE(exchange(port, Request("unknown")).data().empty());
    EXPECT_EQ(exchange(port, Request("echo").integer(1)).integer(), 2);
}

TEST_F(ServerTest, LaterRegistrationReplacesTheHandler) {
    server->add_handler("echo", [](socket_ptr socket) { *socket << "replaced"; });
    start();
    EXPECT_EQ(exchange(port, Request("echo")).string(), "replaced");
}

TEST_F(ServerTest, EmptyHandlerOrThrowingHandlerEndOnlyTheirConnection) {
    server->add_handler("empty", command_handler());
    server->add_handler("throws", [](socket_ptr socket) {
        *socket << 7;
        throw std::runtime_error("failed half way");
    });
    start();
    EXPECT_TRUE(exchange(port, Request("empty")).data().empty());
    Reply reply = exchange(port, Request("throws"));
    EXPECT_EQ(reply.integer(), 7);
    EXPECT_TRUE(reply.at_end());
    EXPECT_EQ(exchange(port, Request("echo").integer(5)).integer(), 6);
}

TEST_F(ServerTest, WrongTypeFromClientEndsTheConnectionWithoutReply) {
    start();
    EXPECT_TRUE(exchange(port, Request("echo").string("5")).data().empty());
    EXPECT_EQ(exchange(port, Request("echo").integer(5)).integer(), 6);
}

TEST_F(ServerTest, NameBeyondTheBoundClosesTheConnection) {
    start();
    const std::string longest(max_command_name_length, 'n');
    EXPECT_TRUE(exchange(port, Request(longest)).data().empty());
    WireClient client(port);
    client.send(bytes_of(std::string(max_command_name_length + 1, 'n')));
    EXPECT_TRUE(client.read_to_end().empty());
    EXPECT_EQ(names(), std::vector<std::string>{longest});
}

TEST_F(ServerTest, ClientLeavingInsideTheNameRunsNoHandler) {
    ConnectionCount ended;
    server->set_connection_watcher(ended.watcher());
    start();
    {
        WireClient client(port);
        client.send(bytes_of("unkn"));
    }
    EXPECT_EQ(exchange(port, Request("echo").integer(0)).integer(), 1);
    ASSERT_TRUE(ended.reaches(4)) << "both connections accepted and ended";
    EXPECT_TRUE(names().empty());
}

TEST_F(ServerTest, PolicyWithOneDomainIs123BytesWithoutTrailingZero) {
    server->add_allowed_domain("localhost");
    start();
    const WireBytes reply = exchange(port, Request("<policy-file-request/>")).data();
    const std::string expected =
        "<?xml version=\"1.0\"?>\n<cross-domain-policy>\n"
        "<allow-access-from domain=\"localhost\" to-ports=\"" +
        std::to_string(port) + "\" />\n</cross-domain-policy>";
    EXPECT_EQ(text_of(reply), expected);
    // 123 bytes on the service's four-digit ports.
    EXPECT_EQ(reply.size(), 66u + 44u + 9u + std::to_string(port).size());
}

TEST_F(ServerTest, PolicyListsEveryDomainInOrderUnchanged) {
    for (const char* domain : {"localhost", "www.vozazuvazor.example", "www.lumerra.example",
                               "vozazuvazor.lumerra.example", "a\"b&c", "localhost"})
        server->add_allowed_domain(domain);
    start();
    const std::string ports = "\" to-ports=\"" + std::to_string(port) + "\" />\n";
    EXPECT_EQ(text_of(exchange(port, Request("<policy-file-request/>")).data()),
              "<?xml version=\"1.0\"?>\n<cross-domain-policy>\n"
              "<allow-access-from domain=\"localhost" +
                  ports + "<allow-access-from domain=\"www.vozazuvazor.example" + ports +
                  "<allow-access-from domain=\"www.lumerra.example" + ports +
                  "<allow-access-from domain=\"vozazuvazor.lumerra.example" + ports +
                  "<allow-access-from domain=\"a\"b&c" + ports + "<allow-access-from domain=\"localhost" +
                  ports + "</cross-domain-policy>");
}

TEST_F(ServerTest, PolicyWithoutDomainsIsTheBareDocument) {
    start();
    EXPECT_EQ(text_of(exchange(port, Request("<policy-file-request/>")).data()),
              "<?xml version=\"1.0\"?>\n<cross-domain-policy>\n</cross-domain-policy>");
}

TEST_F(ServerTest, PolicyRequestCanBeGivenAnotherHandler) {
    server->add_handler("<policy-file-request/>", [](socket_ptr socket) { *socket << "own"; });
    start();
    EXPECT_EQ(exchange(port, Request("<policy-file-request/>")).string(), "own");
}

TEST_F(ServerTest, SilentConnectionDoesNotDelayOthers) {
    start();
    WireClient silent(port);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange(port, Request("echo").integer(1), 5s).integer(), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
}

// Each handler waits until all of them have arrived, which only concurrent connections can achieve.
TEST_F(ServerTest, TwoHundredSimultaneousConnectionsAreAllServed) {
    constexpr int clients = 200;
    std::mutex arrivals_mutex;
    std::condition_variable all_arrived;
    int arrivals = 0;
    server->add_handler("gather", [&](socket_ptr socket) {
        std::unique_lock<std::mutex> lock(arrivals_mutex);
        ++arrivals;
        all_arrived.notify_all();
        const bool together = all_arrived.wait_for(lock, 20s, [&] { return arrivals == clients; });
        lock.unlock();
        *socket << together;
    });
    start();
    std::vector<std::unique_ptr<WireClient>> connections;
    for (int i = 0; i < clients; ++i) connections.push_back(std::make_unique<WireClient>(port));
    for (auto& connection : connections) ASSERT_TRUE(connection->send(Request("gather")));
    int served_together = 0;
    for (auto& connection : connections) {
        Reply reply(connection->read_to_end());
        served_together += reply.boolean() ? 1 : 0;
    }
    EXPECT_EQ(served_together, clients);
}

TEST_F(ServerTest, AcceptedConnectionsSendSmallWritesWithoutNagleDelay) {
    server->add_handler("nagle", [](socket_ptr socket) {
        tcp::no_delay option;
        socket->get_option(option);
        *socket << option.value();
    });
    start();
    EXPECT_TRUE(exchange(port, Request("nagle")).boolean());
}

// A "hold" command whose handler keeps its connection open until the test releases it, then
// answers true.
class HoldGate {
public:
    void install(FlashServer& server) {
        server.add_handler("hold", [this](socket_ptr socket) {
            std::unique_lock<std::mutex> lock(mutex_);
            entered_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return released_; });
            lock.unlock();
            *socket << true;
        });
    }
    // Opens a connection that sends "hold" and returns it once the handler holds it.
    std::unique_ptr<WireClient> held_connection(int port) {
        auto client = std::make_unique<WireClient>(port);
        client->send(Request("hold"));
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return entered_; });
        return client;
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            released_ = true;
        }
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool released_ = false;
};

TEST_F(ServerTest, ServerOutlivesItsOwnerWhileAConnectionIsServed) {
    HoldGate gate;
    gate.install(*server);
    start();
    const auto client = gate.held_connection(port);
    server->stop();
    runner.join();
    const std::weak_ptr<FlashServer> watch = server;
    server.reset();
    EXPECT_FALSE(watch.expired());
    gate.release();
    EXPECT_TRUE(Reply(client->read_to_end()).boolean());
    client->close();
    for (int i = 0; i < 200 && !watch.expired(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(watch.expired());
}

// The watcher hears of a connection as soon as it is accepted, while its handler still runs, and
// again once it has been closed, which follows the client's close.
TEST_F(ServerTest, WatcherHearsOfEachConnectionWhenAcceptedAndOnceItIsClosed) {
    ConnectionCount events;
    server->set_connection_watcher(events.watcher());
    HoldGate gate;
    gate.install(*server);
    start();
    const auto held = gate.held_connection(port);
    EXPECT_TRUE(events.reaches(1));
    gate.release();
    EXPECT_TRUE(Reply(held->read_to_end()).boolean());
    held->close();
    EXPECT_TRUE(events.reaches(2));
}

// A watcher that fails, as one whose thread cannot be started does, ends neither the accept loop nor
// the connections.
TEST_F(ServerTest, FailingWatcherEndsNeitherTheServerNorItsConnections) {
    server->set_connection_watcher([] { throw std::system_error(EAGAIN, std::generic_category()); });
    start();
    EXPECT_EQ(exchange(port, Request("echo").integer(1)).integer(), 2);
    EXPECT_EQ(exchange(port, Request("echo").integer(2)).integer(), 3);
}

constexpr std::chrono::milliseconds stall_limit{300};

ConnectionLimits stall_limits() {
    ConnectionLimits limits;
    limits.stall = stall_limit;
    return limits;
}

// The server of ServerTest with these limits, a "length" command that reads a byte array and
// answers its length, and a "flood" command that answers a 16 MiB byte array it holds until its
// handler ends.
class TransferServerTest : public ServerTest {
protected:
    static constexpr std::size_t flood_size = 16 << 20;

    explicit TransferServerTest(const ConnectionLimits& limits) : ServerTest(limits) {
        server->add_handler("length", [](socket_ptr socket) {
            std::vector<unsigned char> bytes;
            *socket >> bytes;
            *socket << static_cast<int>(bytes.size());
        });
        server->add_handler("flood", [this](socket_ptr socket) {
            const auto reply = std::make_shared<std::vector<unsigned char>>(flood_size, 0x5A);
            {
                std::lock_guard<std::mutex> lock(mutex);
                held_reply = reply;
                flood_made = true;
            }
            *socket << *reply;
        });
    }

    // True once the flood reply has been made and released again, within timeout.
    bool flood_released_within(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (flood_made && held_reply.expired()) return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
    }

    std::weak_ptr<std::vector<unsigned char>> held_reply;
    bool flood_made = false;
};

// A short stall limit; every other limit as the service has it.
class StallServerTest : public TransferServerTest {
protected:
    StallServerTest() : TransferServerTest(stall_limits()) {}
};

TEST_F(StallServerTest, SilentConnectionIsClosedAfterTheLimitWithoutDelayingOthers) {
    start();
    const auto begin = std::chrono::steady_clock::now();
    WireClient silent(port);
    EXPECT_EQ(exchange(port, Request("echo").integer(1), 5s).integer(), 2);
    EXPECT_TRUE(silent.quiet()) << "closed before anything was due";
    EXPECT_TRUE(silent.read_to_end(10s).empty());
    EXPECT_GE(std::chrono::steady_clock::now() - begin, stall_limit);
}

TEST_F(StallServerTest, ClientThatStopsInsideItsRequestIsClosedUnanswered) {
    start();
    WireClient client(port);
    client.send(Request("length").raw({0x0C, 8, 0, 0, 0, 1, 2, 3}));
    EXPECT_TRUE(client.read_to_end(10s).empty());
}

TEST_F(StallServerTest, ReplyTheClientNeverTakesIsReleased) {
    start();
    WireClient client(port);
    client.send(Request("flood"));
    EXPECT_TRUE(flood_released_within(10s));
}

// Each pause is a third of the limit, and the whole exchange takes several limits.
TEST_F(StallServerTest, SlowButSteadyClientsAreNeverCutOff) {
    start();
    WireClient sender(port);
    const WireBytes request = Request("length").bytes(WireBytes(10, 7)).data();
    for (unsigned char byte : request) {
        ASSERT_TRUE(sender.send(WireBytes{byte}));
        std::this_thread::sleep_for(stall_limit / 3);
    }
    EXPECT_EQ(Reply(sender.read_to_end(10s)).integer(), 10);

    // With a small receive buffer every read is acknowledged, but once the buffers between them are
    // full the reader takes far less per limit than the service's system waits for before it calls
    // the socket writable again.
    WireClient reader(port, 64 << 10);
    reader.send(Request("flood"));
    std::size_t received = 0;
    for (int piece = 0; piece < 10; ++piece) {
        received += reader.read_at_least(1, 10s).size();
        std::this_thread::sleep_for(stall_limit / 3);
    }
    received += reader.read_to_end(10s).size();
    EXPECT_EQ(received, 5 + flood_size);
}

// Short limits, so that each is reached within a second: half a second for the name and each
// value, and 1 MiB/s judged over half a second of transfers (512 KiB a window).
constexpr std::chrono::milliseconds short_deadline{500};
constexpr std::uint64_t short_discard_limit = 4 << 20;

ConnectionLimits short_limits() {
    ConnectionLimits limits;
    limits.command_name = short_deadline;
    limits.value = short_deadline;
    limits.rate = 1 << 20;
    limits.rate_window = short_deadline;
    limits.discarded_bytes = short_discard_limit;
    return limits;
}

// The server of TransferServerTest with short_limits, and three more commands: "peek" answers the
// count that peek_byte_array_size sees (-1 for none), "refuse" answers false without reading
// anything, "pieces" answers eight byte arrays of 1 MiB.
class LimitServerTest : public TransferServerTest {
protected:
    static constexpr int piece_count = 8;
    static constexpr std::size_t piece_size = 1 << 20;

    LimitServerTest() : TransferServerTest(short_limits()) {
        server->add_handler("peek", [](socket_ptr socket) {
            const std::optional<std::size_t> count = peek_byte_array_size(*socket);
            *socket << (count ? static_cast<int>(*count) : -1);
        });
        server->add_handler("refuse", [](socket_ptr socket) { *socket << false; });
        server->add_handler("pieces", [](socket_ptr socket) {
            const std::vector<unsigned char> piece(piece_size, 0x33);
            for (int i = 0; i < piece_count; ++i) *socket << piece;
        });
    }

    // Sends bytes one piece every period until the service has closed the connection or everything
    // has gone, and returns how long the service took to close it from the first piece on; nothing
    // when it stayed open.
    static std::optional<std::chrono::milliseconds> closed_while_trickling(WireClient& client,
                                                                           const WireBytes& bytes,
                                                                           std::size_t piece,
                                                                           std::chrono::milliseconds period) {
        const auto begin = std::chrono::steady_clock::now();
        for (std::size_t sent = 0; sent < bytes.size(); sent += piece) {
            const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(sent);
            client.send(
                WireBytes(first, first + static_cast<std::ptrdiff_t>(std::min(piece, bytes.size() - sent))));
            std::this_thread::sleep_for(period);
            if (!client.quiet())
                return std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - begin);
        }
        return std::nullopt;
    }
};

TEST_F(LimitServerTest, NameTrickledAByteAtATimeIsClosedAtTheNameDeadline) {
    start();
    WireClient client(port);
    const std::optional<std::chrono::milliseconds> closed =
        closed_while_trickling(client, bytes_of(std::string(100, 'n')), 1, 50ms);
    ASSERT_TRUE(closed) << "the name trickled for five seconds";
    EXPECT_GE(*closed, short_deadline - 100ms);
    EXPECT_TRUE(client.read_to_end(10s).empty());
    EXPECT_TRUE(names().empty());
}

// The marker is one value and the integer's four bytes another: each has a deadline of its own.
TEST_F(LimitServerTest, ValueThatTricklesIsClosedAtItsDeadlineWhilePausesBetweenValuesAreServed) {
    start();
    WireClient trickling(port);
    trickling.send(Request("echo").raw({0x04}));
    EXPECT_TRUE(closed_while_trickling(trickling, {41, 0, 0, 0}, 1, 200ms)) << "the integer took 800 ms";
    EXPECT_TRUE(trickling.read_to_end(10s).empty());

    WireClient pausing(port);
    const WireBytes request = Request("echo").integer(41).data();
    pausing.send(WireBytes(request.begin(), request.begin() + 5));
    std::this_thread::sleep_for(short_deadline * 3 / 5);
    pausing.send(WireBytes{request[5]});
    std::this_thread::sleep_for(short_deadline * 3 / 5);
    pausing.send(WireBytes(request.begin() + 6, request.end()));
    EXPECT_EQ(Reply(pausing.read_to_end(10s)).integer(), 42);
}

// The image handlers wait for a request's count this way before it takes a share of the budget.
TEST_F(LimitServerTest, PeekThatWaitsForACountCutShortEndsAtTheValueDeadline) {
    start();
    WireClient client(port);
    client.send(Request("peek").raw({0x0C, 16, 0}));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(Reply(client.read_at_least(5, 5s)).integer(), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, short_deadline - 100ms);
    EXPECT_EQ(exchange(port, Request("peek").bytes(WireBytes(16, 1))).integer(), 16);
}

TEST_F(LimitServerTest, PayloadThatTricklesBelowTheRateIsClosedUnanswered) {
    start();
    WireClient client(port);
    client.send(Request("length").raw({0x0C, 0, 0, 0x10, 0}));
    // 20 KiB a second against the 1 MiB a second the limit asks for.
    const std::optional<std::chrono::milliseconds> closed =
        closed_while_trickling(client, WireBytes(100 << 10, 7), 1 << 10, 50ms);
    ASSERT_TRUE(closed) << "the payload trickled for five seconds";
    EXPECT_LT(*closed, 5s);
    EXPECT_TRUE(client.read_to_end(10s).empty());
}

// With a small receive buffer the reader takes a few kilobytes each time, far below the rate. Once
// the service has given up, its system still delivers what it had taken into its buffers, then the
// end of the stream.
TEST_F(LimitServerTest, SlowReaderIsClosedAtTheRateWindowAndItsReplyReleased) {
    start();
    WireClient reader(port, 4 << 10);
    reader.send(Request("flood"));
    std::size_t received = 0;
    const auto begin = std::chrono::steady_clock::now();
    while (!flood_released_within(0ms) && std::chrono::steady_clock::now() - begin < 10s) {
        received += reader.read_at_least(1, 10s).size();
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s) << "the reply was held while the reader was slow";
    received += reader.read_to_end(10s).size();
    EXPECT_LT(received, 5 + flood_size) << "the slow reader was served the whole reply";
}

TEST_F(LimitServerTest, HonestReaderThatPausesBetweenValuesIsServedWhole) {
    start();
    WireClient reader(port);
    reader.send(Request("pieces"));
    std::size_t received = 0;
    for (int i = 0; i < piece_count; ++i) {
        received += reader.read_at_least(5 + piece_size, 10s).size();
        std::this_thread::sleep_for(150ms);
    }
    received += reader.read_to_end(10s).size();
    EXPECT_EQ(received, piece_count * (5 + piece_size));
}

// Answered before its payload was read, the client still sends it whole, then reads the answer.
TEST_F(LimitServerTest, AnswerGivenBeforeThePayloadIsReadReachesAClientStillSending) {
    start();
    for (int trial = 0; trial < 3; ++trial) {
        WireClient client(port);
        EXPECT_TRUE(client.send(Request("refuse").bytes(WireBytes(short_discard_limit - 1024, 1))))
            << "the service reset the connection";
        EXPECT_EQ(client.read_to_end(10s), WireBytes{0x02});
    }
}

// After its answer a connection only costs its thread: it is let go of once the client sends more
// than any request still has in flight, sends too slowly or stays open without sending.
TEST_F(LimitServerTest, ClientThatGoesOnSendingAfterItsAnswerIsLetGo) {
    ConnectionCount events;
    server->set_connection_watcher(events.watcher());
    start();
    WireClient streaming(port);
    EXPECT_FALSE(streaming.send(Request("refuse").bytes(WireBytes(4 * short_discard_limit, 1))));
    EXPECT_TRUE(events.reaches(2));

    WireClient trickling(port);
    trickling.send(Request("refuse"));
    EXPECT_TRUE(closed_while_trickling(trickling, WireBytes(4 << 10, 1), 1, 10ms));
    EXPECT_TRUE(events.reaches(4));

    WireClient staying(port);
    staying.send(Request("refuse"));
    EXPECT_EQ(staying.read_at_least(1, 10s), WireBytes{0x02});
    EXPECT_TRUE(events.reaches(6)) << "closed while the client stays";
}

TEST_F(LimitServerTest, ConnectionThreadsHaveTheSmallStack) {
    server->add_handler("stack", [](socket_ptr socket) {
        pthread_attr_t attributes;
        std::size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            pthread_attr_getstacksize(&attributes, &size);
            pthread_attr_destroy(&attributes);
        }
        *socket << static_cast<int>(size);
    });
    start();
    const int size = exchange(port, Request("stack")).integer();
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer enlarges every stack it starts by its own thread-local state.
    EXPECT_LT(size, 1 << 20);
#else
    EXPECT_EQ(size, static_cast<int>(connection_stack_size));
#endif
}

// A stack too small for any thread: no connection's thread can be started.
class UnstartableThreadServerTest : public ServerTest {
protected:
    static ConnectionLimits unstartable() {
        ConnectionLimits limits;
        limits.stack_size = 1;
        return limits;
    }
    UnstartableThreadServerTest() : ServerTest(unstartable()) {}
};

TEST_F(UnstartableThreadServerTest, ConnectionWhoseThreadCannotStartIsClosedUnansweredAndTheServerGoesOn) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer enlarges every stack it starts";
#endif
    start();
    EXPECT_TRUE(exchange(port, Request("echo").integer(1), 5s).data().empty());
    EXPECT_TRUE(exchange(port, Request("echo").integer(2), 5s).data().empty()) << "the next one is accepted";
}

TEST(ServerPort, PortInUseFailsConstruction) {
    const int port = free_port();
    const auto server = std::make_shared<FlashServer>(port);
    EXPECT_EQ(server->port(), port);
    EXPECT_THROW(std::make_shared<FlashServer>(port), boost::system::system_error);
}

}  // namespace
