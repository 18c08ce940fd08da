#pragma once

#include <fstream>
#include <string>

#include <sys/types.h>

/// Resident memory of a process in KiB, from /proc/<pid>/status; -1 when it cannot be read.
inline long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = -1;
            status >> kib;
            return kib;
        }
        status.ignore(1 << 16, '\n');
    }
    return -1;
}
