#include "app/platform.hpp"

#include <cerrno>
#include <climits>
#include <filesystem>
#include <string>
#include <system_error>

#include <fcntl.h>
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

// The opener is started by a short-lived intermediate child: it is re-parented to init, which reaps
// it, so no zombie stays with us. Its output is discarded, and a missing opener is ignored.
void start_webpage(const char* host) {
    const std::string url = std::string("http://") + host;
    char opener[] = "xdg-open";
    char* const arguments[] = {opener, const_cast<char*>(url.c_str()), nullptr};
    const pid_t child = fork();
    if (child < 0) return;
    if (child == 0) {
        if (fork() == 0) {
            const int null_device = open("/dev/null", O_RDWR);
            if (null_device >= 0) {
                dup2(null_device, STDIN_FILENO);
                dup2(null_device, STDOUT_FILENO);
                dup2(null_device, STDERR_FILENO);
            }
            execvp(opener, arguments);
            _exit(127);
        }
        _exit(0);
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
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
