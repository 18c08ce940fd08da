#pragma once

#include <fstream>
#include <string>

#include <sys/types.h>

/// A number of /proc/<pid>/status by its key with the colon ("VmRSS:" in KiB, "Threads:"); -1 when
/// it cannot be read.
inline long process_status_value(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    while (status >> word) {
        if (word == key) {
            long value = -1;
            status >> value;
            return value;
        }
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

/// Resident memory of a process in KiB, from /proc/<pid>/status; -1 when it cannot be read.
inline long resident_kib(pid_t pid) { return process_status_value(pid, "VmRSS:"); }

/// Number of threads of a process, from /proc/<pid>/status; -1 when it cannot be read.
inline long thread_count(pid_t pid) { return process_status_value(pid, "Threads:"); }
