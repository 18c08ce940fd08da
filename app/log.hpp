#pragma once

#include <string>

/// Writes one log line ("INFO: ...", "ERROR: ...", "FATAL: ...") to standard output, whole and flushed,
/// so that the lines of concurrent requests never mix within a line.
void log_line(const std::string& text);
