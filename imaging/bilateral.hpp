#pragma once

#include "imaging/image.hpp"

/// Cross bilateral filter on a bilateral grid: smooths the first plane of `data` while following
/// the edges of the first plane of `edge` (same width and height, values in [0, 1]).
/// `s` is the spatial step in pixels per grid cell, `r` the range step in edge units per cell,
/// both positive. Returns a one-plane image of data's width and height; the inputs are not changed.
Image<float> cblf(const Image<float>& data, const Image<float>& edge, float s, float r);

/// Two cblf passes: the second filters the first's result with a three times coarser spatial step
/// and a three times finer range step, both rounded to single precision, and the same edge image.
Image<float> tblf(const Image<float>& data, const Image<float>& edge, float s, float r);
