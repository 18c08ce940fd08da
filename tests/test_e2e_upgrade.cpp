#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "tests/service_process.hpp"
#include "tests/tcp_table.hpp"
#include "tests/user_socket.hpp"
#include "tests/wire_client.hpp"

namespace {

using namespace std::chrono_literals;

/// The file's bytes; none when it cannot be read. Read in one call: programs of tens of megabytes
/// are compared here, and byte by byte that takes seconds under the sanitizers.
WireBytes file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
    WireBytes bytes(size > 0 ? static_cast<std::size_t>(size) : 0);
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
        return {};
    }
    return bytes;
}

void write_file(const std::string& path, const WireBytes& bytes, mode_t mode) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ::chmod(path.c_str(), mode);
}

mode_t mode_of(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::string command_line_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// The processes whose parent is this test, found through /proc.
std::vector<pid_t> children_of_this_process() {
    std::vector<pid_t> children;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream in(entry.path() / "stat");
        const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::size_t after_name = stat.rfind(')');
        if (after_name == std::string::npos) {
            continue;
        }
        char state = 0;
        int parent = 0;
        if (std::sscanf(stat.c_str() + after_name + 1, " %c %d", &state, &parent) == 2 &&
            parent == ::getpid()) {
            children.push_back(std::stoi(name));
        }
    }
    return children;
}

