#include "app/compute_threads.hpp"

#include <deque>
#include <thread>
#include <utility>

#include <tbb/info.h>
#include <tbb/task_arena.h>

namespace {

/// The queue of computations and the threads that serve it; they live as long as the process.
class ComputeThreads {
public:
    static ComputeThreads& instance() {
        static ComputeThreads* threads = new ComputeThreads;
        return *threads;
    }

    void queue(Computation& computation) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            waiting_.push_back(&computation);
        }
        ready_.notify_one();
    }

private:
    // One arena for all compute threads, with a slot kept for each, so that every computation runs
    // on its own compute thread and the pool keeps one worker per core beside them.
    ComputeThreads()
        : arena_(tbb::info::default_concurrency() + compute_thread_count - 1, compute_thread_count) {
        for (int t = 0; t < compute_thread_count; ++t) std::thread([this] { serve(); }).detach();
    }

    [[noreturn]] void serve() {
        for (;;) {
            Computation* next = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return !waiting_.empty(); });
                next = waiting_.front();
                waiting_.pop_front();
            }
            arena_.execute([next] { next->run(); });
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Computation*> waiting_;
    tbb::task_arena arena_;
};

}  // namespace

Computation::Computation(std::function<void()> work) : work_(std::move(work)) {
    ComputeThreads::instance().queue(*this);
}

Computation::~Computation() { wait_until_done(); }

void Computation::wait() {
    wait_until_done();
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void Computation::run() noexcept {
    std::exception_ptr failure;
    try {
        work_();
    } catch (...) {
        failure = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = failure;
    done_ = true;
    finished_.notify_all();
}

void Computation::wait_until_done() {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [this] { return done_; });
}
