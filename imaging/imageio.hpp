#pragma once

#include <cstdint>
#include <vector>

#include "imaging/conversion_progress.hpp"
#include "imaging/image.hpp"

class Tonemap;

// Conversions between images and the byte arrays that carry them on the wire. Multi-byte values
// are little-endian; pixels run row by row from the top row, each row from left to right. The
// width and height travel beside a payload, never inside it.

/// The most bytes a float payload may hold: byte arrays travel with a 32-bit signed count.
constexpr std::int64_t largest_float_payload = 2147483647;

/// True when the planar float payload of a three-plane image of width x height (sides from 0 to
/// 2^31 - 1) holds at most largest_float_payload bytes.
constexpr bool float_payload_fits(std::int64_t width, std::int64_t height) {
    // Three planes of 4-byte floats; the product of two sides near 2^31 times 12 would overflow.
    return width * height <= largest_float_payload / 12;
}

/// Three 8-bit planes (red, green, blue) from an ARGB payload; alpha is ignored. Reads only the
/// first 4 x width x height bytes; throws std::invalid_argument when the payload holds fewer.
Image<unsigned char> read_argb(const std::vector<unsigned char>& payload, int width, int height);

/// Three float planes from a planar float payload of exactly 12 x width x height bytes (the image
/// buffer as it stands); throws std::invalid_argument for any other length.
Image<float> read_float(const std::vector<unsigned char>& payload, int width, int height);

/// Loads the constraint matrix of a gain problem from a constraints payload: at most 960048 bytes
/// are used, and values beyond a shorter payload are 0.
void read_constraints(const std::vector<unsigned char>& payload, Tonemap& tonemap);

/// The ARGB payload of an image with alpha 255: red, green, blue from three planes, grey from
/// plane 0 otherwise.
std::vector<unsigned char> write_argb(const Image<unsigned char>& image);

/// The planar float payload of an image: its buffer, every plane, as it stands.
std::vector<unsigned char> write_float(const Image<float>& image);

/// The interleaved float payload of a three-plane image: planes 0, 1, 2 side by side per pixel.
std::vector<unsigned char> write_image3(const Image<float>& image);

/// The constraints payload of a decomposed gain problem: its 6 x 20001 constraint matrix, row
/// after row, as 960048 bytes; throws std::invalid_argument for a matrix of another shape.
std::vector<unsigned char> write_constraints(const Tonemap& tonemap);

/// A baseline JPEG file (quality 100) of a three-plane 8-bit RGB image. Throws
/// std::invalid_argument for another number of planes and std::runtime_error, carrying the
/// encoder's message, when the encoder rejects the image (a side of 0 or above 65500 pixels)
/// or runs out of memory.
std::vector<unsigned char> write_jpeg(const Image<unsigned char>& image);

/// The pixels of the picture that read_raw delivers for a camera raw file held whole in bytes, as
/// LibRaw works them out once it has opened the file, before anything is unpacked: after any
/// stretch to square pixels and any turn. 0 when read_raw refuses the file. LibRaw reads bytes in
/// place.
std::uint64_t raw_picture_pixels(std::vector<unsigned char>& bytes);

/// Decodes a camera raw file held whole in bytes into linear sRGB planes plus 1 (16-bit scale),
/// turned upright by the file's orientation, and sets log_mean to the mean of ln(1 + Y). A file
/// the decoder rejects, or whose picture (as LibRaw delivers it, stretched to square pixels) would
/// not fit a float payload, gives the empty image and leaves log_mean unchanged. LibRaw reads bytes
/// in place.
Image<float> read_raw(std::vector<unsigned char>& bytes, float& log_mean);

/// As read_raw above, reporting the conversion to progress as it goes: the image as soon as it is
/// made, then its rows as they become final. The progress ends on every way out, a thrown
/// exception included; the rows it reports stay final, and the image's buffer stays where it is,
/// in the image returned.
Image<float> read_raw(std::vector<unsigned char>& bytes, float& log_mean, ConversionProgress& progress);