/// Waits up to timeout for a child of this process to end; its exit status, or -1 when it did not
/// exit normally in time.
int exit_status_of_child(pid_t child, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// Makes this test the parent of the services that restarted services leave behind (instead of
/// init), so that the test can find them by parent and reap every one of them at the end.
class AdoptedProcesses {
public:
    AdoptedProcesses() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
    ~AdoptedProcesses() {
        for (pid_t child : children_of_this_process()) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
    AdoptedProcesses(const AdoptedProcesses&) = delete;
    AdoptedProcesses& operator=(const AdoptedProcesses&) = delete;
};

/// The first IPv4 address of this machine outside the loopback network, if there is one.
std::optional<boost::asio::ip::address_v4> address_outside_loopback() {
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0) {
        return std::nullopt;
    }
    std::optional<boost::asio::ip::address_v4> found;
    for (ifaddrs* i = interfaces; i != nullptr && !found; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        const auto* address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        const boost::asio::ip::address_v4 candidate(ntohl(address->sin_addr.s_addr));
        if ((candidate.to_uint() >> 24) != 127) {
            found = candidate;
        }
    }
    ::freeifaddrs(interfaces);
    return found;
}

/// The answer of an "upgrade" request: true or false, or nothing when the connection closed
/// without one.
std::optional<bool> upgrade_answer(const WireBytes& reply) {
    if (reply == WireBytes{0x03}) {
        return true;
    }
    if (reply == WireBytes{0x02}) {
        return false;
    }
    return std::nullopt;
}

/// Sends the two programs as "upgrade" requests on two connections at once and returns their answers.
std::array<std::optional<bool>, 2> upgrade_at_once(int port, const std::array<WireBytes, 2>& programs) {
    // Both connections stand before either request is written, so the requests travel side by side.
    std::array<std::unique_ptr<WireClient>, 2> clients{std::make_unique<WireClient>(port),
                                                       std::make_unique<WireClient>(port)};
    std::array<std::optional<bool>, 2> answers;
    std::array<std::thread, 2> senders;
    for (std::size_t i = 0; i < 2; ++i) {
        senders[i] = std::thread([&, i] {
            // A refused request is cut off while it is still being sent; its answer has arrived before.
            clients[i]->send(Request("upgrade").bytes(programs[i]));
            answers[i] = upgrade_answer(clients[i]->read_to_end());
        });
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    return answers;
}

/// The user that /proc/net/tcp shows for the IPv4 socket of that local endpoint; nothing when none
/// is listed.
std::optional<unsigned long> listed_owner(const boost::asio::ip::tcp::endpoint& local) {
    const std::string wanted = listed_endpoint(local);
    for (const ListedSocket& socket : listed_tcp_sockets())
        if (socket.local == wanted) return socket.uid;
    return std::nullopt;
}

/// A copy of the built service in a temporary directory, started from there, so that upgrades
/// replace the copy and never the build's own executable.
class UpgradeService : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/lm_upgrade_e2e_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory = pattern;
        program = directory + "/lm_accelerator";
        backup = program + ".bak";
        built = file_bytes(LM_ACCELERATOR_BINARY);
        ASSERT_FALSE(built.empty());
        built_mode = mode_of(LM_ACCELERATOR_BINARY);
        original = marked_program("first");
        write_file(program, original, built_mode);

        ServiceOptions options;
        options.binary = program;
        options.directory = directory;
        start(options);
    }

    /// Stops the running service, if any, and starts it as options say.
    void start(const ServiceOptions& options) {
        service = std::make_unique<ServiceProcess>(options);
        const std::optional<int> found = service->wait_for_port();
        ASSERT_TRUE(found) << "the service announced no port";
        port = *found;
    }

    void TearDown() override {
        service.reset();
        adopted.reset();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    /// The built program with a mark appended: the loader ignores bytes past the program's
    /// segments, so it still runs, and each upgrade's file is told apart by its bytes.
    WireBytes marked_program(const std::string& mark) const {
        WireBytes bytes = built;
        bytes.push_back(0);
        bytes.insert(bytes.end(), mark.begin(), mark.end());
        return bytes;
    }

    /// The marked program made size bytes long by zero bytes at its end, which the loader ignores too.
    WireBytes marked_program(const std::string& mark, std::size_t size) const {
        WireBytes bytes = marked_program(mark);
        bytes.resize(std::max(size, bytes.size()), 0);
        return bytes;
    }

    /// Waits up to ten seconds for the service and its restarted programs to have written at least
    /// count lines that begin with prefix; true when they have.
    bool wait_for_lines_beginning(const std::string& prefix, std::size_t count) const {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            const std::vector<std::string> lines = service->lines();
            const auto written = std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
                return line.compare(0, prefix.size(), prefix) == 0;
            });
            if (static_cast<std::size_t>(written) >= count) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(10ms);
        }
    }

    /// Expects the service on this port to answer "version" whole.
    static void expect_serving(int on_port) {
        Reply reply = exchange(on_port, Request("version"), 10s);
        EXPECT_EQ(reply.string(), "Lumerra Vozazuvazor");
        EXPECT_EQ(reply.string(), "1.0");
        EXPECT_EQ(reply.string(), "lm_accelerator.win");
    }

    /// Expects the service still running on its port, its files as they were at the start.
    void expect_unchanged_and_serving() {
        EXPECT_EQ(file_bytes(program), original);
        EXPECT_EQ(mode_of(program), built_mode);
        EXPECT_FALSE(service->wait_for_exit(200ms)) << "the service ended";
        expect_serving(port);
    }

    std::unique_ptr<AdoptedProcesses> adopted = std::make_unique<AdoptedProcesses>();
    std::string directory;
    std::string program;
    std::string backup;
    WireBytes built;
    mode_t built_mode = 0;
    WireBytes original;
    std::unique_ptr<ServiceProcess> service;
    int port = 0;
};

