#include "imaging/bilateral.hpp"

#include <cstddef>
#include <memory>
#include <vector>

// Every quotient, sum and interpolation weight is formed in double from the float arguments and
// rounded to float only where it is stored (grid cells, sliced values, the result): the results are
// fixed to the bit, so none of these expressions may be reordered or merged.

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
GridShape grid_shape(int width, int height, float s, float r)
{
    GridShape g;
    g.nx = static_cast<int>((width - 1) / double(s) + 0.5);
    g.ny = static_cast<int>((height - 1) / double(s) + 0.5);
    g.nz = static_cast<int>(1 / double(r) + 0.5);
    g.row = static_cast<std::size_t>(g.nx) + 2 * margin + 1;
    g.plane = g.row * (static_cast<std::size_t>(g.ny) + 2 * margin + 1);
    g.cells = g.plane * (static_cast<std::size_t>(g.nz) + 2 * margin + 1);
    return g;
}

/// Summed data values and pixel counts over (x, y, edge value), one float per cell each.
struct BilateralGrid {
    /// Extents and strides shared by both arrays.
    GridShape shape;
    /// Sums of data values.
    std::vector<float> value;
    /// Sums of pixel counts.
    std::vector<float> weight;

    /// An all-zero grid of the given shape.
    explicit BilateralGrid(const GridShape& g) : shape(g), value(g.cells), weight(g.cells) {}
};

/// Index along one axis of the cell nearest to coordinate c (pixels or edge units) at the given step.
int nearest_cell(double c, double step) { return static_cast<int>(c / step + 0.5) + margin; }

/// Position of coordinate c between two neighbouring cells: the lower cell and both linear weights.
struct Interpolation {
    /// Index of the lower cell.
    int cell;
    /// Weight of the lower cell, 1 - a.
    double lower;
    /// Weight of the upper cell, a.
    double upper;
};

/// Where coordinate c (pixels or edge units) falls between the cells at the given step.
Interpolation interpolation(double c, double step)
{
    const double f = c / step + margin;
    const int cell = static_cast<int>(f);
    const double a = f - cell;
    return {cell, 1 - a, a};
}

/// Adds every pixel's data value, and a count of one, to its nearest cell. Pixels are visited row by
/// row from the top: the float sums depend on that order.
void splat(BilateralGrid& grid, const float* data, const float* edge, int width, int height, float s,
           float r)
{
    const GridShape& g = grid.shape;
    std::vector<std::size_t> column_cell(width);
    for (int x = 0; x < width; ++x) column_cell[x] = nearest_cell(x, s);

    float* const value = grid.value.data();
    float* const weight = grid.weight.data();
    for (int y = 0; y < height; ++y) {
        const std::size_t row_cell = nearest_cell(y, s) * g.row;
        const float* const d = data + static_cast<std::size_t>(y) * width;
        const float* const e = edge + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            const std::size_t cell = column_cell[x] + row_cell + nearest_cell(e[x], r) * g.plane;
            value[cell] += d[x];
            weight[cell] += 1.0f;
        }
    }
}

/// The five-tap kernel around a[0], neighbours `stride` apart, summed in this order in double.
float five_taps(const float* a, std::ptrdiff_t stride)
{
    return static_cast<float>((((far_tap * a[-2 * stride] + near_tap * a[-stride]) + a[0]) +
                               near_tap * a[stride]) +
                              far_tap * a[2 * stride]);
}

/// One blur pass along the axis whose neighbouring cells lie `stride` apart: every inner cell of
/// `to` gets the kernel over `from`. Reading one array and writing the other keeps each cell
/// independent of the visiting order; the margins of `to` are left at zero.
void blur_axis(const float* from, float* to, const GridShape& g, std::size_t stride)
{
    const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(stride);
    for (int k = margin; k <= g.nz + margin; ++k) {
        for (int j = margin; j <= g.ny + margin; ++j) {
            const std::size_t first = margin + j * g.row + k * g.plane;
            const float* a = from + first;
            float* out = to + first;
            for (int i = 0; i <= g.nx; ++i) out[i] = five_taps(a + i, step);
        }
    }
}

/// Blurs one array of the grid along x, then y, then the edge axis. The passes alternate between
/// the array and `spare`, an array of the same shape with zero margins, so that no pass reads a cell
/// written in the same pass; afterwards `spare` holds the old array, whose margins are still zero.
void blur_array(std::vector<float>& cells, std::vector<float>& spare, const GridShape& g)
{
    blur_axis(cells.data(), spare.data(), g, 1);
    blur_axis(spare.data(), cells.data(), g, g.row);
    blur_axis(cells.data(), spare.data(), g, g.plane);
    cells.swap(spare);
}

