#include "bench/bench_cases.hpp"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

#include <sys/resource.h>

#include "tests/resident_memory.hpp"

double peak_mib(const StartedService& service) {
    return process_status_value(service.process.pid(), "VmHWM:") / 1024.0;
}

long raise_descriptor_limit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}

int run_bench_cases(const char* driver, const char* limits, int argc, char** argv,
                    const std::vector<BenchCase>& cases) {
    ServiceOptions options;
    std::vector<std::string> chosen;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--binary" && i + 1 < argc)
            options.binary = argv[++i];
        else
            chosen.push_back(argument);
    }
    for (const std::string& name : chosen) {
        if (std::none_of(cases.begin(), cases.end(),
                         [&](const BenchCase& one) { return name == one.name; })) {
            std::fprintf(stderr, "%s: no case %s\n", driver, name.c_str());
            return 1;
        }
    }
    std::printf("%s: %s, %s\n", driver, options.binary.c_str(), limits);
    std::fflush(stdout);
    bool all_within = true;
    for (const BenchCase& one : cases) {
        if (!chosen.empty() && std::find(chosen.begin(), chosen.end(), one.name) == chosen.end()) continue;
        try {
            all_within = one.run(options) && all_within;
        } catch (const std::exception& error) {
            std::printf("  %-19s failed to run: %s   FAILED\n", one.name, error.what());
            all_within = false;
        }
        std::fflush(stdout);
    }
    return all_within ? 0 : 1;
}
