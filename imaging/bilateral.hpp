#pragma once

#include <cstddef>
#include <memory>

#include "imaging/image.hpp"

/// Cross bilateral filter on a bilateral grid: smooths the first plane of `data` while following
/// the edges of the first plane of `edge` (same width and height, values in [0, 1]).
/// `s` is the spatial step in pixels per grid cell, `r` the range step in edge units per cell,
/// both positive. Returns a one-plane image of data's width and height; the inputs are not changed.
Image<float> cblf(const Image<float>& data, const Image<float>& edge, float s, float r);

/// Two cblf passes: the second filters the first's result with a three times coarser spatial step
/// and a three times finer range step, both rounded to single precision, and the same edge image.
Image<float> tblf(const Image<float>& data, const Image<float>& edge, float s, float r);

/// The working memory of tblf besides its result: two planes of the image's size and two grids.
/// Successive calls through one scratch reuse it, where each call on its own would fault in fresh
/// pages. Not for two calls at the same time.
class SmoothingScratch {
public:
    /// What each kept buffer holds during a call.
    enum Use { first_pass, sliced_weight, grid, spare_grid, uses };

    /// The buffer for `use`, at least `count` floats, its values unset; grows when too small.
    float* buffer(Use use, std::size_t count);

private:
    /// The buffers, empty until first asked for.
    std::unique_ptr<float[]> buffers_[uses];
    /// The floats each buffer holds.
    std::size_t counts_[uses] = {};
};

/// What a decomposition takes from a tblf pass besides the smoothing itself.
struct BandSplit {
    /// Receives each data value minus its smoothed value; may be the data's own plane.
    float* band;
    /// Subtracted from every smoothed value that tblf returns, after the band is formed.
    float offset;
};

/// tblf(data, edge, s, r) with its working memory in `scratch`, which also writes the band that the
/// smoothing removes into split.band and returns the smoothing minus split.offset: the same values
/// as tblf followed by those two subtractions, in one pass over the pixels fewer.
Image<float> tblf(const Image<float>& data, const Image<float>& edge, float s, float r,
                  const BandSplit& split, SmoothingScratch& scratch);
