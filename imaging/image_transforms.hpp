#pragma once

// Rotation, padding, box filtering and resizing of images; reached through imaging/image.hpp.

#include "imaging/image.hpp"

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

namespace image_detail {

/// The remainder of k modulo 4 in 0..3, also for a negative k (-1 turns clockwise).
inline int quarter_turns(int k) { return (k % 4 + 4) % 4; }

/// Side of the square tiles in which a turn is walked. A quarter turn reads along source columns
/// while it writes along rows; within a tile the few dozen source rows it reads from stay in
/// cache, where an untiled turn fetches a new cache line for nearly every value (see
/// bench/README.md).
constexpr int turn_tile = 64;

/// Writes count values in reverse order, spread over the workers.
template <typename T>
void reverse_values(const T* in, std::size_t count, T* out) {
    parallel_ranges(count, values_per_task, [=](std::size_t begin, std::size_t end) {
        std::reverse_copy(in + (count - end), in + (count - begin), out + begin);
    });
}

/// Box window size in pixels along one axis: the given size rounded half up, at least 1.
template <typename S>
int box_window(S size, int extent) {
    const S rounded = size + S(0.5f);
    if (!(rounded >= S(1))) return 1;  // also for NaN
    // A window of twice the extent reaches the whole axis from every pixel; capping a larger one
    // changes no result and keeps the index arithmetic inside int.
    const int cap = 2 * extent + 2;
    return rounded >= static_cast<S>(cap) ? cap : static_cast<int>(rounded);
}

/// How far a box window reaches before and after its centre pixel along one axis.
struct BoxReach {
    /// Pixels taken before (left of, above) the centre.
    int before;
    /// Pixels taken after (right of, below) the centre.
    int after;
};

/// The reach of a window of the given size: an even window's extra pixel goes after the centre,
/// or before it when shift is set.
inline BoxReach box_reach(int window, bool shift) {
    const int a = (window - 1) / 2;
    const int b = window - 1 - a;
    return shift ? BoxReach{b, a} : BoxReach{a, b};
}

/// The mean of every value of the image, summed in double precision in storage order.
template <typename T>
double mean_value(const Image<T>& image) {
    const T* const values = image.data.get();
    double sum = 0.0;
    for (std::size_t i = 0, n = image.size(); i < n; ++i) sum += values[i];
    return sum / static_cast<double>(image.size());
}

/// The w x h integral image of one plane after subtracting mean: entry (x, y) sums every value at
/// or above and left of (x, y). Removing the mean keeps the large sums from swamping small values.
template <typename T>
std::vector<double> integral_image(const T* in, int w, int h, double mean) {
    std::vector<double> s(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        const T* const row = in + static_cast<std::size_t>(y) * w;
        double* const out = s.data() + static_cast<std::size_t>(y) * w;
        const double* const above = y > 0 ? out - w : nullptr;
        for (int x = 0; x < w; ++x) {
            double v = static_cast<double>(row[x]) - mean;
            if (x > 0) v = v + out[x - 1];
            if (y > 0) v = v + above[x];
            if (x > 0 && y > 0) v = v - above[x - 1];
            out[x] = v;
        }
    }
    return s;
}

/// The centre of output pixel i in input pixel coordinates, clamped to [0, extent - 1].
inline double sample_position(float scale, float half_step, int i, int extent) {
    const double p = static_cast<double>(scale) * i + half_step - 0.5;
    return std::min(std::max(p, 0.0), static_cast<double>(extent - 1));
}

/// One plane resampled from the nearest input pixel; row_length is the source's row stride.
/// Output rows are spread over the workers: each value is a copy of one input value.
inline void sample_nearest(const float* source, int row_length, const std::vector<double>& xs,
                           const std::vector<double>& ys, float* out) {
    std::vector<int> columns(xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) columns[i] = static_cast<int>(xs[i] + 0.5);
    const std::size_t width = columns.size();
    const std::size_t rows_per_task =
        std::max<std::size_t>(1, values_per_task / std::max<std::size_t>(width, 1));
    parallel_ranges(ys.size(), rows_per_task, [&](std::size_t first, std::size_t end) {
        for (std::size_t j = first; j < end; ++j) {
            const std::size_t y = static_cast<std::size_t>(static_cast<int>(ys[j] + 0.5));
            const float* const row = source + y * row_length;
            float* const to = out + j * width;
            for (std::size_t i = 0; i < width; ++i) to[i] = row[columns[i]];
        }
    });
}

/// One plane resampled bilinearly; the source has one zero column and row beyond the input, so
/// that the neighbour of a clamped position exists and is read with weight zero.
inline void sample_bilinear(const float* source, int row_length, const std::vector<double>& xs,
                            const std::vector<double>& ys, float* out) {
    for (double y : ys) {
        const int yi = static_cast<int>(y);
        const double ay = y - yi;
        const float* const top = source + static_cast<std::size_t>(yi) * row_length;
        const float* const bottom = top + row_length;
        for (double x : xs) {
            const int xi = static_cast<int>(x);
            const double ax = x - xi;
            *out++ = static_cast<float>((((1.0 - ax) * (1.0 - ay) * top[xi] + ax * (1.0 - ay) * top[xi + 1]) +
                                         (1.0 - ax) * ay * bottom[xi]) +
                                        ax * ay * bottom[xi + 1]);
        }
    }
}

}  // namespace image_detail

