#pragma once

#include <cstddef>

// How much work each task of a parallel loop takes: the grain argument of parallel_ranges and
// reduce_ranges, by the kind of work of the loop. A grain never changes a result (every output is
// computed by the same operations however the loop is split); it only trades the scheduler's cost
// per task against the balance of the work over the workers. The cheaper one item, the more items
// a task needs to outweigh its scheduling.

/// Bytes per task of plain copies and of packing pixels into payload bytes or out of them: large
/// enough that a task outweighs its scheduling, small enough that an image's work spreads over
/// every core.
constexpr std::size_t bytes_per_task = std::size_t{1} << 17;

/// Values per task of the whole-image loops of a few operations per value (conversions, copies,
/// reversals): a task of 32768 values takes tens of microseconds, far above the scheduler's cost per
/// task, and images below it stay on the calling thread.
constexpr std::size_t values_per_task = std::size_t{1} << 15;

/// Floats per task when a grid is zeroed: a store each.
constexpr std::size_t cleared_floats_per_task = std::size_t{1} << 16;

/// Pixels per task of the normalisation and blending after a smoothing pass: a few divisions each.
constexpr std::size_t blended_pixels_per_task = std::size_t{1} << 14;

/// Pixels per task of the request check of float luminance: a luminance and a logarithm each.
constexpr std::size_t checked_pixels_per_task = std::size_t{1} << 14;

/// Pixels per task of the colour front ends: a few powers or a logarithm each.
constexpr std::size_t converted_pixels_per_task = std::size_t{1} << 13;

/// Pixels per task of the recomposition: six powers, or an exponential and three powers, each.
constexpr std::size_t recomposed_pixels_per_task = std::size_t{1} << 12;

/// Entries per task of a table filled by a library function: a logarithm each.
constexpr std::size_t table_entries_per_task = 4096;

/// Pages per task when a fresh buffer is touched once per page: a page fault each.
constexpr std::size_t touched_pages_per_task = 512;

/// Samples per task of the constraint samples: six scattered reads each, nearly all cache misses.
constexpr int samples_per_task = 512;

/// Inner grid rows per task of a blur pass: a grid row is short (a cell per spatial step of the
/// image), so a few make a task.
constexpr std::size_t grid_rows_per_task = 4;

/// Items per task when each item is long work of its own (a JPEG strip, a band of turned rows, an
/// image row of the slice, a block of the splat): one each, so that the workers balance items of
/// unequal length.
constexpr int heavy_items_per_task = 1;
