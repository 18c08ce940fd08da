#pragma once

/// Settings that libraries read from the environment once, when they are loaded, before main runs;
/// when the environment does not name them, this starts the program again in place (same process,
/// same arguments) with them set. It returns when the environment already names both, or when the
/// program cannot be started again, in which case the libraries' defaults stay. The restarted
/// program takes the settings it made out of its environment again, so that the programs it starts
/// run with their own defaults. Must run before any thread is started.
///
/// - OMP_WAIT_POLICY=passive: LibRaw decodes with OpenMP threads, which by default keep spinning
///   on a core for a while after each parallel step; beside the shared worker pool of the imaging
///   code, and beside other requests, that spinning takes the cores the other work needs.
/// - GLIBC_TUNABLES=glibc.malloc.tcache_count=0:glibc.pthread.stack_cache_size=4456448: the C
///   library's per-thread caches of small blocks stay with the long-lived threads (compute threads,
///   pool workers), and what they hold after a burst of connections pins heap pages that returning
///   memory to the system cannot free. Without them the service goes back to its idle size; small
///   requests under load run slower (see bench/README.md), the large ones not measurably, since the
///   hot loops allocate nothing. The library also keeps the stacks of ended threads for new ones, up
///   to 40 MiB, each with its top pages resident: at 256 KiB a connection stack, some 150 stacks,
///   whose megabytes stayed after a burst of connections. A cache of sixteen keeps about 160 KiB
///   and starts the threads of a new connection per request about as fast as the whole cache.
void settle_startup_environment(char* argv[]);
