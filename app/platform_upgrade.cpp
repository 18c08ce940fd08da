#include "app/platform.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

/// True when path names something the system can address as a path (not null, not empty, within
/// PATH_MAX including the extra characters and the terminating zero byte).
bool fits_path_limit(const char* path, std::size_t extra) {
    if (path == nullptr || *path == '\0') {
        return false;
    }
    return std::strlen(path) + extra < PATH_MAX;
}

/// The system's text for an error number, for the log.
std::string error_text(int error) { return std::generic_category().message(error); }

/// The name under which the previous executable is kept: path followed by ".bak".
std::string backup_of(const char* path) { return std::string(path) + ".bak"; }

/// Writes every byte, continuing after partial writes and interrupted calls; 0, or the error that
/// stopped it.
int write_all(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

/// Creates path exclusively with exactly the given permission bits and puts every byte on disk;
/// 0, or the first error on the way.
int write_new_file(const char* path, mode_t mode, const std::vector<unsigned char>& bytes) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        return errno;
    }
    // The umask may have cleared bits of the old mode; without them the new program would not run.
    int error = ::fchmod(fd, mode) == 0 ? 0 : errno;
    if (error == 0) {
        error = write_all(fd, bytes.data(), bytes.size());
    }
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

/// Marks every descriptor above standard error close-on-exec, so that the new program holds none
/// of our sockets (a listening socket left open would keep its port from the new program).
/// Runs in the forked child, so only async-signal-safe calls are made.
void close_on_exec_above_stderr(int descriptor_limit) {
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
        return;
    }
    for (int fd = 3; fd < descriptor_limit; ++fd) {
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0) {
            ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
        }
    }
}

/// The highest descriptor number plus one that this process may hold; read before forking.
int descriptor_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > INT_MAX) {
        return 65536;
    }
    return static_cast<int>(limit.rlim_cur);
}

/// Reads the child's exec error from the pipe: 0 when exec succeeded (the pipe closed empty),
/// else the child's errno.
int read_exec_error(int fd) {
    int child_errno = 0;
    ssize_t got;
    do {
        got = ::read(fd, &child_errno, sizeof child_errno);
    } while (got < 0 && errno == EINTR);
    if (got == 0) {
        return 0;
    }
    return got == static_cast<ssize_t>(sizeof child_errno) ? child_errno : EIO;
}

/// Waits for a child that has ended or is about to, so that it leaves no zombie behind.
void reap(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        continue;
    }
}

}  // namespace

std::optional<std::string> unusable_program_path(const char* path) {
    if (path == nullptr || *path == '\0') {
        return "the program's path is unknown";
    }
    // A name without a slash was looked up through PATH when the program started; here it would name
    // a file of the working directory, which may be another file or none.
    if (std::strchr(path, '/') == nullptr) {
        return "the program was started through PATH, so its file is unknown";
    }
    if (!fits_path_limit(path, 4)) {
        return "the program's path is too long for the system";
    }
    return std::nullopt;
}

UpgradeOutcome upgrade_program(const char* path, const std::vector<unsigned char>& bytes) {
    // An empty file would replace the program by something that can never start again.
    if (bytes.empty()) {
        return {UpgradeState::refused, "empty program"};
    }
    if (const std::optional<std::string> problem = unusable_program_path(path)) {
        return {UpgradeState::refused, *problem};
    }
    struct stat old_file {};
    if (::stat(path, &old_file) != 0) {
        return {UpgradeState::refused,
                "the program's file " + std::string(path) + " cannot be found (" + error_text(errno) + ")"};
    }
    if (!S_ISREG(old_file.st_mode)) {
        return {UpgradeState::refused, "the program's path " + std::string(path) + " names no regular file"};
    }
    // rename replaces an older backup in the same step, so the old one is gone only once the
    // current executable has taken its place.
    const std::string backup = backup_of(path);
    if (::rename(path, backup.c_str()) != 0) {
        return {UpgradeState::refused,
                "the program cannot be moved to " + backup + " (" + error_text(errno) + ")"};
    }
    const int error = write_new_file(path, old_file.st_mode & 07777, bytes);
    if (error == 0) {
        return {UpgradeState::written, {}};
    }
    // A partial or missing file would leave nothing that can start: the previous program goes back.
    const UpgradeState state = restore_program(path) ? UpgradeState::restored : UpgradeState::left_at_backup;
    return {state, "the new program could not be written (" + error_text(error) + ")"};
}

bool restore_program(const char* path) {
    if (!fits_path_limit(path, 4)) {
        return false;
    }
    return ::rename(backup_of(path).c_str(), path) == 0;
}

bool restart_program(const char* path) {
    if (!fits_path_limit(path, 0)) {
        return false;
    }
    // The child reports a failed exec through this pipe; a successful exec closes it unwritten.
    int exec_error_pipe[2];
    if (::pipe2(exec_error_pipe, O_CLOEXEC) != 0) {
        return false;
    }
    const int limit = descriptor_limit();
    char force_option[] = "-f";
    char* const arguments[] = {const_cast<char*>(path), force_option, nullptr};

    const pid_t child = ::fork();
    if (child == 0) {
        ::close(exec_error_pipe[0]);
        close_on_exec_above_stderr(limit);
        // The new program starts with no signal blocked, whatever this connection's thread had blocked.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(path, arguments);
        const int exec_errno = errno;
        [[maybe_unused]] const ssize_t reported = ::write(exec_error_pipe[1], &exec_errno, sizeof exec_errno);
        ::_exit(127);
    }
    ::close(exec_error_pipe[1]);
    if (child < 0) {
        ::close(exec_error_pipe[0]);
        return false;
    }
    const int exec_errno = read_exec_error(exec_error_pipe[0]);
    ::close(exec_error_pipe[0]);
    if (exec_errno != 0) {
        reap(child);
        return false;
    }
    std::exit(0);
}
