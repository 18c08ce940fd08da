#include "imaging/imageio.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "common/large_buffers.hpp"
#include "imaging/grain_sizes.hpp"
#include "imaging/parallel.hpp"
#include "imaging/tonemap.hpp"

// Float and double payloads are copied as they stand, which is the wire's byte order and number
// format only on little-endian IEEE-754 hosts.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "payloads are little-endian");
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "payloads hold IEEE-754 numbers");

namespace {

/// Doubles in a constraints payload: the whole constraint matrix.
constexpr std::size_t constraint_values = static_cast<std::size_t>(tonemap_layers) * tonemap_constraints;

/// Pixels of a width x height image; sizes come from the network, so negative ones are refused
/// here rather than wrapped into huge counts.
std::size_t pixel_count(int width, int height) {
    if (width < 0 || height < 0) throw std::invalid_argument("negative image size");
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

/// A byte array of the given length whose storage is advised huge pages before the array is
/// filled with zeros: payloads run to hundreds of megabytes, and faulting them in 4 KiB pages
/// costs more than all the packing.
std::vector<unsigned char> payload_of_length(std::size_t length) {
    std::vector<unsigned char> payload;
    reserve_in_huge_pages(payload, length);
    payload.resize(length);
    return payload;
}

/// Copies count bytes from `from` to `to` (not overlapping), spread over the workers.
void copy_bytes(const void* from, std::size_t count, void* to) {
    const auto* const source = static_cast<const unsigned char*>(from);
    auto* const target = static_cast<unsigned char*>(to);
    parallel_ranges(count, bytes_per_task, [source, target](std::size_t begin, std::size_t end) {
        std::memcpy(target + begin, source + begin, end - begin);
    });
}

/// A byte array holding the bytes of count values starting at values.
template <typename T>
std::vector<unsigned char> bytes_of(const T* values, std::size_t count) {
    std::vector<unsigned char> bytes = payload_of_length(count * sizeof(T));
    copy_bytes(values, bytes.size(), bytes.data());
    return bytes;
}

}  // namespace

Image<unsigned char> read_argb(const std::vector<unsigned char>& payload, int width, int height) {
    const std::size_t pixels = pixel_count(width, height);
    // Dividing rather than multiplying keeps the comparison free of overflow.
    if (payload.size() / 4 < pixels) throw std::invalid_argument("ARGB payload too short");

    Image<unsigned char> image(width, height, 3);
    unsigned char* red = image.plane_data(0);
    unsigned char* green = image.plane_data(1);
    unsigned char* blue = image.plane_data(2);
    const unsigned char* argb = payload.data();
    parallel_ranges(pixels, bytes_per_task / 4, [=](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            red[i] = argb[4 * i + 1];
            green[i] = argb[4 * i + 2];
            blue[i] = argb[4 * i + 3];
        }
    });
    return image;
}

Image<float> read_float(const std::vector<unsigned char>& payload, int width, int height) {
    const std::size_t pixels = pixel_count(width, height);
    constexpr std::size_t pixel_bytes = 3 * sizeof(float);
    if (payload.size() % pixel_bytes != 0 || payload.size() / pixel_bytes != pixels)
        throw std::invalid_argument("float payload does not match the image size");

    Image<float> image(width, height, 3);
    copy_bytes(payload.data(), payload.size(), image.data.get());
    return image;
}

void read_constraints(const std::vector<unsigned char>& payload, Tonemap& tonemap) {
    std::vector<double> values(constraint_values, 0.0);
    const std::size_t used = std::min(payload.size(), values.size() * sizeof(double));
    if (used != 0) std::memcpy(values.data(), payload.data(), used);
    tonemap.read_constraints(values.data());
}

std::vector<unsigned char> write_argb(const Image<unsigned char>& image) {
    const std::size_t pixels = pixel_count(image.width, image.height);
    if (pixels != 0 && image.channels < 1)
        throw std::invalid_argument("ARGB payload needs an image with planes");

    std::vector<unsigned char> argb = payload_of_length(4 * pixels);
    if (pixels == 0) return argb;
    const bool colour = image.channels == 3;
    const unsigned char* red = image.plane_data(0);
    const unsigned char* green = image.plane_data(colour ? 1 : 0);
    const unsigned char* blue = image.plane_data(colour ? 2 : 0);
    unsigned char* const out = argb.data();
    parallel_ranges(pixels, bytes_per_task / 4, [=](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            out[4 * i] = 255;
            out[4 * i + 1] = red[i];
            out[4 * i + 2] = green[i];
            out[4 * i + 3] = blue[i];
        }
    });
    return argb;
}

std::vector<unsigned char> write_float(const Image<float>& image) {
    return bytes_of(image.data.get(), image.size());
}

std::vector<unsigned char> write_image3(const Image<float>& image) {
    const std::size_t pixels = pixel_count(image.width, image.height);
    if (image.size() == 0) return {};
    if (image.channels != 3) throw std::invalid_argument("interleaved payload needs a three-plane image");

    // Straight into the byte array: a float staging array would double the copying of what can
    // be a very large image.
    std::vector<unsigned char> payload = payload_of_length(3 * pixels * sizeof(float));
    unsigned char* const out = payload.data();
    const float* const red = image.plane_data(0);
    const float* const green = image.plane_data(1);
    const float* const blue = image.plane_data(2);
    parallel_ranges(pixels, bytes_per_task / 12, [=](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            unsigned char* const pixel = out + 3 * sizeof(float) * i;
            std::memcpy(pixel, red + i, sizeof(float));
            std::memcpy(pixel + sizeof(float), green + i, sizeof(float));
            std::memcpy(pixel + 2 * sizeof(float), blue + i, sizeof(float));
        }
    });
    return payload;
}

std::vector<unsigned char> write_constraints(const Tonemap& tonemap) {
    // The matrix is copied out by its fixed size: any other shape would be read past its end.
    if (tonemap.CI.rows() != static_cast<unsigned>(tonemap_layers) ||
        tonemap.CI.cols() != static_cast<unsigned>(tonemap_constraints))
        throw std::invalid_argument("constraint matrix is not 6 x 20001");

    std::vector<double> values(constraint_values, 0.0);
    tonemap.write_constraints(values.data());
    return bytes_of(values.data(), values.size());
}