TEST_F(UpgradeService, NewProgramRestartsWithForceOptionAndOneBackupGenerationRemains) {
    const WireBytes second = marked_program("second");
    Reply reply = exchange(port, Request("upgrade").bytes(second));
    EXPECT_TRUE(reply.boolean());
    EXPECT_TRUE(reply.at_end());
    EXPECT_TRUE(service->wait_for_line("INFO: Program upgraded"));
    EXPECT_EQ(service->wait_for_exit(), 0);

    const std::optional<int> second_port = service->wait_for_port();
    ASSERT_TRUE(second_port) << "the new program announced no port";
    expect_serving(*second_port);
    EXPECT_EQ(file_bytes(program), second);
    EXPECT_EQ(mode_of(program), built_mode);
    EXPECT_NE(mode_of(program) & 0111, 0u) << "the new file must be executable";
    EXPECT_EQ(file_bytes(backup), original);

    const std::vector<pid_t> restarted = children_of_this_process();
    ASSERT_EQ(restarted.size(), 1u) << "exactly one restarted service";
    EXPECT_EQ(command_line_of(restarted[0]), program + '\0' + "-f" + '\0');

    // A second upgrade, served by the restarted program, replaces the older backup.
    const WireBytes third = marked_program("third");
    reply = exchange(*second_port, Request("upgrade").bytes(third));
    EXPECT_TRUE(reply.boolean());
    EXPECT_TRUE(service->wait_for_line("INFO: Program upgraded"));
    EXPECT_EQ(exit_status_of_child(restarted[0], 10s), 0) << "the restarted program ends after its upgrade";

    const std::optional<int> third_port = service->wait_for_port();
    ASSERT_TRUE(third_port) << "the newest program announced no port";
    expect_serving(*third_port);
    EXPECT_EQ(file_bytes(program), third);
    EXPECT_EQ(file_bytes(backup), second);
}

TEST_F(UpgradeService, EmptyOrNullProgramIsRefusedLeavingBothFiles) {
    const WireBytes earlier_backup{'o', 'l', 'd'};
    write_file(backup, earlier_backup, 0644);

    Reply empty = exchange(port, Request("upgrade").bytes({}));
    EXPECT_FALSE(empty.boolean());
    EXPECT_TRUE(empty.at_end());
    Reply null = exchange(port, Request("upgrade").null());
    EXPECT_FALSE(null.boolean());
    EXPECT_TRUE(null.at_end());

    EXPECT_EQ(file_bytes(backup), earlier_backup);
    EXPECT_FALSE(service->has_line("INFO: Program upgraded"));
    expect_unchanged_and_serving();
}

// A client that vanishes once its program has arrived never learns of the upgrade: it is undone,
// so that a later upgrade cannot turn the untried program into the only backup.
TEST_F(UpgradeService, UpgradeWhoseAnswerCannotBeSentIsTakenBack) {
    WireClient client(port);
    ASSERT_TRUE(client.send(Request("upgrade").bytes(marked_program("second"))));
    ASSERT_TRUE(client.wait_until_delivered(10s));
    client.reset();

    EXPECT_EQ(service->wait_for_line("ERROR: Upgrade failed - "),
              "ERROR: Upgrade failed - the answer could not be sent; previous program restored");
    EXPECT_FALSE(service->has_line("INFO: Program upgraded"));
    EXPECT_FALSE(exists(backup));
    expect_unchanged_and_serving();
}

TEST_F(UpgradeService, BackupThatCannotBeMadeAnswersFalseAndKeepsServing) {
    // A non-empty directory can be neither removed nor replaced by a file, not even by root.
    ASSERT_EQ(::mkdir(backup.c_str(), 0755), 0);
    write_file(backup + "/kept", WireBytes{'k'}, 0644);

    Reply reply = exchange(port, Request("upgrade").bytes(marked_program("second")));
    EXPECT_FALSE(reply.boolean());
    EXPECT_TRUE(reply.at_end());
    EXPECT_EQ(
        service->wait_for_line("ERROR: "),
        "ERROR: Request refused - upgrade: the program cannot be moved to " + backup + " (Is a directory)");

    EXPECT_EQ(file_bytes(backup + "/kept"), WireBytes{'k'});
    EXPECT_FALSE(service->has_line("INFO: Program upgraded"));
    expect_unchanged_and_serving();
}

