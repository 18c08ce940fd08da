#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// The measuring discipline every benchmark shares: one warm-up call that pays for first-touch page
// faults, lazy initialisation and the worker pool's start, then several timed calls on the steady
// clock, summarised by their minimum (the least disturbed run) and median (the typical one).

/// The clock of every timing: monotonic, unaffected by clock adjustments.
using BenchClock = std::chrono::steady_clock;

/// Seconds from start to now.
inline double seconds_since(BenchClock::time_point start) {
    return std::chrono::duration<double>(BenchClock::now() - start).count();
}

/// Milliseconds from start to stop.
inline double elapsed_ms(BenchClock::time_point start, BenchClock::time_point stop) {
    return std::chrono::duration<double, std::milli>(stop - start).count();
}

/// The minimum and median of a series of timings, in milliseconds.
struct Summary {
    /// The fastest run.
    double min = 0.0;
    /// The middle run (the upper of the two middle ones for an even count).
    double median = 0.0;
    /// Number of timed runs.
    std::size_t runs = 0;
};

/// Summarises a series of timings; an empty series gives zeros.
inline Summary summarise(std::vector<double> ms) {
    if (ms.empty()) return {};
    std::sort(ms.begin(), ms.end());
    return {ms.front(), ms[ms.size() / 2], ms.size()};
}

/// Calls run() once to warm up, then `runs` times, timing each call whole.
template <typename Run>
Summary time_calls(int runs, Run run) {
    run();
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto start = BenchClock::now();
        run();
        ms.push_back(elapsed_ms(start, BenchClock::now()));
    }
    return summarise(std::move(ms));
}

/// Calls run() once to warm up, then `runs` times; each call returns the durations of its phases
/// (the same number every time), and each phase is summarised on its own.
template <typename Run>
std::vector<Summary> time_phases(int runs, Run run) {
    run();
    std::vector<std::vector<double>> phases;
    for (int i = 0; i < runs; ++i) {
        const std::vector<double> ms = run();
        phases.resize(ms.size());
        for (std::size_t p = 0; p < ms.size(); ++p) phases[p].push_back(ms[p]);
    }
    std::vector<Summary> summaries;
    for (std::vector<double>& phase : phases) summaries.push_back(summarise(std::move(phase)));
    return summaries;
}

/// Prints one figure as an aligned line: name, minimum and median in milliseconds.
inline void print_figure(const std::string& name, const Summary& summary) {
    std::printf("  %-58s min %9.2f ms   median %9.2f ms\n", name.c_str(), summary.min, summary.median);
    std::fflush(stdout);
}

/// Prints a heading with the run count and what the figures below leave out.
inline void print_heading(const std::string& title, int runs, const std::string& excluded) {
    std::printf("%s (%d runs after one warm-up; excluded: %s)\n", title.c_str(), runs, excluded.c_str());
    std::fflush(stdout);
}
