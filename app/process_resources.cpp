#include "app/process_resources.hpp"

#include <csignal>

#include <malloc.h>
#include <sys/resource.h>
#include <tbb/scalable_allocator.h>

#include "app/quiet_spells.hpp"

void prepare_process_resources() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Fresh memory costs its first touch (see bench/README.md), so a request
    // should find the pages of the one before it still mapped. By default the allocator hands back
    // its free top as soon as it passes a threshold that follows the largest block freed, and
    // LibRaw's buffers (its raw data and eight demosaicing tiles of 6.8 MB) were mapped anew for
    // every file. Blocks up to 32 MiB now come from the heap, whose free top is kept up to
    // 128 MiB; release_idle_memory hands everything free back once the service is quiet.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    // One arena for every thread: each connection thread would otherwise get an arena of its own
    // (up to 64 here), and the allocator cannot hand back the free top of any arena but the first
    // when asked to. With two, 500 simultaneous requests left memory behind them for good; with
    // one, all of it goes back at rest. The price is lock contention under many clients: the load
    // test's small requests run fewer per second (see bench/README.md).
    mallopt(M_ARENA_MAX, 1);
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

// The watch lives as long as the process: connection threads may still report after main ends.
// When its thread cannot be started (threads have run out), the server drops the failure, and the
// next event tries again.
void connection_came_or_went() {
    static QuietSpells* const idle = new QuietSpells(release_idle_memory, idle_memory_quiet);
    idle->event();
}