TEST_F(UpgradeService, ProgramWhoseFileIsGoneIsRefusedWithItsReason) {
    ASSERT_EQ(::unlink(program.c_str()), 0);

    Reply reply = exchange(port, Request("upgrade").bytes(marked_program("second")));
    EXPECT_FALSE(reply.boolean());
    EXPECT_TRUE(reply.at_end());
    EXPECT_EQ(service->wait_for_line("ERROR: "), "ERROR: Request refused - upgrade: the program's file " +
                                                     program +
                                                     " cannot be found (No such file or directory)");
    EXPECT_FALSE(exists(program));
    EXPECT_FALSE(exists(backup));

    write_file(program, original, built_mode);
    expect_unchanged_and_serving();
}

// A service started through PATH knows only its bare name, which names a file of its working
// directory or none: it may be another program, which must stay as it is.
TEST_F(UpgradeService, ServiceStartedThroughPathRefusesWithItsReasonTouchingNothing) {
    const std::string elsewhere = directory + "/elsewhere";
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0755), 0);
    const std::string same_name = elsewhere + "/lm_accelerator";
    const WireBytes other_program = marked_program("another program");
    write_file(same_name, other_program, built_mode);
    ServiceOptions through_path({"PATH=" + directory + ":/usr/bin:/bin", "lm_accelerator", "-f"});
    through_path.binary = "/usr/bin/env";
    through_path.directory = elsewhere;
    start(through_path);

    Reply reply = exchange(port, Request("upgrade").bytes(marked_program("second")));
    EXPECT_FALSE(reply.boolean());
    EXPECT_TRUE(reply.at_end());
    EXPECT_EQ(
        service->wait_for_line("ERROR: "),
        "ERROR: Request refused - upgrade: the program was started through PATH, so its file is unknown");
    EXPECT_EQ(file_bytes(same_name), other_program);
    EXPECT_FALSE(exists(same_name + ".bak"));
    EXPECT_FALSE(exists(backup));
    expect_unchanged_and_serving();
}

TEST_F(UpgradeService, ServiceStartedByAPathTooLongForItsBackupRefusesWithItsReason) {
    // "./" steps lengthen the path to the same file; with ".bak" it no longer fits the system's limit.
    std::string long_path = directory + "/";
    while (long_path.size() + 2 + std::strlen("lm_accelerator") <= PATH_MAX - 4) {
        long_path += "./";
    }
    long_path += std::string(PATH_MAX - 4 - long_path.size() - std::strlen("lm_accelerator"), '/');
    long_path += "lm_accelerator";
    ASSERT_EQ(long_path.size(), static_cast<std::size_t>(PATH_MAX - 4));
    ServiceOptions options;
    options.binary = long_path;
    options.directory = directory;
    start(options);

    Reply reply = exchange(port, Request("upgrade").bytes(marked_program("second")));
    EXPECT_FALSE(reply.boolean());
    EXPECT_TRUE(reply.at_end());
    EXPECT_EQ(service->wait_for_line("ERROR: "),
              "ERROR: Request refused - upgrade: the program's path is too long for the system");
    EXPECT_FALSE(exists(backup));
    expect_unchanged_and_serving();
}

TEST_F(UpgradeService, ProgramThatCannotStartIsTakenBackAndServiceGoesOn) {
    std::mt19937 random(11);
    WireBytes noise(64 * 1024);
    for (unsigned char& byte : noise) {
        byte = static_cast<unsigned char>(random());
    }
    noise[0] = 0;  // neither "#!" nor the executable format's magic number

    Reply reply = exchange(port, Request("upgrade").bytes(noise));
    EXPECT_TRUE(reply.boolean()) << "the answer precedes the start of the new program";
    EXPECT_TRUE(service->wait_for_line("INFO: Program upgraded"));
    EXPECT_TRUE(service->wait_for_line("ERROR: "));

    EXPECT_FALSE(exists(backup)) << "the previous program went back to its own name";
    expect_unchanged_and_serving();
    EXPECT_EQ(children_of_this_process(), std::vector<pid_t>{service->pid()}) << "no other process was left";
}

