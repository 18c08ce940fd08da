#include "app/log.hpp"

#include <iostream>
#include <mutex>

void log_line(const std::string& text) {
    static std::mutex stdout_mutex;
    std::string line = text;
    line += '\n';
    std::lock_guard<std::mutex> lock(stdout_mutex);
    std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cout.flush();
}

std::string escape_client_text(const std::string& text) {
    static constexpr char hex_digits[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (byte >= 0x20 && byte != 0x7F) {
            escaped += character;
        } else {
            escaped += "\\x";
            escaped += hex_digits[byte >> 4];
            escaped += hex_digits[byte & 0x0F];
        }
    }
    return escaped;
}
