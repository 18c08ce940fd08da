#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

#include "common/large_buffers.hpp"
#include "imaging/grain_sizes.hpp"
#include "imaging/parallel.hpp"

namespace image_detail {

/// out[i] = op(in[i]) for every i below count, spread over the workers; in may be out. Each value
/// depends on its own input alone, so the split cannot change a result, and the first touch of a
/// fresh out buffer is shared among the cores.
template <typename In, typename Out, typename Op>
void transform_values(const In* in, std::size_t count, Out* out, const Op& op) {
    parallel_ranges(count, values_per_task, [in, out, &op](std::size_t begin, std::size_t end) {
        // Local copies: a byte store may alias anything reached through the closure, and reloading
        // the pointers after every store would keep the loop from being vectorised.
        const In* const from = in;
        Out* const to = out;
        const Op local_op = op;
        for (std::size_t i = begin; i < end; ++i) to[i] = local_op(from[i]);
    });
}

/// Copies count values from in to out (not overlapping), spread over the workers.
template <typename T>
void copy_values(const T* in, std::size_t count, T* out) {
    parallel_ranges(count, values_per_task, [in, out](std::size_t begin, std::size_t end) {
        std::copy(in + begin, in + end, out + begin);
    });
}

}  // namespace image_detail

/// A planar image: plane after plane, rows top to bottom, each row left to right.
/// The value of column x, row y, plane c lies at (c * height + y) * width + x.
/// Copies duplicate the buffer; moves hand it over and leave the source empty.
template <typename T>
struct Image {
    /// The element type, also the type of the scalar operands of the element-wise operations.
    using value_type = T;

    /// Values per row.
    int width = 0;
    /// Rows per plane.
    int height = 0;
    /// Number of planes (1 or 3 in use; 0 in the empty image).
    int channels = 0;
    /// The owned buffer of width * height * channels values; null in the empty image.
    std::unique_ptr<T[]> data;

    /// The empty image.
    Image() = default;

    /// An image of the given size whose values are left unset: every producer writes them all.
    Image(int width, int height, int channels)
        : width(width),
          height(height),
          channels(channels),
          data(allocate_pixels<T>(static_cast<std::size_t>(width) * height * channels)) {}

    /// A copy that owns its own values.
    Image(const Image& o) : width(o.width), height(o.height), channels(o.channels) {
        if (o.data) {
            data = allocate_pixels<T>(o.size());
            image_detail::copy_values(o.data.get(), o.size(), data.get());
        }
    }

    /// Takes o's buffer; o is left as the empty image.
    Image(Image&& o) noexcept
        : width(o.width), height(o.height), channels(o.channels), data(std::move(o.data)) {
        o.width = o.height = o.channels = 0;
    }

    /// Converts every value of o by the ordinary numeric conversion (floating to integer truncates).
    template <typename U>
    explicit Image(const Image<U>& o) : width(o.width), height(o.height), channels(o.channels) {
        if (o.data) {
            data = allocate_pixels<T>(o.size());
            image_detail::transform_values(o.data.get(), o.size(), data.get(),
                                           [](U v) { return static_cast<T>(v); });
        }
    }

    Image& operator=(const Image& o) {
        if (this != &o) *this = Image(o);
        return *this;
    }

    Image& operator=(Image&& o) noexcept {
        if (this != &o) {
            width = o.width;
            height = o.height;
            channels = o.channels;
            data = std::move(o.data);
            o.width = o.height = o.channels = 0;
        }
        return *this;
    }

    /// Number of values in the buffer: width * height * channels.
    std::size_t size() const { return static_cast<std::size_t>(width) * height * channels; }

    /// Start of plane c (both overloads).
    T* plane_data(int c) { return data.get() + static_cast<std::size_t>(c) * width * height; }
    const T* plane_data(int c) const { return data.get() + static_cast<std::size_t>(c) * width * height; }
};

/// A pair of values: window sizes (x horizontal, y vertical) and target sizes (x width, y height).
template <typename T>
struct Tuple2 {
    T x;
    T y;
};

/// A triple of values: paddings (x columns, y rows, z planes).
template <typename T>
struct Tuple3 {
    T x;
    T y;
    T z;
};

// Element-wise operations. Each comes in two forms: a constant operand is left untouched and the
// results fill a new buffer in the same pass that computes them; a moved operand has its buffer
// reused in place, so a chain of operations on a result allocates once.

namespace image_detail {

/// v when v > s, else s (so NaN gives s).
template <typename T>
T maximum_value(T v, T s) {
    return v > s ? v : s;
}

/// v when v < s, else s (so NaN gives s).
template <typename T>
T minimum_value(T v, T s) {
    return v < s ? v : s;
}

/// v times s, stored in the element type.
template <typename T>
T product_value(T v, T s) {
    return static_cast<T>(v * s);
}

/// v divided by s, stored in the element type.
template <typename T>
T quotient_value(T v, T s) {
    return static_cast<T>(v / s);
}

/// v raised to the power e in double precision, stored in the element type.
template <typename T>
T power_value(T v, double e) {
    return static_cast<T>(std::pow(static_cast<double>(v), e));
}

/// A new image of image's size holding op of each of its values, as element type Out.
template <typename Out, typename T, typename Op>
Image<Out> map_values(const Image<T>& image, const Op& op) {
    Image<Out> result(image.width, image.height, image.channels);
    transform_values(image.data.get(), image.size(), result.data.get(), op);
    return result;
}

/// The moved image with op applied to each of its values in place.
template <typename T, typename Op>
Image<T> map_in_place(Image<T>&& image, const Op& op) {
    transform_values(image.data.get(), image.size(), image.data.get(), op);
    return std::move(image);
}

}  // namespace image_detail