TEST_F(UpgradeService, UpgradeFromAnotherAddressIsRefusedTouchingNothing) {
    const std::optional<boost::asio::ip::address_v4> outside = address_outside_loopback();
    if (!outside) {
        GTEST_SKIP() << "this machine has no address outside the loopback network";
    }
    // Connecting to our own address from that address: the service sees a peer that is not loopback.
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket client(io);
    client.open(boost::asio::ip::tcp::v4());
    client.bind({*outside, 0});
    client.connect({*outside, static_cast<unsigned short>(port)});
    boost::asio::write(client, boost::asio::buffer(Request("upgrade").bytes(WireBytes(16, 0x90)).data()));

    WireBytes answer(1);
    boost::asio::read(client, boost::asio::buffer(answer));
    EXPECT_EQ(answer, WireBytes{0x02}) << "the answer false";
    client.close();

    EXPECT_TRUE(service->wait_for_line("ERROR: Request refused - upgrade: not a local client"));
    EXPECT_FALSE(exists(backup));
    expect_unchanged_and_serving();
}

TEST_F(UpgradeService, SimultaneousUpgradesKeepThePreviousProgramAndOnlyOneIsServed) {
    // Large programs keep both requests in flight long enough to overlap. Each trial's programs can
    // start, so the trial after a served upgrade goes to the restarted program.
    constexpr std::size_t program_size = 32u << 20;
    constexpr int trials = 5;
    const std::string refused = "ERROR: Request refused - upgrade: ";
    WireBytes previous = original;
    int serving_port = port;
    std::size_t false_answers = 0;
    for (int trial = 0; trial < trials; ++trial) {
        const std::string name = "trial " + std::to_string(trial);
        const std::array<WireBytes, 2> programs{marked_program(name + " a", program_size),
                                                marked_program(name + " b", program_size)};
        const std::array<std::optional<bool>, 2> answers = upgrade_at_once(serving_port, programs);

        EXPECT_FALSE(answers[0] == true && answers[1] == true) << name << ": both upgrades were served";
        const WireBytes at_program = file_bytes(program);
        ASSERT_TRUE(at_program == previous || file_bytes(backup) == previous)
            << name << ": the previous program is neither at its path nor at the backup path";
        false_answers += static_cast<std::size_t>(std::count(answers.begin(), answers.end(), false));
        EXPECT_TRUE(wait_for_lines_beginning(refused, false_answers))
            << name << ": a refusal without its log line";

        const auto served = std::find(answers.begin(), answers.end(), true);
        if (served != answers.end()) {
            EXPECT_EQ(at_program, programs[static_cast<std::size_t>(served - answers.begin())]) << name;
            previous = at_program;
            const std::optional<int> next_port = service->wait_for_port();
            ASSERT_TRUE(next_port) << name << ": the upgraded program announced no port";
            serving_port = *next_port;
        }
    }
    EXPECT_GE(false_answers, 1u) << "no upgrade was ever refused";
    expect_serving(serving_port);
}

