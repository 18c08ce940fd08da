#include "app/process_resources.hpp"

#include <csignal>

#include <malloc.h>
#include <sys/resource.h>
#include <tbb/scalable_allocator.h>

void prepare_process_resources() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Every connection thread would otherwise get an allocator arena of its own (up to 64 here),
    // and arenas keep their pages after a burst: 500 simultaneous requests left about 75 MiB
    // behind with them, about 9 MiB with two. Image buffers bypass the arenas, so two suffice.
    mallopt(M_ARENA_MAX, 2);
    // oneTBB's allocator initialises itself on its first allocation, and its clean-up command
    // reads that state: called on a fresh process it faults.
    scalable_free(scalable_malloc(1));
}

void release_idle_memory() {
    // The worker pool keeps its task objects in oneTBB's own allocator, which holds on to the blocks
    // that a burst of requests made it take until it is told to let them go.
    scalable_allocation_command(TBBMALLOC_CLEAN_ALL_BUFFERS, nullptr);
    malloc_trim(0);
}
