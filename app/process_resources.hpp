#pragma once

/// Prepares the process to serve many hostile clients for a long time: raises the limit of open
/// descriptors to the most it may have, so that each connection can get one; ignores SIGPIPE, so
/// that a closed standard output costs log lines, not the service; and bounds the allocator's
/// arenas. Must run before any thread is started.
void prepare_process_resources();

/// Returns memory that the allocators keep after a burst of requests to the system: after a few
/// hundred simultaneous requests they would otherwise hold tens of megabytes for good.
void release_idle_memory();