// An upgrade refused before its program is read still lets the client send the whole program and
// read the answer: the service reads and drops what follows its answer instead of resetting the
// connection under the client's send.
TEST_F(UpgradeService, RefusalBeforeTheProgramIsReadReachesAClientStillSendingIt) {
    constexpr std::size_t program_size = 64u << 20;
    constexpr int trials = 10;
    // This upgrade stays in progress: its program, announced at 1 GiB, comes at 10 MiB a second,
    // far above the rate the service asks for, until the client resets the connection.
    WireClient holder(port);
    ASSERT_TRUE(holder.send(Request("upgrade").raw({0x0C, 0, 0, 0, 0x40})));
    // More than the buffers between us hold: once this is sent, the service is reading the program.
    ASSERT_TRUE(holder.send(WireBytes(16u << 20, 0)));
    std::atomic<bool> trials_done{false};
    std::thread feeder([&] {
        while (!trials_done && holder.send(WireBytes(1u << 20, 0))) std::this_thread::sleep_for(100ms);
    });

    const Request request = Request("upgrade").bytes(marked_program("refused", program_size));
    int answered = 0;
    for (int trial = 0; trial < trials; ++trial) {
        WireClient client(port);
        const bool sent = client.send(request);
        const std::optional<bool> answer = upgrade_answer(client.read_to_end());
        EXPECT_TRUE(sent) << "trial " << trial << ": the send was cut off";
        EXPECT_EQ(answer, false) << "trial " << trial;
        answered += sent && answer == false ? 1 : 0;
    }
    trials_done = true;
    feeder.join();
    holder.reset();

    EXPECT_EQ(answered, trials);
    EXPECT_TRUE(
        wait_for_lines_beginning("ERROR: Request refused - upgrade: another upgrade is in progress", trials));
    EXPECT_FALSE(service->has_line("INFO: Program upgraded"));
    EXPECT_FALSE(exists(backup));
    expect_unchanged_and_serving();
}

TEST_F(UpgradeService, UpgradeFromAnotherUsersSocketIsRefusedTouchingNothing) {
    const int probe = socket_of_user(other_user);
    if (probe < 0) {
        GTEST_SKIP() << "this process cannot create a socket that belongs to another user (it needs to be "
                        "root, with that user mapped)";
    }
    ::close(probe);
    // If it ran, the script would show it, with the service's identity.
    const std::string ran = directory + "/script_ran";
    const std::string script = "#!/bin/sh\ntouch '" + ran + "'\n";
    const Request request = Request("upgrade").bytes(WireBytes(script.begin(), script.end()));
    const boost::asio::ip::tcp::endpoint service_endpoint(boost::asio::ip::address_v4::loopback(),
                                                          static_cast<unsigned short>(port));

    const std::string refused = "ERROR: Request refused - upgrade: ";
    boost::asio::io_context io;
    // Connects a socket of another user to the service and sends the request on it.
    const auto send_as_other_user = [&](boost::asio::ip::tcp::socket& client) {
        const int descriptor = socket_of_user(other_user);
        ASSERT_GE(descriptor, 0) << "no socket of another user";
        client.assign(boost::asio::ip::tcp::v4(), descriptor);
        client.connect(service_endpoint);
        boost::asio::write(client, boost::asio::buffer(request.data()));
    };

    boost::asio::ip::tcp::socket waiting(io);
    send_as_other_user(waiting);
    WireBytes answer(1);
    boost::asio::read(waiting, boost::asio::buffer(answer));
    EXPECT_EQ(answer, WireBytes{0x02}) << "the answer false";
    EXPECT_TRUE(service->wait_for_line(refused)) << "an open socket of another user";

    // A client whose socket is closed by the time the service looks at it: the kernel keeps a closed
    // socket for a while and, once its last packets are through, shows it as root's. The service is
    // held still until then.
    ASSERT_EQ(::kill(service->pid(), SIGSTOP), 0);
    boost::asio::ip::tcp::socket closing(io);
    send_as_other_user(closing);
    const boost::asio::ip::tcp::endpoint closed_end = closing.local_endpoint();
    closing.close();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (listed_owner(closed_end) != 0ul && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(listed_owner(closed_end), 0ul) << "the closed socket is not shown as root's";
    ASSERT_EQ(::kill(service->pid(), SIGCONT), 0);
    EXPECT_TRUE(service->wait_for_line(refused)) << "a closed socket of another user";

    EXPECT_FALSE(exists(backup));
    EXPECT_FALSE(exists(ran)) << "the script ran";
    expect_unchanged_and_serving();
}

}  // namespace
