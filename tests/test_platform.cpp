#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/platform.hpp"
#include "temporary_directory.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A process running the program file for a while; killed and reaped at the end. posix_spawn
// returns once the new process has replaced its image, so it runs under the program's name as soon
// as the constructor returns.
class SleepingProcess {
public:
    explicit SleepingProcess(const fs::path& program) {
        std::string file = program.string();
        char seconds[] = "30";
        char* const argv[] = {file.data(), seconds, nullptr};
        if (posix_spawn(&pid_, file.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = -1;
    }
    ~SleepingProcess() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

TEST(ProgramIsRunning, CountsOnlyWhenTwoProcessesHaveTheFileName) {
    TemporaryDirectory directory;
    const std::string name = "lm_probe_" + std::to_string(getpid());
    const fs::path program = directory.path / name;
    fs::copy_file("/bin/sleep", program);

    EXPECT_FALSE(program_is_running(name.c_str()));
    SleepingProcess first(program);
    ASSERT_TRUE(first.started());
    EXPECT_FALSE(program_is_running(name.c_str())) << "one process of the name is ourselves";
    SleepingProcess second(program);
    ASSERT_TRUE(second.started());
    EXPECT_TRUE(program_is_running(name.c_str()));
    EXPECT_FALSE(program_is_running(("x" + name).c_str()));

    // A program whose file has been removed (replaced by a rebuild, say) still runs.
    fs::remove(program);
    EXPECT_TRUE(program_is_running(name.c_str()));
}

TEST(StartWebpage, OpensTheSiteDetachedAndLeavesNoChildBehind) {
    TemporaryDirectory directory;
    const fs::path opened = directory.path / "opened";
    const fs::path opener = directory.path / "xdg-open";
    std::ofstream(opener) << "#!/bin/sh\necho \"$@\" > '" << opened.string() << ".tmp'\nmv '"
                          << opened.string() << ".tmp' '" << opened.string() << "'\n";
    fs::permissions(opener, fs::perms::owner_all);
    const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (directory.path.string() + ":" + old_path).c_str(), 1);

    start_webpage("www.vozazuvazor.example");

    setenv("PATH", old_path.c_str(), 1);
    for (int i = 0; i < 500 && !fs::exists(opened); ++i) std::this_thread::sleep_for(10ms);
    std::ifstream text(opened);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(text), {}), "http://www.vozazuvazor.example\n");
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(StartWebpage, MissingOpenerIsIgnored) {
    TemporaryDirectory directory;
    const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", directory.path.c_str(), 1);
    start_webpage("www.vozazuvazor.example");
    setenv("PATH", old_path.c_str(), 1);
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
