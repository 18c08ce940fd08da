#pragma once

#include <chrono>

/// Prepares the process to serve many hostile clients for a long time: raises the limit of open
/// descriptors to the most it may have, so that each connection can get one; ignores SIGPIPE, so
/// that a closed standard output costs log lines, not the service; and sets the allocator to keep
/// its pages from one request to the next, in one arena. Must run before any thread is started.
void prepare_process_resources();

/// Returns memory that the allocators keep after a burst of requests to the system: after a few
/// hundred simultaneous requests they would otherwise hold tens of megabytes for good.
void release_idle_memory();

/// How long the service goes without a connection coming or going before it releases its idle
/// memory: a client that sends its requests one after another keeps its pages warm, as a browser
/// does when it opens a file and then asks for its layers.
constexpr std::chrono::seconds idle_memory_quiet{2};

/// Tells the idle memory release that a connection came or went: it runs, on a thread of its own,
/// once no connection has come or gone for idle_memory_quiet.
void connection_came_or_went();
