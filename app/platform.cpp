#include "app/platform.hpp"

#include <cerrno>
#include <climits>
#include <filesystem>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The file name of the program that a /proc/<pid>/exe link points to; empty when it cannot be read
// (the process has ended, or belongs to another user).
std::string executable_file_name(const std::filesystem::path& link) {
    char target[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof target) return {};
    std::string path(target, static_cast<std::size_t>(length));
    // A program whose file was replaced or removed while it runs (a rebuild, an upgrade) is still
    // running; the kernel only marks its link.
    const std::string deleted_mark = " (deleted)";
    if (path.size() > deleted_mark.size() &&
        path.compare(path.size() - deleted_mark.size(), deleted_mark.size(), deleted_mark) == 0)
        path.resize(path.size() - deleted_mark.size());
    return path.substr(path.rfind('/') + 1);
}

bool is_process_id(const std::string& name) {
    return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

void bootstrap_system() {}

// The opener is started by a short-lived intermediate child, reaped here: the opener is re-parented
// to init, which reaps it, so no zombie stays with us. glibc's posix_spawnp keeps its caller waiting
// until the new process has exec'd or failed, and the search of PATH happens in between; so once the
// intermediate child is reaped no process but ours runs our executable, and the instance check that
// follows cannot take the opener for a second instance. A missing opener is ignored.
void start_webpage(const char* host) {
    const std::string url = std::string("http://") + host;
    char opener[] = "xdg-open";
    char* const arguments[] = {opener, const_cast<char*>(url.c_str()), nullptr};
    posix_spawn_file_actions_t streams;
    if (posix_spawn_file_actions_init(&streams) != 0) return;
    // The opener's output is discarded, and it reads nothing of ours.
    if (posix_spawn_file_actions_addopen(&streams, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0 &&
        posix_spawn_file_actions_addopen(&streams, STDOUT_FILENO, "/dev/null", O_WRONLY, 0) == 0 &&
        posix_spawn_file_actions_addopen(&streams, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0) {
        const pid_t child = fork();
        if (child == 0) {
            pid_t opener_id;
            posix_spawnp(&opener_id, opener, &streams, nullptr, arguments, environ);
            _exit(0);
        }
        if (child > 0) {
            while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    posix_spawn_file_actions_destroy(&streams);
}

// Our own process counts when it runs under that name, so an instance besides us means two matches.
bool program_is_running(const char* name) {
    std::error_code error;
    std::filesystem::directory_iterator entry("/proc", error);
    int matches = 0;
    for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        if (!is_process_id(entry->path().filename().string())) continue;
        if (executable_file_name(entry->path() / "exe") == name && ++matches == 2) return true;
    }
    return false;
}
