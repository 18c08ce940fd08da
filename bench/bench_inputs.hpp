#pragma once

#include <vector>

#include "imaging/image.hpp"
#include "tests/tone_settings.hpp"

// The inputs every benchmark works on, so that request and stage timings describe the same work.

/// Width of the benchmark photograph: 12 megapixels with the next constant.
constexpr int photo_width = 4000;
/// Height of the benchmark photograph.
constexpr int photo_height = 3000;

/// The synthetic photograph of photo_width x photo_height: smooth gradients, hard edges, noise;
/// every value in [0.2, 0.95].
Image<float> bench_photo();

/// The photograph as an ARGB payload, as a client sends it for the 8-bit commands.
std::vector<unsigned char> argb_payload(const Image<float>& photo);

/// The photograph as a planar float payload, taken as linear light for the float commands.
std::vector<unsigned char> float_payload(const Image<float>& photo);

/// A camera raw file (DNG, ISO 100) of a width x height sensor that saw the photograph's scene.
std::vector<unsigned char> photo_dng(int width, int height);

/// The composition settings of every tone-mapping benchmark: a range narrow enough that the
/// sample bounds bind (so the solver has work), detail falloffs, a black point and a fine-detail
/// boost (so the recomposition has work).
ToneSettings bench_settings();
