#include "app/quiet_spells.hpp"

#include <utility>

QuietSpells::QuietSpells(std::function<void()> handler, std::chrono::milliseconds quiet)
    : handler_(std::move(handler)), quiet_(quiet), watcher_([this] { watch(); }) {}

QuietSpells::~QuietSpells() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    watcher_.join();
}

void QuietSpells::event() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last_event_ = std::chrono::steady_clock::now();
        pending_ = true;
    }
    changed_.notify_all();
}

void QuietSpells::watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || pending_; });
        // Each event moves the end of the spell; the wait ends only at the latest one.
        while (!stopping_ && std::chrono::steady_clock::now() < last_event_ + quiet_)
            changed_.wait_until(lock, last_event_ + quiet_);
        if (stopping_) return;
        pending_ = false;
        lock.unlock();
        handler_();
        lock.lock();
    }
}
