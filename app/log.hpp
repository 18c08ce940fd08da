#pragma once

#include <string>

/// Writes one log line ("INFO: ...", "ERROR: ...", "FATAL: ...") to standard output, whole and flushed,
/// so that the lines of concurrent requests never mix within a line.
void log_line(const std::string& text);

/// Text a client sent, as it may stand in a log line: every byte that is not part of valid UTF-8,
/// and every byte of the control code points (below U+0020, U+007F to U+009F, U+2028 and U+2029),
/// becomes \xNN (two upper-case hex digits), so that one event stays one line and no terminal
/// control sequence reaches whoever reads the log. Printable UTF-8 stays as it is.
std::string escape_client_text(const std::string& text);
