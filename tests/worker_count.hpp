#pragma once

#include <tbb/global_control.h>

/// Runs compute with the shared worker pool limited to one worker and returns its result: the
/// reference that a run on every core must match bit for bit.
template <typename Compute>
auto on_one_worker(Compute compute) {
    const tbb::global_control one_worker(tbb::global_control::max_allowed_parallelism, 1);
    return compute();
}
