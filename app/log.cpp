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
