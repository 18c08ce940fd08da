#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <boost/asio/ip/address.hpp>

#include "app/commands.hpp"
#include "app/platform.hpp"

namespace {

using bytes = std::vector<unsigned char>;

bytes bytes_of(const std::string& text) { return bytes(text.begin(), text.end()); }

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::string contents_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

mode_t permissions_of(const std::string& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

void write_file(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    ::chmod(path.c_str(), mode);
}

bool written(const UpgradeOutcome& outcome) { return outcome.state == UpgradeState::written; }

/// Expects the upgrade refused, touching nothing, for a reason that begins with reason_start.
void expect_refused(const UpgradeOutcome& outcome, const std::string& reason_start) {
    EXPECT_EQ(outcome.state, UpgradeState::refused) << outcome.reason;
    EXPECT_EQ(outcome.reason.compare(0, reason_start.size(), reason_start), 0) << outcome.reason;
}

/// A fresh directory per test holding "program" (the executable being replaced), removed afterwards.
class UpgradeFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/upgrade_test_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory = pattern;
        program = directory + "/program";
        backup = program + ".bak";
        write_file(program, "old program", 0750);
    }
    void TearDown() override { std::system(("rm -rf '" + directory + "'").c_str()); }

    std::string directory;
    std::string program;
    std::string backup;
};

TEST_F(UpgradeFiles, NewBytesReplaceProgramWhichMovesToBackupKeepingItsPermissions) {
    const mode_t old_umask = ::umask(077);
    const UpgradeOutcome upgraded = upgrade_program(program.c_str(), bytes_of("new program"));
    ::umask(old_umask);

    ASSERT_TRUE(written(upgraded)) << upgraded.reason;
    EXPECT_EQ(upgraded.reason, "");
    EXPECT_EQ(contents_of(program), "new program");
    EXPECT_EQ(permissions_of(program), 0750u) << "the umask must not strip the program's permission bits";
    EXPECT_EQ(contents_of(backup), "old program");
}

TEST_F(UpgradeFiles, RefusalsLeaveEveryFileAsItWas) {
    write_file(backup, "earlier backup", 0750);
    expect_refused(upgrade_program(program.c_str(), bytes{}), "empty program");
    expect_refused(upgrade_program(nullptr, bytes_of("new program")), "the program's path is unknown");
    expect_refused(upgrade_program("", bytes_of("new program")), "the program's path is unknown");
    EXPECT_EQ(contents_of(program), "old program");
    EXPECT_EQ(contents_of(backup), "earlier backup");

    const std::string missing = directory + "/missing";
    write_file(missing + ".bak", "only copy", 0750);
    expect_refused(upgrade_program(missing.c_str(), bytes_of("new program")),
                   "the program's file " + missing + " cannot be found (");
    EXPECT_EQ(contents_of(missing + ".bak"), "only copy") << "a missing program must not cost the backup";

    expect_refused(upgrade_program(directory.c_str(), bytes_of("new program")),
                   "the program's path " + directory + " names no regular file");

    // A non-empty directory can be neither removed nor replaced by a file, not even by root.
    ::unlink(backup.c_str());
    ASSERT_EQ(::mkdir(backup.c_str(), 0755), 0);
    write_file(backup + "/kept", "kept", 0644);
    expect_refused(upgrade_program(program.c_str(), bytes_of("new program")),
                   "the program cannot be moved to " + backup + " (");
    EXPECT_EQ(contents_of(program), "old program");
    EXPECT_EQ(contents_of(backup + "/kept"), "kept");
}

// A program started through PATH knows only its bare name, which here would name a file of the
// working directory: perhaps another program, which must not be replaced.
TEST_F(UpgradeFiles, NameWithoutDirectoryIsRefusedEvenWhenTheWorkingDirectoryHoldsThatFile) {
    char previous[PATH_MAX];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(directory.c_str()), 0);
    const UpgradeOutcome outcome = upgrade_program("program", bytes_of("new program"));
    ASSERT_EQ(::chdir(previous), 0);

    expect_refused(outcome, "the program was started through PATH, so its file is unknown");
    EXPECT_EQ(unusable_program_path("program"), outcome.reason);
    EXPECT_EQ(contents_of(program), "old program");
    EXPECT_FALSE(exists(backup));
    EXPECT_EQ(unusable_program_path(program.c_str()), std::nullopt);
    EXPECT_EQ(unusable_program_path("./program"), std::nullopt);
}