/// Blurs both arrays of the grid, sharing one spare array.
void blur(BilateralGrid& grid)
{
    std::vector<float> spare(grid.shape.cells);
    blur_array(grid.value, spare, grid.shape);
    blur_array(grid.weight, spare, grid.shape);
}

/// Reads both grids back at every pixel by trilinear interpolation: the sliced value p goes to
/// `sliced_value`, the sliced weight q to `sliced_weight`. Returns the largest q.
float slice(const BilateralGrid& grid, const float* edge, int width, int height, float s, float r,
            float* sliced_value, float* sliced_weight)
{
    const GridShape& g = grid.shape;
    std::vector<Interpolation> columns(width);
    for (int x = 0; x < width; ++x) columns[x] = interpolation(x, s);

    const float* const value = grid.value.data();
    const float* const weight = grid.weight.data();
    const std::size_t dy = g.row;
    const std::size_t dz = g.plane;
    float largest = 0.0f;
    for (int y = 0; y < height; ++y) {
        const Interpolation ry = interpolation(y, s);
        const std::size_t row_cell = ry.cell * g.row;
        const std::size_t offset = static_cast<std::size_t>(y) * width;
        const float* const e = edge + offset;
        float* const p_out = sliced_value + offset;
        float* const q_out = sliced_weight + offset;
        for (int x = 0; x < width; ++x) {
            const Interpolation& rx = columns[x];
            const Interpolation rz = interpolation(e[x], r);
            const std::size_t c = rx.cell + row_cell + rz.cell * dz;

            // Each corner's weight is (wx * wy) * wz; the xy products are shared by both planes.
            const double w00 = rx.lower * ry.lower, w10 = rx.upper * ry.lower;
            const double w01 = rx.lower * ry.upper, w11 = rx.upper * ry.upper;
            const double w000 = w00 * rz.lower, w100 = w10 * rz.lower;
            const double w010 = w01 * rz.lower, w110 = w11 * rz.lower;
            const double w001 = w00 * rz.upper, w101 = w10 * rz.upper;
            const double w011 = w01 * rz.upper, w111 = w11 * rz.upper;

            // Corner order: x fastest, then y, then the edge axis.
            const float p = static_cast<float>(
                w000 * value[c] + w100 * value[c + 1] + w010 * value[c + dy] +
                w110 * value[c + dy + 1] + w001 * value[c + dz] + w101 * value[c + dz + 1] +
                w011 * value[c + dz + dy] + w111 * value[c + dz + dy + 1]);
            const float q = static_cast<float>(
                w000 * weight[c] + w100 * weight[c + 1] + w010 * weight[c + dy] +
                w110 * weight[c + dy + 1] + w001 * weight[c + dz] + w101 * weight[c + dz + 1] +
                w011 * weight[c + dz + dy] + w111 * weight[c + dz + dy + 1]);
            p_out[x] = p;
            q_out[x] = q;
            if (q > largest) largest = q;
        }
    }
    return largest;
}

/// Turns the sliced values in `result` into output values: p / q blended with the data value by the
/// confidence q / qmax, so sparse parts of the grid let the input show through.
void normalise_and_blend(const float* data, const float* sliced_weight, float largest_weight,
                         std::size_t count, float* result)
{
    const double qmax = largest_weight;
    for (std::size_t n = 0; n < count; ++n) {
        const double p = result[n];
        const double q = sliced_weight[n];
        const double filtered = q > 0 ? p / q : p;
        const double confidence = q / qmax;
        result[n] = static_cast<float>(confidence * filtered + (1 - confidence) * data[n]);
    }
}

}  // namespace

Image<float> cblf(const Image<float>& data, const Image<float>& edge, float s, float r)
{
    const int width = data.width;
    const int height = data.height;
    const float* const values = data.plane_data(0);
    const float* const edges = edge.plane_data(0);

    BilateralGrid grid(grid_shape(width, height, s, r));
    splat(grid, values, edges, width, height, s, r);
    blur(grid);

    Image<float> result(width, height, 1);
    const std::size_t count = result.size();
    const std::unique_ptr<float[]> sliced_weight(new float[count]);
    const float largest_weight =
        slice(grid, edges, width, height, s, r, result.data.get(), sliced_weight.get());
    normalise_and_blend(values, sliced_weight.get(), largest_weight, count, result.data.get());
    return result;
}

Image<float> tblf(const Image<float>& data, const Image<float>& edge, float s, float r)
{
    const Image<float> first = cblf(data, edge, s, r);
    return cblf(first, edge, 3.0f * s, r / 3.0f);
}
