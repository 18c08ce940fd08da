#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/types.h>

/// How to start the service for an end-to-end test.
struct ServiceOptions {
    /// The built service with these arguments, in a new temporary directory.
    ServiceOptions(std::vector<std::string> arguments = {"-f"}) : arguments(std::move(arguments)) {}

    /// Arguments after the program path; "-f" keeps other instances from stopping the start-up.
    std::vector<std::string> arguments;
#ifdef LM_ACCELERATOR_BINARY
    /// The executable; by default the built service.
    std::string binary = LM_ACCELERATOR_BINARY;
#else
    /// The executable.
    std::string binary;
#endif
    /// Working directory; empty: a new temporary directory, removed when the process is stopped.
    std::string directory;
};

/// A running service process: its standard output captured line by line (standard error passes
/// through to the test's), in a process group of its own so that stop also ends whatever it started.
class ServiceProcess {
public:
    /// Default wait for the service to answer through its log or its exit.
    static constexpr std::chrono::milliseconds default_timeout{10000};

    /// Starts the program; throws std::runtime_error when it cannot be started.
    explicit ServiceProcess(ServiceOptions options = {});
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;
    /// Stops the process (see stop) and removes a temporary working directory.
    ~ServiceProcess();

    /// The process id of the started program.
    pid_t pid() const { return pid_; }
    /// The working directory of the program.
    const std::string& directory() const { return directory_; }

    /// Waits for the next line, after the line that the previous wait matched, that begins with
    /// prefix, and returns it; nothing when the output ends or timeout passes first.
    std::optional<std::string> wait_for_line(const std::string& prefix,
                                             std::chrono::milliseconds timeout = default_timeout);
    /// Waits for the next "INFO: Server started on port N" line and returns N.
    std::optional<int> wait_for_port(std::chrono::milliseconds timeout = default_timeout);
    /// Every line written so far, without line ends.
    std::vector<std::string> lines() const;
    /// True when a line written so far begins with prefix.
    bool has_line(const std::string& prefix) const;

    /// Waits for the started program to end and returns its exit status (128 + the signal's number
    /// when a signal ended it); nothing when it still runs after timeout.
    std::optional<int> wait_for_exit(std::chrono::milliseconds timeout = default_timeout);
    /// Resident memory of the started program in KiB; -1 once it has ended.
    long resident_kib() const;

    /// Kills the process group and waits for the started program; safe to call more than once.
    void stop();

private:
    void read_output(int descriptor);

    std::string directory_;
    bool owns_directory_ = false;
    pid_t pid_ = -1;
    std::optional<int> exit_status_;

    mutable std::mutex mutex_;
    std::condition_variable line_arrived_;
    std::vector<std::string> lines_;
    bool output_ended_ = false;
    std::size_t next_line_ = 0;
    bool stopping_ = false;
    std::thread reader_;
};

/// A started service and the port it announced, for programs that are not tests.
struct StartedService {
    /// Starts the program and waits for its port; throws std::runtime_error when it cannot be
    /// started or announces none.
    explicit StartedService(ServiceOptions options = {});

    /// The running program.
    ServiceProcess process;
    /// The port it listens on.
    int port;
};
