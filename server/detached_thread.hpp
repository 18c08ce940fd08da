#pragma once

#include <cstddef>
#include <functional>

/// Starts work on a new detached thread whose stack is stack_size bytes (std::thread cannot choose
/// it); when no such thread can be started, work is dropped without running. Throws std::bad_alloc
/// when work cannot be stored for the thread.
void start_detached_thread(std::size_t stack_size, std::function<void()> work);
