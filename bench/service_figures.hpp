#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>

#include <sys/types.h>

#include "bench/bench_timing.hpp"

// The figures of a running service that show leaks: its thread count and its resident memory,
// read from /proc while it works and while it rests.

/// The service's thread count and resident memory at one moment.
struct ServiceFigures {
    /// Threads of the service process; -1 when they cannot be read.
    long threads = -1;
    /// Resident memory in KiB; -1 when it cannot be read.
    long resident_kib = -1;
};

/// The figures of the process now.
ServiceFigures figures_of(pid_t pid);

/// Waits until the thread count has stayed the same for a second, or timeout passes; returns the
/// figures then.
ServiceFigures steady_figures(pid_t pid, std::chrono::milliseconds timeout);

/// Waits until done(thread count) holds, or timeout passes; returns the figures then and how long
/// it took in milliseconds.
template <typename Done>
std::pair<ServiceFigures, double> figures_once(pid_t pid, Done done, std::chrono::milliseconds timeout) {
    const auto start = BenchClock::now();
    ServiceFigures figures = figures_of(pid);
    while (!done(figures.threads) && BenchClock::now() - start < timeout) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        figures = figures_of(pid);
    }
    return {figures, elapsed_ms(start, BenchClock::now())};
}

/// Samples a process's figures ten times a second on a thread of its own, keeps their peaks, and
/// hands the latest figures to a progress report every five seconds.
class FigureSampler {
public:
    /// Called with the seconds since the start and the latest figures.
    using Progress = std::function<void(double seconds, const ServiceFigures& now)>;

    /// Starts sampling the process.
    FigureSampler(pid_t pid, Progress progress);
    FigureSampler(const FigureSampler&) = delete;
    FigureSampler& operator=(const FigureSampler&) = delete;
    /// Ends the sampling if finish was not called.
    ~FigureSampler() { finish(); }

    /// Ends the sampling; the peaks are final afterwards.
    void finish();
    /// The highest figures seen, each at its own moment; read them after finish.
    const ServiceFigures& peak() const { return peak_; }

private:
    void sample(pid_t pid, const Progress& progress);

    std::atomic<bool> stop_{false};
    ServiceFigures peak_;
    std::thread thread_;
};
