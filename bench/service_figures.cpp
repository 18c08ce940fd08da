#include "bench/service_figures.hpp"

#include <algorithm>

#include "tests/resident_memory.hpp"

ServiceFigures figures_of(pid_t pid) { return {thread_count(pid), resident_kib(pid)}; }

ServiceFigures steady_figures(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = BenchClock::now() + timeout;
    ServiceFigures figures = figures_of(pid);
    auto unchanged_since = BenchClock::now();
    while (BenchClock::now() < deadline && BenchClock::now() - unchanged_since < std::chrono::seconds(1)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const ServiceFigures now = figures_of(pid);
        if (now.threads != figures.threads) unchanged_since = BenchClock::now();
        figures = now;
    }
    return figures;
}

FigureSampler::FigureSampler(pid_t pid, Progress progress)
    : thread_([this, pid, progress = std::move(progress)] { sample(pid, progress); }) {}

void FigureSampler::finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void FigureSampler::sample(pid_t pid, const Progress& progress) {
    const auto start = BenchClock::now();
    auto next_report = start + std::chrono::seconds(5);
    while (!stop_) {
        const ServiceFigures now = figures_of(pid);
        peak_.threads = std::max(peak_.threads, now.threads);
        peak_.resident_kib = std::max(peak_.resident_kib, now.resident_kib);
        if (BenchClock::now() >= next_report) {
            progress(elapsed_ms(start, BenchClock::now()) / 1000.0, now);
            next_report += std::chrono::seconds(5);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}
