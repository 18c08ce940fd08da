#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <type_traits>

#include "imaging/pixel_buffer.hpp"

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
        : width(width), height(height), channels(channels),
          data(allocate_pixels<T>(static_cast<std::size_t>(width) * height * channels)) {}

    /// A copy that owns its own values.
    Image(const Image& o) : width(o.width), height(o.height), channels(o.channels) {
        if (o.data) {
            data = allocate_pixels<T>(o.size());
            std::copy(o.data.get(), o.data.get() + o.size(), data.get());
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
            std::transform(o.data.get(), o.data.get() + o.size(), data.get(),
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

// Element-wise operations. Each takes its image by value: an lvalue operand is copied and left
// untouched, a moved temporary has its buffer reused in place, so a chain of operations on a
// result allocates once.

/// Each value v becomes v when v > s, else s (so NaN becomes s).
template <typename T>
Image<T> maximum(Image<T> image, typename Image<T>::value_type s) {
    T* const values = image.data.get();
    for (std::size_t i = 0, n = image.size(); i < n; ++i) values[i] = values[i] > s ? values[i] : s;
    return image;
}

/// Each value v becomes v when v < s, else s (so NaN becomes s).
template <typename T>
Image<T> minimum(Image<T> image, typename Image<T>::value_type s) {
    T* const values = image.data.get();
    for (std::size_t i = 0, n = image.size(); i < n; ++i) values[i] = values[i] < s ? values[i] : s;
    return image;
}

/// Each value multiplied by s, the product stored in the element type.
template <typename T>
Image<T> operator*(Image<T> image, typename Image<T>::value_type s) {
    T* const values = image.data.get();
    for (std::size_t i = 0, n = image.size(); i < n; ++i) values[i] = static_cast<T>(values[i] * s);
    return image;
}

/// Each value divided by s, the quotient stored in the element type.
template <typename T>
Image<T> operator/(Image<T> image, typename Image<T>::value_type s) {
    T* const values = image.data.get();
    for (std::size_t i = 0, n = image.size(); i < n; ++i) values[i] = static_cast<T>(values[i] / s);
    return image;
}

/// Each value raised to the power e in double precision, stored back in the element type.
/// The exponent is a double so that a float exponent (0.45f) keeps its exact single-precision value.
template <typename T>
Image<T> power(Image<T> image, double e) {
    T* const values = image.data.get();
    for (std::size_t i = 0, n = image.size(); i < n; ++i)
        values[i] = static_cast<T>(std::pow(static_cast<double>(values[i]), e));
    return image;
}

/// A one-plane image of the same width and height holding a copy of plane c.
template <typename T>
Image<T> plane(const Image<T>& image, int c) {
    Image<T> result(image.width, image.height, 1);
    const T* const source = image.plane_data(c);
    std::copy(source, source + result.size(), result.data.get());
    return result;
}

// Pixel-type conversions between 8-bit display values (0 to 255) and floating values in [0, 1].

/// Display bytes: floating values clamped to [0, 1] (NaN to 0), times 255 in the element type, then
/// truncated, so only exactly 1 gives 255; for bool, true gives 255 and false 0.
template <typename T>
Image<unsigned char> im2byte(const Image<T>& image) {
    static_assert(std::is_same<T, float>::value || std::is_same<T, double>::value ||
                      std::is_same<T, bool>::value,
                  "im2byte converts float, double and bool images");
    if constexpr (std::is_same<T, bool>::value) {
        return Image<unsigned char>(image) * static_cast<unsigned char>(255);
    } else {
        return Image<unsigned char>(minimum(maximum(image, T(0)), T(1)) * T(255.0f));
    }
}

/// Floating values in [0, 1]: each byte divided by 255 in single precision (255 gives exactly 1).
template <typename T>
Image<float> im2float(const Image<T>& image) {
    static_assert(std::is_same<T, unsigned char>::value, "im2float converts 8-bit images");
    return Image<float>(image) / 255.0f;
}

/// Floating values in [0, 1]: each byte divided by 255 in double precision.
template <typename T>
Image<double> im2double(const Image<T>& image) {
    static_assert(std::is_same<T, unsigned char>::value, "im2double converts 8-bit images");
    return Image<double>(image) / 255.0;
}

#include "imaging/image_transforms.hpp"
