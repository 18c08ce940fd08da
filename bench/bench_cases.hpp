#pragma once

#include <functional>
#include <vector>

#include "tests/service_process.hpp"

// What the drivers that measure a started service share: its peak memory, this process's descriptor
// limit, and the running of named cases against the built service or another build.

/// Peak resident memory (VmHWM) of a started service so far, in MiB.
double peak_mib(const StartedService& service);

/// Raises the soft limit of open descriptors to the hard one; a service started afterwards inherits
/// it. Returns the limit now in force, -1 for no limit.
long raise_descriptor_limit();

/// One measurement of a driver: its name on the command line, and what runs it against services
/// started with the options given; false when it misses its bound.
struct BenchCase {
    /// The name that chooses it.
    const char* name;
    /// Runs it; may throw, which counts as missing the bound.
    std::function<bool(const ServiceOptions&)> run;
};

/// Runs the cases named in argv (every one when none is), against the build that "--binary PATH"
/// names or the built service, after a heading line; the driver's exit status: 1 when a case misses
/// its bound, fails to run or is unknown.
int run_bench_cases(const char* driver, const char* limits, int argc, char** argv,
                    const std::vector<BenchCase>& cases);
