#pragma once

#include <vector>

/// The platform's start-up step selected by "-b"; this platform needs none.
void bootstrap_system();

/// Asks the desktop to open "http://" followed by host; failures are ignored.
void start_webpage(const char* host);

/// True when at least two running processes have an executable of that file name.
bool program_is_running(const char* name);

/// Moves the executable at path to path + ".bak" and writes bytes as the new executable at path,
/// with the old file's permission bits; true only when every byte is on disk. Refuses (false,
/// nothing touched) empty bytes and paths beyond the platform's limit; when the new file cannot be
/// written whole, the previous executable is put back.
bool upgrade_program(const char* path, const std::vector<unsigned char>& bytes);

/// Puts the executable kept at path + ".bak" back at path; true when it is back.
bool restore_program(const char* path);

/// Starts path with "-f" as a new process that holds none of our descriptors above standard error,
/// then ends this one with status 0; returns (always false) only when the new program could not be
/// started, ending nothing.
[[nodiscard]] bool restart_program(const char* path);
