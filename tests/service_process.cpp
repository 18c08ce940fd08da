#include "service_process.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "resident_memory.hpp"

extern char** environ;

namespace {

constexpr const char* port_line = "INFO: Server started on port ";

std::string make_temporary_directory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lm_accelerator_test_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no temporary directory");
    return pattern;
}

// Turns a wait status into an exit status, a signal counting as 128 plus its number like a shell.
int exit_status_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

ServiceProcess::ServiceProcess(ServiceOptions options) : directory_(std::move(options.directory)) {
    if (directory_.empty()) {
        directory_ = make_temporary_directory();
        owns_directory_ = true;
    }
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, directory_.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    std::vector<char*> argv{options.binary.data()};
    for (std::string& argument : options.arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int error = posix_spawn(&pid_, options.binary.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(output[1]);
    if (error != 0) {
        close(output[0]);
        pid_ = -1;
        throw std::runtime_error("cannot start " + options.binary + ": " + std::strerror(error));
    }
    reader_ = std::thread(&ServiceProcess::read_output, this, output[0]);
}

ServiceProcess::~ServiceProcess() {
    stop();
    if (owns_directory_) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

// Reads until the output ends; once stop was called, also when the pipe stays quiet (a process that
// left our group may still hold it).
void ServiceProcess::read_output(int descriptor) {
    std::string pending;
    char chunk[4096];
    for (;;) {
        pollfd readable{descriptor, POLLIN, 0};
        const int ready = poll(&readable, 1, 100);
        if (ready == 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            continue;
        }
        if (ready < 0 && errno == EINTR) continue;
        const ssize_t count = ready < 0 ? -1 : read(descriptor, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        pending.append(chunk, static_cast<std::size_t>(count));
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
            lines_.push_back(pending.substr(0, end));
        line_arrived_.notify_all();
    }
    close(descriptor);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending.empty()) lines_.push_back(pending);
    output_ended_ = true;
    line_arrived_.notify_all();
}

std::optional<std::string> ServiceProcess::wait_for_line(const std::string& prefix,
                                                         std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    for (std::size_t i = next_line_;; ++i) {
        if (!line_arrived_.wait_until(lock, deadline, [&] { return i < lines_.size() || output_ended_; }))
            return std::nullopt;
        if (i >= lines_.size()) return std::nullopt;
        if (lines_[i].compare(0, prefix.size(), prefix) == 0) {
            next_line_ = i + 1;
            return lines_[i];
        }
    }
}

std::optional<int> ServiceProcess::wait_for_port(std::chrono::milliseconds timeout) {
    const std::optional<std::string> line = wait_for_line(port_line, timeout);
    if (!line) return std::nullopt;
    return std::atoi(line->c_str() + std::strlen(port_line));
}

std::vector<std::string> ServiceProcess::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool ServiceProcess::has_line(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& line : lines_)
        if (line.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

std::optional<int> ServiceProcess::wait_for_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exit_status_ && pid_ > 0) {
        int status = 0;
        const pid_t result = waitpid(pid_, &status, WNOHANG);
        if (result == pid_) {
            exit_status_ = exit_status_of(status);
        } else if (result < 0 && errno != EINTR) {
            break;
        } else if (std::chrono::steady_clock::now() >= deadline) {
            break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return exit_status_;
}

long ServiceProcess::resident_kib() const { return exit_status_ ? -1 : ::resident_kib(pid_); }

void ServiceProcess::stop() {
    if (pid_ > 0) {
        kill(-pid_, SIGKILL);
        if (!exit_status_) {
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            exit_status_ = exit_status_of(status);
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    if (reader_.joinable()) reader_.join();
}

StartedService::StartedService(ServiceOptions options) : process(std::move(options)), port(0) {
    const std::optional<int> announced = process.wait_for_port();
    if (!announced) throw std::runtime_error("the service announced no port");
    port = *announced;
}
