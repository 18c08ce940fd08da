#pragma once

#include <cstddef>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

// Every parallel loop of the imaging code goes through oneTBB's one shared worker pool, so that
// concurrent requests share the cores instead of each starting threads of their own. A loop is
// split only where every output value is computed by the same operations in the same order as in
// the sequential loop: results never depend on the number of workers.

/// Calls body(begin, end) on disjoint ranges that together cover [0, count), possibly at the same
/// time on several workers; a range holds at least `grain` items unless fewer remain.
template <typename Index, typename Body>
void parallel_ranges(Index count, Index grain, const Body& body) {
    tbb::parallel_for(tbb::blocked_range<Index>(0, count, grain),
                      [&body](const tbb::blocked_range<Index>& range) { body(range.begin(), range.end()); });
}
