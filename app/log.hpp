#pragma once

#include <string>

/// Writes one log line ("INFO: ...", "ERROR: ...", "FATAL: ...") to standard output, whole and flushed,
/// so that the lines of concurrent requests never mix within a line.
void log_line(const std::string& text);

/// Text a client sent, as it may stand in a log line: every byte below 0x20 and 0x7F becomes \xNN
/// (two upper-case hex digits), so that one event stays one line and no terminal control sequence
/// reaches whoever reads the log. Other bytes stay as they are.
std::string escape_client_text(const std::string& text);