/// Where the values of a plane turned by some quarter turns counter-clockwise come from: the
/// turned plane's row r, column q takes source index origin + r * row_step + q * column_step.
struct TurnMap {
    /// Source index of the turned plane's first value.
    std::ptrdiff_t origin;
    /// Source index step from one turned row to the next.
    std::ptrdiff_t row_step;
    /// Source index step from one turned column to the next.
    std::ptrdiff_t column_step;
    /// Width of the turned plane.
    int width;
    /// Height of the turned plane.
    int height;
};

/// The map of a w x h plane turned by k quarter turns counter-clockwise; k acts by its
/// non-negative remainder modulo 4, and an odd count swaps width and height.
inline TurnMap turn_map(int w, int h, int k) {
    const std::ptrdiff_t row = w;
    const std::ptrdiff_t last = static_cast<std::ptrdiff_t>(h) * w - 1;
    switch (image_detail::quarter_turns(k)) {
        case 1: return {w - 1, -1, row, h, w};           // row r, column q from in(w - 1 - r, q)
        case 2: return {last, -row, -1, w, h};           // from in(w - 1 - q, h - 1 - r)
        case 3: return {last - (w - 1), 1, -row, h, w};  // from in(r, h - 1 - q)
        default: return {0, row, 1, w, h};
    }
}

/// Calls move(to, from) for every value of turned rows [first, end): to is its index in the turned
/// plane, from the source index it comes from. Bands of turned rows are spread over the workers,
/// so move must only write at to.
template <typename Move>
void for_each_turned_in_rows(const TurnMap& map, int first, int end, const Move& move) {
    using image_detail::turn_tile;
    const int bands = (end - first + turn_tile - 1) / turn_tile;
    parallel_ranges(bands, heavy_items_per_task, [&map, &move, first, end](int first_band, int end_band) {
        // Local copies: a byte store may alias anything reached through a reference, which would
        // make the compiler reload the map and the move's pointers after every value.
        const Move local_move = move;
        const std::ptrdiff_t origin = map.origin, row_step = map.row_step, column_step = map.column_step;
        const int width = map.width;
        const int first_row = first + first_band * turn_tile;
        const int end_row = std::min(first + end_band * turn_tile, end);
        for (int q0 = 0; q0 < width; q0 += turn_tile) {
            const int q1 = std::min(q0 + turn_tile, width);
            for (int r = first_row; r < end_row; ++r) {
                const std::size_t to = static_cast<std::size_t>(r) * width;
                const std::ptrdiff_t from = origin + r * row_step;
                for (int q = q0; q < q1; ++q) local_move(to + q, from + q * column_step);
            }
        }
    });
}

/// Calls move(to, from) for every value of the turned plane, as for_each_turned_in_rows does.
template <typename Move>
void for_each_turned(const TurnMap& map, const Move& move) {
    for_each_turned_in_rows(map, 0, map.height, move);
}

/// The image turned by k quarter turns counter-clockwise, every plane alike; k acts by its
/// non-negative remainder modulo 4 (so -1 turns clockwise). An odd count swaps width and height.
template <typename T>
Image<T> flip(const Image<T>& image, int k) {
    const int turns = image_detail::quarter_turns(k);
    if (turns == 0) return image;
    const TurnMap map = turn_map(image.width, image.height, turns);
    Image<T> result(map.width, map.height, image.channels);
    const std::size_t plane_size = static_cast<std::size_t>(image.width) * image.height;
    for (int c = 0; c < image.channels; ++c) {
        const T* const in = image.plane_data(c);
        T* const out = result.plane_data(c);
        // A half turn reverses the plane, a plain copy backwards, several times faster than a walk.
        if (turns == 2)
            image_detail::reverse_values(in, plane_size, out);
        else
            for_each_turned(map, [in, out](std::size_t to, std::ptrdiff_t from) { out[to] = in[from]; });
    }
    return result;
}

/// As flip above; a count with remainder 0 hands the moved image's buffer over instead of copying.
template <typename T>
Image<T> flip(Image<T>&& image, int k) {
    if (image_detail::quarter_turns(k) == 0) return std::move(image);
    return flip(static_cast<const Image<T>&>(image), k);
}