/// Each value v becomes v when v > s, else s (so NaN becomes s).
template <typename T>
Image<T> maximum(const Image<T>& image, typename Image<T>::value_type s) {
    return image_detail::map_values<T>(image, [s](T v) { return image_detail::maximum_value(v, s); });
}

/// As above, in the moved image's own buffer.
template <typename T>
Image<T> maximum(Image<T>&& image, typename Image<T>::value_type s) {
    return image_detail::map_in_place(std::move(image),
                                      [s](T v) { return image_detail::maximum_value(v, s); });
}

/// Each value v becomes v when v < s, else s (so NaN becomes s).
template <typename T>
Image<T> minimum(const Image<T>& image, typename Image<T>::value_type s) {
    return image_detail::map_values<T>(image, [s](T v) { return image_detail::minimum_value(v, s); });
}

/// As above, in the moved image's own buffer.
template <typename T>
Image<T> minimum(Image<T>&& image, typename Image<T>::value_type s) {
    return image_detail::map_in_place(std::move(image),
                                      [s](T v) { return image_detail::minimum_value(v, s); });
}

/// Each value multiplied by s, the product stored in the element type.
template <typename T>
Image<T> operator*(const Image<T>& image, typename Image<T>::value_type s) {
    return image_detail::map_values<T>(image, [s](T v) { return image_detail::product_value(v, s); });
}

/// As above, in the moved image's own buffer.
template <typename T>
Image<T> operator*(Image<T>&& image, typename Image<T>::value_type s) {
    return image_detail::map_in_place(std::move(image),
                                      [s](T v) { return image_detail::product_value(v, s); });
}

/// Each value divided by s, the quotient stored in the element type.
template <typename T>
Image<T> operator/(const Image<T>& image, typename Image<T>::value_type s) {
    return image_detail::map_values<T>(image, [s](T v) { return image_detail::quotient_value(v, s); });
}

/// As above, in the moved image's own buffer.
template <typename T>
Image<T> operator/(Image<T>&& image, typename Image<T>::value_type s) {
    return image_detail::map_in_place(std::move(image),
                                      [s](T v) { return image_detail::quotient_value(v, s); });
}

/// Each value raised to the power e in double precision, stored back in the element type.
/// The exponent is a double so that a float exponent (0.45f) keeps its exact single-precision value.
template <typename T>
Image<T> power(const Image<T>& image, double e) {
    return image_detail::map_values<T>(image, [e](T v) { return image_detail::power_value(v, e); });
}

/// As above, in the moved image's own buffer.
template <typename T>
Image<T> power(Image<T>&& image, double e) {
    return image_detail::map_in_place(std::move(image), [e](T v) { return image_detail::power_value(v, e); });
}

/// A one-plane image of the same width and height holding a copy of plane c.
template <typename T>
Image<T> plane(const Image<T>& image, int c) {
    Image<T> result(image.width, image.height, 1);
    image_detail::copy_values(image.plane_data(c), result.size(), result.data.get());
    return result;
}

// Pixel-type conversions between 8-bit display values (0 to 255) and floating values in [0, 1].

/// Display bytes: floating values clamped to [0, 1] (NaN to 0), times 255 in the element type, then
/// truncated, so only exactly 1 gives 255; for bool, true gives 255 and false 0.
template <typename T>
Image<unsigned char> im2byte(const Image<T>& image) {
    static_assert(
        std::is_same<T, float>::value || std::is_same<T, double>::value || std::is_same<T, bool>::value,
        "im2byte converts float, double and bool images");
    using image_detail::product_value;
    // One pass from the source to the bytes, each value through the same steps as the separate
    // operations would take it: conversion to byte, then the product (bool); or maximum, minimum,
    // product in the element type, then truncation (float, double).
    if constexpr (std::is_same<T, bool>::value) {
        return image_detail::map_values<unsigned char>(image, [](bool v) {
            return product_value(static_cast<unsigned char>(v), static_cast<unsigned char>(255));
        });
    } else {
        return image_detail::map_values<unsigned char>(image, [](T v) {
            const T clamped = image_detail::minimum_value(image_detail::maximum_value(v, T(0)), T(1));
            return static_cast<unsigned char>(product_value(clamped, T(255.0f)));
        });
    }
}

/// Floating values in [0, 1]: each byte divided by 255 in single precision (255 gives exactly 1).
template <typename T>
Image<float> im2float(const Image<T>& image) {
    static_assert(std::is_same<T, unsigned char>::value, "im2float converts 8-bit images");
    return image_detail::map_values<float>(
        image, [](T v) { return image_detail::quotient_value(static_cast<float>(v), 255.0f); });
}

/// Floating values in [0, 1]: each byte divided by 255 in double precision.
template <typename T>
Image<double> im2double(const Image<T>& image) {
    static_assert(std::is_same<T, unsigned char>::value, "im2double converts 8-bit images");
    return image_detail::map_values<double>(
        image, [](T v) { return image_detail::quotient_value(static_cast<double>(v), 255.0); });
}

#include "imaging/image_transforms.hpp"
