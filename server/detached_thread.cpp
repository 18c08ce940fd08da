#include "server/detached_thread.hpp"

#include <memory>

#include <pthread.h>

namespace {

extern "C" void* run_work(void* argument) {
    const std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(argument));
    (*work)();
    return nullptr;
}

/// Thread attributes, destroyed on every path.
class ThreadAttributes {
public:
    ThreadAttributes() : valid_(::pthread_attr_init(&attributes_) == 0) {}
    ~ThreadAttributes() {
        if (valid_) ::pthread_attr_destroy(&attributes_);
    }
    ThreadAttributes(const ThreadAttributes&) = delete;
    ThreadAttributes& operator=(const ThreadAttributes&) = delete;

    /// True once the attributes describe a detached thread with a stack of that size.
    bool set(std::size_t stack_size) {
        return valid_ && ::pthread_attr_setstacksize(&attributes_, stack_size) == 0 &&
               ::pthread_attr_setdetachstate(&attributes_, PTHREAD_CREATE_DETACHED) == 0;
    }
    const pthread_attr_t* get() const { return &attributes_; }

private:
    pthread_attr_t attributes_;
    const bool valid_;
};

}  // namespace

void start_detached_thread(std::size_t stack_size, std::function<void()> work) {
    ThreadAttributes attributes;
    if (!attributes.set(stack_size)) return;
    auto owned = std::make_unique<std::function<void()>>(std::move(work));
    pthread_t thread{};
    // Once started, the new thread owns the work.
    if (::pthread_create(&thread, attributes.get(), run_work, owned.get()) == 0) owned.release();
}