/// A larger image with the input at offset before (columns x, rows y, planes z) and zeros elsewhere;
/// each dimension grows by before + after.
template <typename T>
Image<T> pad(const Image<T>& image, Tuple3<int> before, Tuple3<int> after) {
    Image<T> result(image.width + before.x + after.x, image.height + before.y + after.y,
                    image.channels + before.z + after.z);
    std::fill(result.data.get(), result.data.get() + result.size(), T(0));
    for (int c = 0; c < image.channels; ++c) {
        for (int y = 0; y < image.height; ++y) {
            const T* const row = image.plane_data(c) + static_cast<std::size_t>(y) * image.width;
            T* const to = result.plane_data(c + before.z) +
                          static_cast<std::size_t>(y + before.y) * result.width + before.x;
            std::copy(row, row + image.width, to);
        }
    }
    return result;
}

/// The mean over a size.x x size.y window (rounded half up) clipped to the image, of the first
/// plane; shift puts an even window's extra pixel left and above instead of right and below.
/// A 1 x 1 window returns a copy with every plane.
template <typename T, typename S>
Image<float> box_filter(const Image<T>& image, Tuple2<S> size, bool shift) {
    const int w = image.width;
    const int h = image.height;
    const int wx = image_detail::box_window(size.x, w);
    const int wy = image_detail::box_window(size.y, h);
    if (wx == 1 && wy == 1) return Image<float>(image);

    const image_detail::BoxReach rx = image_detail::box_reach(wx, shift);
    const image_detail::BoxReach ry = image_detail::box_reach(wy, shift);
    const double mean = image_detail::mean_value(image);
    const std::vector<double> s = image_detail::integral_image(image.plane_data(0), w, h, mean);
    const auto at = [&s, w](int x, int y) { return s[static_cast<std::size_t>(y) * w + x]; };

    Image<float> result(w, h, 1);
    float* out = result.data.get();
    for (int y = 0; y < h; ++y) {
        const int y0 = std::max(y - ry.before, 0);
        const int y1 = std::min(y + ry.after, h - 1);
        for (int x = 0; x < w; ++x) {
            const int x0 = std::max(x - rx.before, 0);
            const int x1 = std::min(x + rx.after, w - 1);
            double sum = at(x1, y1);
            if (x0 > 0) sum = sum - at(x0 - 1, y1);
            if (y0 > 0) sum = sum - at(x1, y0 - 1);
            if (x0 > 0 && y0 > 0) sum = sum + at(x0 - 1, y0 - 1);
            const int count = (x1 - x0 + 1) * (y1 - y0 + 1);
            *out++ = static_cast<float>(sum / count + mean);
        }
    }
    return result;
}

/// As box_filter above; a 1 x 1 window hands the moved image's buffer over instead of copying.
template <typename S>
Image<float> box_filter(Image<float>&& image, Tuple2<S> size, bool shift) {
    const bool unit_window = image_detail::box_window(size.x, image.width) == 1 &&
                             image_detail::box_window(size.y, image.height) == 1;
    if (unit_window) return std::move(image);
    return box_filter(static_cast<const Image<float>&>(image), size, shift);
}

/// Every plane resampled to size.x x size.y, sampling at pixel centres from the nearest pixel or
/// bilinearly; prefilter first averages over the scale factors with two box passes of opposite
/// shift. The empty image resizes to an image without values and reads nothing.
template <typename T>
Image<float> resize(const Image<T>& image, Tuple2<int> size, bool bilinear, bool prefilter) {
    static_assert(std::is_same<T, float>::value, "resize works on float images");
    Image<float> result(size.x, size.y, image.channels);
    if (image.channels == 0) return result;

    const int w = image.width;
    const int h = image.height;
    const float sx = static_cast<float>(static_cast<double>(w) / size.x);
    const float sy = static_cast<float>(static_cast<double>(h) / size.y);
    const float hx = sx * 0.5f;
    const float hy = sy * 0.5f;
    std::vector<double> xs(static_cast<std::size_t>(size.x));
    std::vector<double> ys(static_cast<std::size_t>(size.y));
    for (int i = 0; i < size.x; ++i) xs[i] = image_detail::sample_position(sx, hx, i, w);
    for (int j = 0; j < size.y; ++j) ys[j] = image_detail::sample_position(sy, hy, j, h);

    for (int c = 0; c < image.channels; ++c) {
        // Sampling reads the input plane directly unless a prefilter or the zero border needs a
        // working copy.
        const float* source = image.plane_data(c);
        int row_length = w;
        Image<float> work;
        if (prefilter || bilinear) {
            work = plane(image, c);
            if (prefilter) {
                const Tuple2<float> window{sx, sy};
                work = box_filter(box_filter(std::move(work), window, true), window, false);
            }
            if (bilinear) work = pad(work, Tuple3<int>{0, 0, 0}, Tuple3<int>{1, 1, 0});
            source = work.data.get();
            row_length = work.width;
        }
        if (bilinear)
            image_detail::sample_bilinear(source, row_length, xs, ys, result.plane_data(c));
        else
            image_detail::sample_nearest(source, row_length, xs, ys, result.plane_data(c));
    }
    return result;
}
