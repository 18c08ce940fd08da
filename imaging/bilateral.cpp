#include "imaging/bilateral.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "common/large_buffers.hpp"
#include "imaging/grain_sizes.hpp"
#include "imaging/parallel.hpp"

// Every quotient, sum and interpolation weight is formed in double from the float arguments and
// rounded to float only where it is stored (grid cells, sliced values, the result): the results are
// fixed to the bit, so none of these expressions may be reordered or merged.
//
// The file has two halves. "The algorithm" holds the filter's steps (splat, blur, slice,
// normalise and blend), each written for a part of the image or grid that it can work on alone.
// "The schedule" hands those parts to the shared worker pool. Every output value is computed by the
// same operations in the same order whichever worker computes it, so the result never depends on
// the number of workers. What the schedule gains over one plain loop per step is in
// bench/README.md.

namespace {

/// Taps of the five-tap blur at distance 1 and 2: the float constants widened, not the decimals.
/// Their sum 2.4836 is not 1 on purpose; the division by the sliced weight removes the scale.
constexpr double near_tap = 0.6065f;
constexpr double far_tap = 0.1353f;

/// Zero cells on each side of every grid axis: the blur reads two cells beyond the inner ones.
constexpr int margin = 2;

/// Extents and strides of a bilateral grid; the inner cells run from margin to n + margin on each axis.
struct GridShape {
    /// Inner cells minus one along x, y and the edge axis.
    int nx, ny, nz;
    /// Distance between neighbouring cells along y (cells per row).
    std::size_t row;
    /// Distance between neighbouring cells along the edge axis (cells per plane).
    std::size_t plane;
    /// Cells in the whole grid.
    std::size_t cells;
};

/// The grid for an image of the given size at spatial step s and range step r.
GridShape grid_shape(int width, int height, float s, float r) {
    GridShape g;
    g.nx = static_cast<int>((width - 1) / double(s) + 0.5);
    g.ny = static_cast<int>((height - 1) / double(s) + 0.5);
    g.nz = static_cast<int>(1 / double(r) + 0.5);
    g.row = static_cast<std::size_t>(g.nx) + 2 * margin + 1;
    g.plane = g.row * (static_cast<std::size_t>(g.ny) + 2 * margin + 1);
    g.cells = g.plane * (static_cast<std::size_t>(g.nz) + 2 * margin + 1);
    return g;
}

// The value grid and the weight grid are stored interleaved: cell n's sum of data values is float
// 2n and its pixel count float 2n + 1. The splat, the blur and the slice do the same to both, so a
// cell's two sums are loaded, widened and combined as one pair, and the slice forms p and q side by
// side with the same weights (see bench/README.md).

/// Floats per grid cell: the value sum, then the pixel count.
constexpr std::size_t pair = 2;

/// A cell's value sum and pixel count widened to double, side by side in one SSE2 register. Every
/// operation on a Pair is the scalar double operation done on each lane, with the same rounding.
typedef double Pair __attribute__((vector_size(16)));

/// The pair stored at `cell`, widened to double.
Pair load_pair(const float* cell) { return Pair{cell[0], cell[1]}; }

/// Stores both lanes of `sums` at `cell`, each rounded to float.
void store_pair(float* cell, Pair sums) {
    cell[0] = static_cast<float>(sums[0]);
    cell[1] = static_cast<float>(sums[1]);
}

/// Summed data values and pixel counts over (x, y, edge value), interleaved as described above, in
/// memory that a SmoothingScratch owns.
struct BilateralGrid {
    /// Extents and strides.
    GridShape shape;
    /// The cells' pairs, 2 * shape.cells floats.
    float* cells;
};

/// Index along one axis of the cell nearest to coordinate c (pixels or edge units) at the given step.
int nearest_cell(double c, double step) { return static_cast<int>(c / step + 0.5) + margin; }

/// Two int lanes, the cells of the two coordinates in a Pair.
typedef int PairCells __attribute__((vector_size(8)));

/// f truncated toward zero; the result is a whole number.
double truncated(double f) { return static_cast<int>(f); }
/// Both lanes of f truncated toward zero.
Pair truncated(Pair f) { return __builtin_convertvector(__builtin_convertvector(f, PairCells), Pair); }

/// Position of coordinate c between two neighbouring cells: the lower cell and both linear weights.
/// T is double, or Pair for two coordinates at once.
template <typename T>
struct Interpolation {
    /// Index of the lower cell, a whole number.
    T cell;
    /// Weight of the lower cell, 1 - a.
    T lower;
    /// Weight of the upper cell, a.
    T upper;
};

/// Where coordinate c (pixels or edge units) falls between the cells at the given step.
template <typename T>
Interpolation<T> interpolation(T c, double step) {
    const T f = c / step + margin;
    const T cell = truncated(f);
    const T a = f - cell;
    return {cell, 1 - a, a};
}

// ---------------------------------------------------------------------------------------------
// The algorithm
// ---------------------------------------------------------------------------------------------

/// A block of pixels: rows [top, bottom), columns [left, right), cut at column `middle` into two
/// halves that share no cell (either half may be empty). All its rows have the same nearest grid
/// row, so its cells are the columns [first_column, first_column + columns) of that row on every
/// plane.
struct PixelBlock {
    /// The bounds named above, in pixels.
    int left, middle, right, top, bottom;
    /// The first grid column and the number of grid columns that the block's pixels reach.
    int first_column, columns;
};

/// Adds every pixel's data value, and a count of one, to its nearest cell, for the pixels of
/// `block`. Each cell gets its pixels row by row from the top, each row from the left: the float
/// sums depend on that order. `cells` holds the block's cells, column by column within each plane
/// as in the grid; `column_cell` holds each pixel column's nearest cell along x.
void splat(float* cells, const float* data, const float* edge, int width, const PixelBlock& block,
           const int* column_cell, float r) {
    for (int y = block.top; y < block.bottom; ++y) {
        const std::size_t offset = static_cast<std::size_t>(y) * width;
        const float* const d = data + offset;
        const float* const e = edge + offset;
        const auto add = [&](int x) {
            const std::size_t column = column_cell[x] - block.first_column;
            float* const cell = cells + pair * (column + nearest_cell(e[x], r) * std::size_t(block.columns));
            cell[0] += d[x];
            cell[1] += 1.0f;
        };

        // Neighbouring pixels mostly add to the same cell, each addition waiting for the last one's
        // store. The two halves share no cell, so walking them side by side gives the processor two
        // such chains to overlap; each cell still sees its pixels in row order (see
        // bench/README.md).
        const int left_count = block.middle - block.left;
        const int right_count = block.right - block.middle;
        const int both = left_count < right_count ? left_count : right_count;
        for (int t = 0; t < both; ++t) {
            add(block.left + t);
            add(block.middle + t);
        }
        for (int x = block.left + both; x < block.middle; ++x) add(x);
        for (int x = block.middle + both; x < block.right; ++x) add(x);
    }
}

/// The five-tap kernel around the pair at a, neighbours `stride` floats apart, summed in this order
/// in double.
Pair five_taps(const float* a, std::ptrdiff_t stride) {
    return (((far_tap * load_pair(a - 2 * stride) + near_tap * load_pair(a - stride)) + load_pair(a)) +
            near_tap * load_pair(a + stride)) +
           far_tap * load_pair(a + 2 * stride);
}

/// The number of inner grid rows, numbered n = (j - margin) + (ny + 1) * (k - margin).
std::size_t inner_rows(const GridShape& g) {
    return (static_cast<std::size_t>(g.ny) + 1) * (static_cast<std::size_t>(g.nz) + 1);
}

/// One blur pass along the axis whose neighbouring cells lie `stride` cells apart, for the inner
/// rows [begin, end): every inner cell of those rows in `to` gets the kernel over `from`. Reading
/// one array and writing the other keeps each cell independent of the visiting order.
void blur_axis(const float* from, float* to, const GridShape& g, std::size_t stride, std::size_t begin,
               std::size_t end) {
    const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(pair * stride);
    const std::size_t rows_per_plane = static_cast<std::size_t>(g.ny) + 1;
    for (std::size_t n = begin; n < end; ++n) {
        const std::size_t j = margin + n % rows_per_plane;
        const std::size_t k = margin + n / rows_per_plane;
        const std::size_t first = pair * (margin + j * g.row + k * g.plane);
        const float* a = from + first;
        float* out = to + first;
        for (int i = 0; i <= g.nx; ++i) store_pair(out + pair * i, five_taps(a + pair * i, step));
    }
}

/// Where a pixel column falls between the grid columns, each weight doubled into both lanes of a
/// Pair so that it scales a cell's value sum and pixel count at once.
struct ColumnWeights {
    /// Index of the lower grid column.
    std::size_t cell;
    /// Weight of the lower grid column in both lanes.
    Pair lower;
    /// Weight of the upper grid column in both lanes.
    Pair upper;
};

/// The interpolation along x of every pixel column.
std::vector<ColumnWeights> column_weights(int width, float s) {
    std::vector<ColumnWeights> columns(width);
    for (int x = 0; x < width; ++x) {
        const Interpolation<double> rx = interpolation<double>(x, s);
        columns[x] = {static_cast<std::size_t>(rx.cell), Pair{rx.lower, rx.lower}, Pair{rx.upper, rx.upper}};
    }
    return columns;
}

/// Pixels whose edge-axis interpolations the slice works out in one go, ahead of their sums.
constexpr int slice_run = 256;

/// The edge-axis interpolations of a run of pixels: the offset of each pixel's lower corner plane
/// (in floats) and both weights doubled into Pairs. One spare entry lets pixels go in twos.
struct EdgeWeights {
    /// Offset of the lower plane, pair * k0 * cells per plane.
    std::size_t plane[slice_run + 1];
    /// Weight of the lower plane in both lanes.
    Pair lower[slice_run + 1];
    /// Weight of the upper plane in both lanes.
    Pair upper[slice_run + 1];
};

/// Fills `weights` for the `count` pixels with the given edge values (count at most slice_run).
void edge_weights(const float* edge, int count, float r, const GridShape& g, EdgeWeights& weights) {
    for (int n = 0; n < count; n += 2) {
        // An odd last pixel fills both lanes; the second lands in the spare entry.
        const float second = n + 1 < count ? edge[n + 1] : edge[n];
        const Interpolation<Pair> rz = interpolation(Pair{edge[n], second}, r);
        for (int lane = 0; lane < 2; ++lane) {
            weights.plane[n + lane] = pair * static_cast<std::size_t>(rz.cell[lane]) * g.plane;
            weights.lower[n + lane] = Pair{rz.lower[lane], rz.lower[lane]};
            weights.upper[n + lane] = Pair{rz.upper[lane], rz.upper[lane]};
        }
    }
}

/// Reads the grid back at `count` pixels of row y, starting at column `first`, by trilinear
/// interpolation: the sliced value p goes to `sliced_value`, the sliced weight q to `sliced_weight`
/// (both at the run's first pixel). Returns the largest q of the run, or 0 if none is larger.
float slice(const BilateralGrid& grid, const float* edge, int first, int count, int y, float s, float r,
            const ColumnWeights* columns, float* sliced_value, float* sliced_weight) {
    const GridShape& g = grid.shape;
    const std::size_t dy = pair * g.row;
    const std::size_t dz = pair * g.plane;
    const Interpolation<double> ry = interpolation<double>(y, s);
    const float* const row = grid.cells + pair * static_cast<std::size_t>(ry.cell) * g.row;

    // The edge axis's division and truncation are done for the whole run first, two pixels per
    // SSE2 instruction. Taken out of each pixel's long chain of dependent operations, they no
    // longer keep the processor from overlapping the sums of several pixels (see
    // bench/README.md).
    EdgeWeights z;
    edge_weights(edge, count, r, g, z);

    float largest = 0.0f;
    for (int n = 0; n < count; ++n) {
        const ColumnWeights& rx = columns[first + n];
        const float* const c = row + pair * rx.cell + z.plane[n];

        // Each corner's weight is (wx * wy) * wz; the xy products are shared by both planes.
        const Pair w00 = rx.lower * ry.lower, w10 = rx.upper * ry.lower;
        const Pair w01 = rx.lower * ry.upper, w11 = rx.upper * ry.upper;
        const Pair w000 = w00 * z.lower[n], w100 = w10 * z.lower[n];
        const Pair w010 = w01 * z.lower[n], w110 = w11 * z.lower[n];
        const Pair w001 = w00 * z.upper[n], w101 = w10 * z.upper[n];
        const Pair w011 = w01 * z.upper[n], w111 = w11 * z.upper[n];

        // Corner order: x fastest, then y, then the edge axis; lane 0 sums p, lane 1 sums q.
        const Pair pq = w000 * load_pair(c) + w100 * load_pair(c + pair) + w010 * load_pair(c + dy) +
                        w110 * load_pair(c + dy + pair) + w001 * load_pair(c + dz) +
                        w101 * load_pair(c + dz + pair) + w011 * load_pair(c + dz + dy) +
                        w111 * load_pair(c + dz + dy + pair);
        const float p = static_cast<float>(pq[0]);
        const float q = static_cast<float>(pq[1]);
        sliced_value[n] = p;
        sliced_weight[n] = q;
        if (q > largest) largest = q;
    }
    return largest;
}

/// One output value: p / q blended with the data value d by the confidence q / qmax, so sparse
/// parts of the grid let the input show through. T is double, or Pair for two pixels at once.
template <typename T>
T normalised_and_blended(T p, T q, T d, double qmax) {
    const T filtered = q > 0 ? p / q : p;
    const T confidence = q / qmax;
    return confidence * filtered + (1 - confidence) * d;
}

/// Turns the sliced values in `result` into output values for the pixels [begin, end).
void normalise_and_blend(const float* data, const float* sliced_weight, float largest_weight,
                         std::size_t begin, std::size_t end, float* result) {
    const double qmax = largest_weight;
    std::size_t n = begin;
    // Two pixels per SSE2 instruction: the divisions dominate, and divpd does two of them in the
    // time of one (see bench/README.md).
    for (; n + 1 < end; n += 2) {
        const Pair blended = normalised_and_blended(Pair{result[n], result[n + 1]},
                                                    Pair{sliced_weight[n], sliced_weight[n + 1]},
                                                    Pair{data[n], data[n + 1]}, qmax);
        store_pair(result + n, blended);
    }
    for (; n < end; ++n)
        result[n] =
            static_cast<float>(normalised_and_blended<double>(result[n], sliced_weight[n], data[n], qmax));
}

/// Splits the data values of the pixels [begin, end) into the band that the smoothing in `result`
/// removes and the smoothing minus split.offset, which replaces the smoothing in `result`.
void split_band(const float* data, const BandSplit& split, std::size_t begin, std::size_t end,
                float* result) {
    float* const band = split.band;
    const float offset = split.offset;
    for (std::size_t n = begin; n < end; ++n) {
        const float smoothed = result[n];
        band[n] = data[n] - smoothed;
        result[n] = smoothed - offset;
    }
}

// ---------------------------------------------------------------------------------------------
// The schedule
// ---------------------------------------------------------------------------------------------

/// Start positions of runs along an axis of `count` pixels, each run made of whole cells (all
/// pixels whose nearest cell lies in a range) and at least `least` pixels long where the cells
/// allow; the last entry is `count`.
std::vector<int> whole_cell_runs(int count, float s, int least) {
    std::vector<int> starts{0};
    for (int c = 1; c < count; ++c)
        if (c - starts.back() >= least && nearest_cell(c, s) != nearest_cell(c - 1, s)) starts.push_back(c);
    starts.push_back(count);
    return starts;
}

/// Sets every float of the grid to zero, spread over the workers: a grid may be fresh memory, whose
/// first touch costs more than the zeroing itself.
void clear(BilateralGrid& grid) {
    float* const cells = grid.cells;
    const std::size_t floats = pair * grid.shape.cells;
    parallel_ranges(floats, cleared_floats_per_task, [cells](std::size_t begin, std::size_t end) {
        for (std::size_t n = begin; n < end; ++n) cells[n] = 0.0f;
    });
}

/// The splat over blocks of pixels that share no cell: each block's rows have one nearest grid row,
/// its two halves are runs of whole grid columns, so each cell still gets its pixels in image order
/// from a single worker.
void splat_in_parallel(BilateralGrid& grid, const float* data, const float* edge, int width, int height,
                       float s, float r) {
    // Blocks as wide as keeping the workers busy allows: each row of a block is a separate run
    // through memory, and halves of 128 pixels took longer than halves of a whole row on fine grids
    // (see bench/README.md).
    constexpr std::size_t enough_blocks = 64;  // several per worker, since the blocks differ in size
    const std::vector<int> rows = whole_cell_runs(height, s, 1);
    const std::size_t block_rows = rows.size() - 1;
    const std::size_t wide_enough = width * block_rows / (2 * enough_blocks);
    const int least_half_width =
        static_cast<int>(wide_enough < std::size_t(width / 2) ? wide_enough : width / 2);
    const std::vector<int> halves = whole_cell_runs(width, s, least_half_width);
    const std::size_t blocks_per_row = halves.size() / 2;

    std::vector<int> column_cell(width);
    for (int x = 0; x < width; ++x) column_cell[x] = nearest_cell(x, s);

    // Each block sums into a zeroed array of its own cells and copies it into the grid when done.
    // On coarse grids the cells of neighbouring blocks share cache lines, and adding to them in
    // place made the workers wait on each other (see bench/README.md).
    const GridShape& g = grid.shape;
    const std::size_t planes = g.cells / g.plane;
    const std::size_t blocks = block_rows * blocks_per_row;
    parallel_ranges<std::size_t>(blocks, heavy_items_per_task, [&](std::size_t begin, std::size_t end) {
        std::vector<float> block_cells;
        for (std::size_t b = begin; b < end; ++b) {
            const std::size_t row = b / blocks_per_row, column = 2 * (b % blocks_per_row);
            const int left = halves[column], middle = halves[column + 1];
            const int right = halves[column + 2 < halves.size() ? column + 2 : column + 1];
            const int first_column = column_cell[left];
            const int columns = column_cell[right - 1] - first_column + 1;
            const PixelBlock block{left, middle, right, rows[row], rows[row + 1], first_column, columns};
            const std::size_t plane_floats = pair * static_cast<std::size_t>(columns);
            block_cells.assign(plane_floats * planes, 0.0f);
            splat(block_cells.data(), data, edge, width, block, column_cell.data(), r);

            const std::size_t row_cell = static_cast<std::size_t>(nearest_cell(rows[row], s)) * g.row;
            for (std::size_t k = 0; k < planes; ++k)
                std::copy_n(block_cells.data() + k * plane_floats, plane_floats,
                            grid.cells + pair * (first_column + row_cell + k * g.plane));
        }
    });
}

/// Blurs the grid along x, then y, then the edge axis, each pass over all inner rows at once. The
/// passes alternate between the grid and the spare cells (as many floats as the grid's), so that no
/// pass reads a cell written in the same pass; the grid ends up in the spare cells, whose margins
/// are zeroed first.
void blur_in_parallel(BilateralGrid& grid, float* spare_cells) {
    const GridShape& g = grid.shape;
    BilateralGrid spare{g, spare_cells};
    clear(spare);
    float* const cells = grid.cells;
    float* const other = spare.cells;
    const auto pass = [&g](const float* from, float* to, std::size_t stride) {
        parallel_ranges<std::size_t>(
            inner_rows(g), grid_rows_per_task,
            [&](std::size_t begin, std::size_t end) { blur_axis(from, to, g, stride, begin, end); });
    };
    pass(cells, other, 1);
    pass(other, cells, g.row);
    pass(cells, other, g.plane);
    grid.cells = other;
}

/// The slice over all rows, spread over the workers; returns the largest sliced weight. Each row
/// reports its own largest q and the rows' maxima are combined afterwards: a maximum does not
/// depend on the order in which it is taken.
float slice_in_parallel(const BilateralGrid& grid, const float* edge, int width, int height, float s, float r,
                        float* sliced_value, float* sliced_weight) {
    const std::vector<ColumnWeights> columns = column_weights(width, s);
    std::vector<float> row_largest(height);
    parallel_ranges(height, heavy_items_per_task, [&](int begin, int end) {
        for (int y = begin; y < end; ++y) {
            const std::size_t offset = static_cast<std::size_t>(y) * width;
            float largest = 0.0f;
            for (int first = 0; first < width; first += slice_run) {
                const int count = width - first < slice_run ? width - first : slice_run;
                const std::size_t at = offset + first;
                const float q = slice(grid, edge + at, first, count, y, s, r, columns.data(),
                                      sliced_value + at, sliced_weight + at);
                if (q > largest) largest = q;
            }
            row_largest[y] = largest;
        }
    });
    float largest = 0.0f;
    for (const float q : row_largest)
        if (q > largest) largest = q;
    return largest;
}

/// The splat, blur and slice of cblf on width x height values, with the grids in `scratch`: the
/// sliced values go to `sliced_value`, the sliced weights to `sliced_weight`. Returns the largest
/// sliced weight, which the normalisation needs.
float splat_blur_slice(const float* data, const float* edge, int width, int height, float s, float r,
                       SmoothingScratch& scratch, float* sliced_value, float* sliced_weight) {
    const GridShape shape = grid_shape(width, height, s, r);
    BilateralGrid grid{shape, scratch.buffer(SmoothingScratch::grid, pair * shape.cells)};
    clear(grid);
    splat_in_parallel(grid, data, edge, width, height, s, r);
    blur_in_parallel(grid, scratch.buffer(SmoothingScratch::spare_grid, pair * shape.cells));
    return slice_in_parallel(grid, edge, width, height, s, r, sliced_value, sliced_weight);
}

/// cblf on width x height values into `result`, which receives the sliced values first and the
/// output values in their place.
void filter(const float* data, const float* edge, int width, int height, float s, float r,
            SmoothingScratch& scratch, float* result) {
    const std::size_t count = static_cast<std::size_t>(width) * height;
    float* const sliced_weight = scratch.buffer(SmoothingScratch::sliced_weight, count);
    const float largest_weight =
        splat_blur_slice(data, edge, width, height, s, r, scratch, result, sliced_weight);
    parallel_ranges<std::size_t>(count, blended_pixels_per_task, [&](std::size_t begin, std::size_t end) {
        normalise_and_blend(data, sliced_weight, largest_weight, begin, end, result);
    });
}

/// tblf's two passes with their working memory in `scratch`. `finish(begin, end, data,
/// sliced_weight, largest_weight, first_pass, result)` turns the second pass's sliced values in
/// `result` into whatever the caller keeps, for the pixels [begin, end).
template <typename Finish>
Image<float> smooth_twice(const Image<float>& data, const Image<float>& edge, float s, float r,
                          SmoothingScratch& scratch, const Finish& finish) {
    const int width = data.width;
    const int height = data.height;
    const std::size_t count = static_cast<std::size_t>(width) * height;
    const float* const values = data.plane_data(0);
    const float* const edges = edge.plane_data(0);

    float* const first_pass = scratch.buffer(SmoothingScratch::first_pass, count);
    filter(values, edges, width, height, s, r, scratch, first_pass);

    Image<float> result(width, height, 1);
    float* const output = result.data.get();
    float* const sliced_weight = scratch.buffer(SmoothingScratch::sliced_weight, count);
    const float largest_weight = splat_blur_slice(first_pass, edges, width, height, 3.0f * s, r / 3.0f,
                                                  scratch, output, sliced_weight);
    parallel_ranges<std::size_t>(count, blended_pixels_per_task, [&](std::size_t begin, std::size_t end) {
        finish(begin, end, values, sliced_weight, largest_weight, first_pass, output);
    });
    return result;
}

}  // namespace

