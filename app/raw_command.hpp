#pragma once

#include "imaging/image.hpp"

// The arithmetic of the "read_raw" reply, apart from its socket work.

/// Size of the reduced copy of a decoded image: the longer side brought down to 800 pixels at
/// most, the other in proportion (truncated, so an exact proportion may come out one below).
Tuple2<int> reduced_size(int width, int height);

/// The divisor that brings a decoded image with this log mean to the preview's mid-grey exposure.
float exposure_scale(float log_mean);

/// The 8-bit preview of a reduced image: each value divided by scale, raised to the display
/// exponent 0.45 (negative values give 0), then converted to bytes. The input is left unchanged.
Image<unsigned char> raw_preview(const Image<float>& reduced, float scale);
