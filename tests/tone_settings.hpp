#pragma once

/// The eleven doubles that follow the rotation of a tone-mapping request, in wire order. The
/// defaults leave the layers as they are: gain 1 everywhere, no constraint can bind.
struct ToneSettings {
    /// Per-channel divisors of the result.
    double white[3] = {1.0, 1.0, 1.0};
    /// Gain the layers should keep.
    double target_gain = 1.0;
    /// Range the recombined layers must stay within.
    double dynamic_range = 1e9;
    /// Brightness of the result.
    double brightness = 0.5;
    /// Reduction of the coarser bands' gains for positive values.
    double bright_detail_falloff = 0.0;
    /// Reduction of the coarser bands' gains for other values.
    double dark_detail_falloff = 0.0;
    /// Black point of the result.
    double black_point = 0.0;
    /// Extra gain of the finest band.
    double fine_detail_boost = 0.0;
    /// Colour saturation of the result.
    double saturation = 1.0;
};

/// Settings that make the composition do real work within the given range: falloffs, a black point,
/// a fine-detail boost, more saturation.
inline ToneSettings working_settings(double dynamic_range) {
    ToneSettings s;
    s.white[0] = 0.9;
    s.target_gain = 0.8;
    s.dynamic_range = dynamic_range;
    s.bright_detail_falloff = 0.3;
    s.dark_detail_falloff = 0.2;
    s.black_point = 0.05;
    s.fine_detail_boost = 0.3;
    s.saturation = 1.2;
    return s;
}
