#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

/// Runs a handler on a thread of its own once nothing has happened for a quiet time: once per quiet
/// spell, however many events came before it. The service counts connections that come and go, so
/// that requests that follow each other keep their memory while a client that holds one connection
/// open does not keep the service from resting.
class QuietSpells {
public:
    /// Starts the watching thread; nothing runs before the first event.
    QuietSpells(std::function<void()> handler, std::chrono::milliseconds quiet);
    QuietSpells(const QuietSpells&) = delete;
    QuietSpells& operator=(const QuietSpells&) = delete;
    /// Drops a run still pending and waits for one in progress.
    ~QuietSpells();

    /// Something happened: the quiet time counts again from now.
    void event();

private:
    void watch();

    const std::function<void()> handler_;
    const std::chrono::milliseconds quiet_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::chrono::steady_clock::time_point last_event_;
    bool pending_ = false;
    bool stopping_ = false;
    std::thread watcher_;
};
