#pragma once

#include <optional>
#include <string>
#include <vector>

/// The platform's start-up step selected by "-b"; this platform needs none.
void bootstrap_system();

/// Asks the desktop to open "http://" followed by host; failures are ignored.
void start_webpage(const char* host);

/// True when at least two running processes have an executable of that file name.
bool program_is_running(const char* name);

/// Why path cannot name the program's own file for an upgrade; nothing when it can.
std::optional<std::string> unusable_program_path(const char* path);

/// How an upgrade of the program's file ended.
enum class UpgradeState {
    /// Every byte of the new program is on disk at the path; the previous one is at path + ".bak".
    written,
    /// Refused before any file was touched.
    refused,
    /// The new file could not be written whole, and the previous program is back at the path.
    restored,
    /// The new file could not be written whole, and the previous program stayed at path + ".bak".
    left_at_backup,
};

/// What an upgrade of the program's file did and, unless it wrote the new program, why not.
struct UpgradeOutcome {
    /// How it ended.
    UpgradeState state;
    /// Why the new program is not in place, for the log; empty when it was written.
    std::string reason;
};

/// Moves the executable at path to path + ".bak" and writes bytes as the new executable at path,
/// with the old file's permission bits; written only when every byte is on disk. Refuses, touching
/// nothing, empty bytes, a path that unusable_program_path rejects, a path that names no regular
/// file, and a program that cannot be moved aside; when the new file cannot be written whole, the
/// previous executable is put back.
UpgradeOutcome upgrade_program(const char* path, const std::vector<unsigned char>& bytes);

/// Puts the executable kept at path + ".bak" back at path; true when it is back.
bool restore_program(const char* path);

/// Starts path with "-f" as a new process that holds none of our descriptors above standard error,
/// then ends this one with status 0; returns (always false) only when the new program could not be
/// started, ending nothing.
[[nodiscard]] bool restart_program(const char* path);