TEST_F(UpgradeFiles, PathsBeyondThePlatformLimitAreRefusedUntouched) {
    // "./" steps lengthen the path to the same file without needing deep directories.
    auto path_of_length = [&](std::size_t length) {
        std::string path = directory + "/";
        while (path.size() + 2 + std::string("program").size() <= length) {
            path += "./";
        }
        path += std::string(length - path.size() - std::string("program").size(), '/');
        return path + "program";
    };
    const std::string too_long = path_of_length(PATH_MAX - 4);
    ASSERT_EQ(too_long.size(), static_cast<std::size_t>(PATH_MAX - 4));
    expect_refused(upgrade_program(too_long.c_str(), bytes_of("new program")),
                   "the program's path is too long for the system");
    EXPECT_FALSE(restore_program(too_long.c_str()));
    EXPECT_EQ(contents_of(program), "old program");
    EXPECT_FALSE(exists(backup));

    const std::string longest = path_of_length(PATH_MAX - 5);
    EXPECT_TRUE(written(upgrade_program(longest.c_str(), bytes_of("new program"))))
        << "the backup name still fits";
    EXPECT_EQ(contents_of(program), "new program");

    const std::string beyond = path_of_length(PATH_MAX);
    EXPECT_FALSE(restart_program(beyond.c_str()));
}

TEST_F(UpgradeFiles, ShortWriteBringsThePreviousProgramBack) {
    // A file size limit makes the write stop part way, as a full disk would.
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 4;
    auto saved_handler = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    const UpgradeOutcome upgraded =
        upgrade_program(program.c_str(), bytes_of("a program longer than four bytes"));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, saved_handler);

    EXPECT_EQ(upgraded.state, UpgradeState::restored);
    EXPECT_EQ(upgraded.reason, "the new program could not be written (File too large)");
    EXPECT_EQ(contents_of(program), "old program");
    EXPECT_EQ(permissions_of(program), 0750u);
    EXPECT_FALSE(exists(backup));
}

TEST_F(UpgradeFiles, RestorePutsTheBackupBackOverTheNewFile) {
    ASSERT_TRUE(written(upgrade_program(program.c_str(), bytes_of("new program"))));
    EXPECT_TRUE(restore_program(program.c_str()));
    EXPECT_EQ(contents_of(program), "old program");
    EXPECT_FALSE(exists(backup));
    EXPECT_FALSE(restore_program(program.c_str())) << "no backup left to restore";
}

TEST_F(UpgradeFiles, ProgramThatCannotStartIsReportedAndLeavesNoChild) {
    const std::string not_a_program = directory + "/random";
    write_file(not_a_program, std::string("\x7f\x13\x9a\x00\x51 no format at all", 22), 0755);
    const std::string not_executable = directory + "/not_executable";
    write_file(not_executable, "#!/bin/sh\nexit 0\n", 0644);

    EXPECT_FALSE(restart_program(not_a_program.c_str()));
    EXPECT_FALSE(restart_program(not_executable.c_str()));
    EXPECT_FALSE(restart_program((directory + "/missing").c_str()));
    EXPECT_FALSE(restart_program(nullptr));
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "every failed child has been reaped";
}

TEST_F(UpgradeFiles, RestartStartsTheProgramWithForceOptionAndNoInheritedSocketThenExitsWithZero) {
    // The restarted program outlives the process that started it; as sub-reaper this test
    // collects it instead of leaving it to init.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const std::string report = directory + "/report";
    const std::string script = directory + "/started program";

    EXPECT_EXIT(
        {
            const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in any{};
            any.sin_family = AF_INET;
            ::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any);
            ::listen(listener, 1);
            const std::string fd = std::to_string(listener);
            write_file(script,
                       "#!/bin/sh\n"
                       "if [ -e /proc/$$/fd/" +
                           fd +
                           " ]; then held=socket-inherited; else held=no-socket; fi\n"
                           "echo \"$held $# $1\" > '" +
                           report +
                           ".part'\n"
                           "mv '" +
                           report + ".part' '" + report + "'\n",
                       0755);
            (void)restart_program(script.c_str());
            std::_Exit(3);
        },
        ::testing::ExitedWithCode(0), "");

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!exists(report) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(contents_of(report), "no-socket 1 -f\n");
    while (::waitpid(-1, nullptr, 0) > 0) {
        continue;
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST(Loopback, OnlyAddressesOfTheLoopbackInterfaceCount) {
    using boost::asio::ip::make_address;
    for (const char* inside : {"127.0.0.1", "127.0.0.0", "127.255.255.255", "127.1.2.3", "::1",
                               "::ffff:127.0.0.1", "::ffff:127.200.0.9"}) {
        EXPECT_TRUE(is_loopback(make_address(inside))) << inside;
    }
    for (const char* outside : {"128.0.0.1", "126.255.255.255", "0.0.0.0", "10.0.0.1", "192.168.1.20",
                                "255.255.255.255", "::", "::2", "fe80::1", "::ffff:10.0.0.1",
                                "::ffff:128.0.0.1", "::127.0.0.1", "2001:db8::127:0:0:1"}) {
        EXPECT_FALSE(is_loopback(make_address(outside))) << outside;
    }
}

}  // namespace
