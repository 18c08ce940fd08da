#include "app/log.hpp"

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <mutex>

namespace {

/// The bytes of one UTF-8 sequence of text, and the code point they encode.
struct Utf8Sequence {
    /// Bytes in the sequence; 0 when the bytes at its place start no valid sequence.
    std::size_t length;
    std::uint32_t code_point;
};

/// The valid UTF-8 sequence that starts at text[at]: no overlong form, no surrogate, nothing above
/// U+10FFFF, no sequence cut short by the end of the text.
Utf8Sequence utf8_sequence_at(const std::string& text, std::size_t at) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return {1, lead};
    std::size_t length = 0;
    // The range of the second byte: narrower after the leads whose full range would allow
    // overlong forms, surrogates or code points beyond U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {0, 0};
    }
    if (text.size() - at < length || byte(at + 1) < low || byte(at + 1) > high) return {0, 0};
    std::uint32_t code_point = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return {0, 0};
        code_point = code_point << 6 | (byte(at + i) & 0x3F);
    }
    return {length, code_point};
}

/// Code points that break a line or act on a terminal: C0, DEL, C1 (which an 8-bit terminal reads
/// as control sequences) and the Unicode line and paragraph separators, at which many log readers
/// break lines.
bool is_control(std::uint32_t code_point) {
    return code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F) || code_point == 0x2028 ||
           code_point == 0x2029;
}

void append_hex_escape(std::string& escaped, unsigned char byte) {
    static constexpr char hex_digits[] = "0123456789ABCDEF";
    escaped += "\\x";
    escaped += hex_digits[byte >> 4];
    escaped += hex_digits[byte & 0x0F];
}

}  // namespace

void log_line(const std::string& text) {
    static std::mutex stdout_mutex;
    std::string line = text;
    line += '\n';
    std::lock_guard<std::mutex> lock(stdout_mutex);
    std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cout.flush();
}

// A byte that starts no valid sequence is escaped alone, and reading goes on at the next byte, so
// that a valid sequence after a broken one keeps its form.
std::string escape_client_text(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const Utf8Sequence sequence = utf8_sequence_at(text, at);
        const std::size_t length = sequence.length == 0 ? 1 : sequence.length;
        if (sequence.length == 0 || is_control(sequence.code_point)) {
            for (std::size_t i = at; i < at + length; ++i)
                append_hex_escape(escaped, static_cast<unsigned char>(text[i]));
        } else {
            escaped.append(text, at, length);
        }
        at += length;
    }
    return escaped;
}
