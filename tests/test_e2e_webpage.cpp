#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "service_process.hpp"
#include "temporary_directory.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int starts = 20;
/// PATH entries that do not exist, searched before the opener is found: the longer the search, the
/// longer a child that has not yet left our executable could be taken for a second instance.
constexpr int missing_path_entries = 2500;

/// True when a process of this machine, as far as we may see, runs an executable named like ours.
bool service_runs_already() {
    std::error_code error;
    for (fs::directory_iterator entry("/proc", error); !error && entry != fs::directory_iterator();
         entry.increment(error)) {
        std::error_code unreadable;
        const std::string target = fs::read_symlink(entry->path() / "exe", unreadable).string();
        if (!unreadable &&
            fs::path(target.substr(0, target.find(" (deleted)"))).filename() == "lm_accelerator")
            return true;
    }
    return false;
}

/// Lines in a file; 0 when it does not exist.
int line_count(const fs::path& file) {
    std::ifstream text(file);
    int lines = 0;
    for (std::string line; std::getline(text, line);) ++lines;
    return lines;
}

/// Waits until the file has at least the given number of lines; false when it has not after 10 s.
bool wait_for_lines(const fs::path& file, int lines) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        if (line_count(file) >= lines) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

// Opening the web page must never make the start-up take the page's opener for another instance
// of the service. Each start runs in a PID namespace of its own where the machine allows it, so
// that only the service and what it starts are there to be counted; the opener is a script that
// notes its address and lingers, found after a long search of PATH.
TEST(Webpage, EveryStartWithTheWebPageServes) {
    TemporaryDirectory directory;
    ASSERT_FALSE(directory.path.empty());
    const fs::path opened = directory.path / "opened";
    const fs::path opener = directory.path / "xdg-open";
    std::ofstream(opener) << "#!/bin/sh\necho \"$@\" >> '" << opened.string() << "'\nexec sleep 30\n";
    fs::permissions(opener, fs::perms::owner_all);

    std::string path = "PATH=";
    for (int i = 0; i < missing_path_entries; ++i)
        path += (directory.path / std::to_string(i)).string() + ":";
    path += directory.path.string() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
    std::vector<std::string> command = {path};
    if (std::system("unshare -n -p -f --mount-proc true > /dev/null 2>&1") == 0) {
        command.insert(command.end(), {"unshare", "-n", "-p", "-f", "--mount-proc"});
    } else if (service_runs_already()) {
        GTEST_SKIP() << "no PID namespace can be made here and another lm_accelerator runs";
    }
    command.insert(command.end(), {LM_ACCELERATOR_BINARY, "-w"});

    for (int start = 1; start <= starts; ++start) {
        ServiceOptions options(command);
        options.binary = "/usr/bin/env";
        ServiceProcess service(options);
        const std::optional<int> port = service.wait_for_port();
        ASSERT_TRUE(port) << "start " << start << " of " << starts
                          << " logged: " << (service.lines().empty() ? "nothing" : service.lines().front());
        ASSERT_TRUE(wait_for_lines(opened, start)) << "start " << start << " opened no web page";
    }
    std::ifstream text(opened);
    for (std::string line; std::getline(text, line);) EXPECT_EQ(line, "http://www.vozazuvazor.example");
}

}  // namespace
