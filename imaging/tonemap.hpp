#pragma once

#include <array>
#include <cmath>
#include <vector>

#include "imaging/colour_space.hpp"
#include "imaging/image.hpp"
#include "imaging/quadprog.hpp"

/// The gain problem of one tone-mapping or decomposition request: six layer gains as close as
/// possible to a target gain while the recombined layers stay within a dynamic range at 10000
/// sample points. Minimises 1/2 x'Gx + g0'x subject to CE'x + ce0 = 0 and CI'x + ci0 >= 0.
class Tonemap {
public:
    /// Quadratic term of the objective: the 6 x 6 identity.
    QuadProgPP::Matrix<double> G;
    /// Equality constraints: none (6 x 0).
    QuadProgPP::Matrix<double> CE;
    /// Inequality constraints, 6 x 20001: row k belongs to layer k, column i is constraint i
    /// (-samples, +samples, then the sum of the gains).
    QuadProgPP::Matrix<double> CI;
    /// Linear term of the objective: minus the target gain in each of its 6 elements.
    QuadProgPP::Vector<double> g0;
    /// Equality constants: none.
    QuadProgPP::Vector<double> ce0;
    /// Inequality constants, 20001: half the dynamic range for the sample bounds, 0 for the sum.
    QuadProgPP::Vector<double> ci0;

    /// Shapes and fills G, CE, g0, ce0 and ci0 for the gain problem; CI is left alone.
    void init_constraints();

    /// Prepares the problem and loads CI from 120006 values, row after row.
    void read_constraints(const double* values);

    /// Copies CI, which must be 6 x 20001, into 120006 values, row after row.
    void write_constraints(double* values) const;

    /// Splits a one-plane image in [0, 1] into five detail bands and a base layer with the mean
    /// removed, and samples them into CI. The input is read throughout and never changed.
    /// Returns the removed mean.
    double decompose(const Image<float>& input, Image<float>* layers);

    /// Converts gamma-encoded RGB to Lab / 100 into `colour` and decomposes the lightness clamped
    /// to [0, 1]. Returns the mean of the clamped lightness.
    double decompose_ldr(const Image<float>& rgb, Image<float>& colour, Image<float>* layers);

    /// Keeps each channel's ratio to the luminance in `colour` and decomposes the log luminance
    /// normalised to [0, 1]. Returns the mean of the normalised log luminance.
    double decompose_hdr(const Image<float>& rgb, Image<float>& colour, Image<float>* layers);

    /// Solves for the six gains closest to `target_gain` whose recombination stays within
    /// +-dynamic_range / 2 at every sample; x receives the gains as the solver leaves them.
    void compose(double target_gain, double dynamic_range, QuadProgPP::Vector<double>& x);

    /// Solves for the gains, recombines the layers of a `decompose_ldr` and returns gamma-encoded
    /// RGB, unclamped. `white` holds three per-channel divisors.
    Image<float> compose_ldr(const Image<float>& colour, const Image<float>* layers, const double* white,
                             double target_gain, double dynamic_range, double brightness,
                             double bright_detail_falloff, double dark_detail_falloff, double black_point,
                             double fine_detail_boost, double saturation);

    /// Solves for the gains, recombines the layers of a `decompose_hdr` and returns RGB,
    /// unclamped. `white` holds three per-channel divisors.
    Image<float> compose_hdr(const Image<float>& colour, const Image<float>* layers, const double* white,
                             double target_gain, double dynamic_range, double brightness,
                             double bright_detail_falloff, double dark_detail_falloff, double black_point,
                             double fine_detail_boost, double saturation);
};

/// Number of layers of a decomposition: five detail bands and the base.
constexpr int tonemap_layers = 6;
/// Number of sample points per layer, each giving an upper and a lower bound.
constexpr int tonemap_samples = 10000;
/// Number of inequality constraints: two per sample plus one on the sum of the gains.
constexpr int tonemap_constraints = 2 * tonemap_samples + 1;

/// The spatial and range steps of the five smoothing passes of a decomposition.
struct SmoothingSteps {
    /// Pixels per grid cell of pass j: max(5, m/128) growing geometrically to m/8.
    std::array<float, 5> spatial;
    /// Edge units per grid cell of pass j: 0.05 growing by the fourth root of 10 to 0.5.
    std::array<float, 5> range;
};

/// The smoothing steps for an image whose smaller side is `smaller_side` pixels.
SmoothingSteps smoothing_steps(int smaller_side);

/// The grid of sample points laid over a layer.
struct SampleGrid {
    /// Grid points per grid row.
    int columns;
    /// Grid rows; columns x rows always exceeds the 10000 samples used.
    int rows;
    /// Pixels per grid cell along x.
    float step_x;
    /// Pixels per grid cell along y.
    float step_y;
};

/// The sample grid of a width x height layer (height at most 10000 x width).
SampleGrid sample_grid(int width, int height);

/// The pixel index (row x width + column) nearest to the centre of each of the 10000 used grid
/// cells, numbered row by row.
std::vector<int> sample_pixels(int width, int height);

/// Fills `colour` with the CIE Lab / 100 planes of gamma-encoded RGB (unclamped) and returns the
/// lightness plane clamped to [0, 1], NaN as 0: the image that decompose_ldr decomposes.
Image<float> clamped_lightness(const Image<float>& rgb, Image<float>& colour);

/// The luminance of a linear RGB pixel, each product and each sum rounded to single precision.
inline float hdr_luminance(float red, float green, float blue) {
    const float red_green = srgb_to_xyz_f[1][0] * red + srgb_to_xyz_f[1][1] * green;
    return red_green + srgb_to_xyz_f[1][2] * blue;
}

/// The natural logarithm of a luminance, rounded to single precision.
inline float log_luminance(float luminance) {
    return static_cast<float>(std::log(static_cast<double>(luminance)));
}

/// Fills `colour` with each linear RGB channel divided by the pixel's luminance and returns the
/// natural log luminance mapped onto [0, 1]: the image that decompose_hdr decomposes. The
/// luminance must be positive, finite and not the same at every pixel.
Image<float> normalised_log_luminance(const Image<float>& rgb, Image<float>& colour);
