#pragma once

#include <cstddef>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>
#include <tbb/parallel_reduce.h>
#include <tbb/task_group.h>

// Every parallel loop of the imaging code goes through oneTBB's one shared worker pool, so that
// concurrent requests share the cores instead of each starting threads of their own. A loop is
// split only where every output value is computed by the same operations in the same order as in
// the sequential loop: results never depend on the number of workers.

#if defined(__SANITIZE_THREAD__)
#define LM_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LM_THREAD_SANITIZER 1
#endif
#endif

/// False under the thread sanitizer: Debian's oneTBB is not built for it, so the sanitizer cannot
/// see the library's own synchronisation and takes every hand-off between workers for a race.
/// There the loops run on the calling thread, and the sanitizer checks what it can judge: the
/// connection threads and all they share. The exactness tests check the split loops instead.
#ifdef LM_THREAD_SANITIZER
constexpr bool split_across_workers = false;
#else
constexpr bool split_across_workers = true;
#endif

/// Calls body(begin, end) on disjoint ranges that together cover [0, count), possibly at the same
/// time on several workers; ranges hold about `grain` items (at most grain, at least half of it,
/// unless fewer remain).
template <typename Index, typename Body>
void parallel_ranges(Index count, Index grain, const Body& body) {
    if (!split_across_workers) {
        body(Index{0}, count);
        return;
    }
    tbb::parallel_for(tbb::blocked_range<Index>(0, count, grain),
                      [&body](const tbb::blocked_range<Index>& range) { body(range.begin(), range.end()); });
}

/// Reduces [0, count) to one value: body(begin, end) gives the value of a range, join(a, b) merges
/// two. Ranges are formed and joined in an order that depends on the workers, so only for exact,
/// order-free reductions such as the largest value.
template <typename Index, typename Value, typename Body, typename Join>
Value reduce_ranges(Index count, Index grain, const Value& identity, const Body& body, const Join& join) {
    if (!split_across_workers) return join(identity, body(Index{0}, count));
    return tbb::parallel_reduce(
        tbb::blocked_range<Index>(0, count, grain), identity,
        [&body, &join](const tbb::blocked_range<Index>& range, const Value& sofar) {
            return join(sofar, body(range.begin(), range.end()));
        },
        join);
}

/// Runs first and second, possibly at the same time on two workers; returns when both are done.
/// For an order-fixed sequential pass that can overlap with independent parallel work.
template <typename First, typename Second>
void run_side_by_side(const First& first, const Second& second) {
    if (!split_across_workers) {
        first();
        second();
        return;
    }
    tbb::parallel_invoke(first, second);
}

/// Runs own on the calling thread while aside runs on the workers; returns when both are done.
/// For a library call that must stay on its thread (one whose own thread pools belong to the thread
/// that calls it) with independent work beside it.
template <typename Own, typename Aside>
void run_aside(const Own& own, const Aside& aside) {
    if (!split_across_workers) {
        aside();
        own();
        return;
    }
    tbb::task_group group;
    group.run(aside);
    try {
        own();
    } catch (...) {
        group.wait();
        throw;
    }
    group.wait();
}