float* SmoothingScratch::buffer(Use use, std::size_t count) {
    // The passes of a decomposition ask for planes of one size and, after the first, mostly for
    // smaller grids: each buffer is allocated about once per decomposition.
    if (counts_[use] < count) {
        buffers_[use].reset();
        buffers_[use] = allocate_pixels<float>(count);
        counts_[use] = count;
    }
    return buffers_[use].get();
}

Image<float> cblf(const Image<float>& data, const Image<float>& edge, float s, float r) {
    SmoothingScratch scratch;
    Image<float> result(data.width, data.height, 1);
    filter(data.plane_data(0), edge.plane_data(0), data.width, data.height, s, r, scratch, result.data.get());
    return result;
}

Image<float> tblf(const Image<float>& data, const Image<float>& edge, float s, float r) {
    SmoothingScratch scratch;
    return smooth_twice(data, edge, s, r, scratch,
                        [](std::size_t begin, std::size_t end, const float*, const float* sliced_weight,
                           float largest_weight, const float* first_pass, float* result) {
                            normalise_and_blend(first_pass, sliced_weight, largest_weight, begin, end,
                                                result);
                        });
}

Image<float> tblf(const Image<float>& data, const Image<float>& edge, float s, float r,
                  const BandSplit& split, SmoothingScratch& scratch) {
    return smooth_twice(
        data, edge, s, r, scratch,
        [&split](std::size_t begin, std::size_t end, const float* values, const float* sliced_weight,
                 float largest_weight, const float* first_pass, float* result) {
            normalise_and_blend(first_pass, sliced_weight, largest_weight, begin, end, result);
            split_band(values, split, begin, end, result);
        });
}
