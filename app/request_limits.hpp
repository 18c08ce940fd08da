#pragma once

#include <cstddef>
#include <string>

#include "imaging/image.hpp"

// The imaging code takes the sizes it is given as valid; these checks stand between it and the
// wire. Each returns the reason for refusing a request, or an empty string when the request is fine.

/// The integers and payload length of one image request, as the client sent them.
struct ImageRequest {
    /// Pixels per row of the payload.
    int width;
    /// Rows of the payload.
    int height;
    /// Quarter turns counter-clockwise.
    int rotation;
    /// Bytes in the pixel payload.
    std::size_t payload_size;
    /// Float RGB input (planar float payload) rather than ARGB.
    bool hdr;
    /// A tone-mapping command, whose result must also fit the JPEG encoder.
    bool tonemap;
};

/// Checks everything that can be checked before the payload becomes an image: sizes, payload
/// length, the 32-bit buffer bounds, the rotation and the decomposition's sample grid.
std::string check_image_request(const ImageRequest& request);

/// Checks float RGB input before it is decomposed: a positive, finite luminance at every pixel,
/// and not the same logarithm of the luminance throughout.
std::string check_hdr_luminance(const Image<float>& rgb);
