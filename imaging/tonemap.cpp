#include "imaging/tonemap.hpp"

#include <cmath>
#include <cstddef>

#include "imaging/bilateral.hpp"
#include "imaging/grain_sizes.hpp"
#include "imaging/parallel.hpp"

void Tonemap::init_constraints() {
    G.resize(tonemap_layers, tonemap_layers);
    for (int i = 0; i < tonemap_layers; ++i)
        for (int j = 0; j < tonemap_layers; ++j) G[i][j] = i == j ? 1.0 : 0.0;
    CE.resize(tonemap_layers, 0);
    g0.resize(tonemap_layers);
    ce0.resize(0);
    ci0.resize(tonemap_constraints);
    ci0[tonemap_constraints - 1] = 0.0;
}

void Tonemap::read_constraints(const double* values) {
    init_constraints();
    CI.resize(tonemap_layers, tonemap_constraints);
    for (int k = 0; k < tonemap_layers; ++k)
        for (int i = 0; i < tonemap_constraints; ++i)
            CI[k][i] = values[static_cast<std::size_t>(k) * tonemap_constraints + i];
}

void Tonemap::write_constraints(double* values) const {
    for (int k = 0; k < tonemap_layers; ++k)
        for (int i = 0; i < tonemap_constraints; ++i)
            values[static_cast<std::size_t>(k) * tonemap_constraints + i] = CI[k][i];
}

SmoothingSteps smoothing_steps(int smaller_side) {
    float base = static_cast<float>(smaller_side * 0.0078125);
    if (5.0 > base) base = 5.0f;
    // Chosen so that base * growth^4 is m/8: the coarsest pass spans an eighth of the image.
    const float growth = static_cast<float>(std::pow(smaller_side * 0.125 / base, 0.25));
    // The fourth root of 10 as the nearest float, widened: the range steps run 0.05 ... 0.5.
    const double range_growth = 1.778279423713684;
    const double range_base = 0.05f;

    SmoothingSteps steps;
    for (int j = 0; j < 5; ++j) {
        steps.spatial[j] = static_cast<float>(std::pow(static_cast<double>(growth), j) * base);
        steps.range[j] = static_cast<float>(std::pow(range_growth, j) * range_base);
    }
    return steps;
}

SampleGrid sample_grid(int width, int height) {
    // Columns in proportion to the aspect ratio keep the samples evenly spread; the product
    // fits 32 bits because the caller keeps width below 214749.
    const int q = width * tonemap_samples / height;
    SampleGrid grid;
    grid.columns = static_cast<int>(std::sqrt(static_cast<double>(q)));
    grid.rows = tonemap_samples / grid.columns + 1;
    grid.step_x = static_cast<float>(width) / static_cast<float>(grid.columns);
    grid.step_y = static_cast<float>(height) / static_cast<float>(grid.rows);
    return grid;
}

namespace {

/// The pixel coordinate nearest to the centre of grid cell `cell`, kept inside [0, last].
int nearest_pixel(float step, int cell, int last) {
    double position = static_cast<double>(step) * cell + static_cast<double>(step) * 0.5 - 0.5;
    if (!(position > 0)) position = 0;
    if (!(last > position)) position = last;
    return static_cast<int>(position + 0.5);
}

}  // namespace

std::vector<int> sample_pixels(int width, int height) {
    const SampleGrid grid = sample_grid(width, height);
    std::vector<int> pixels(tonemap_samples);
    for (int j = 0; j < tonemap_samples; ++j) {
        const int row = nearest_pixel(grid.step_y, j / grid.columns, height - 1);
        const int column = nearest_pixel(grid.step_x, j % grid.columns, width - 1);
        pixels[j] = row * width + column;
    }
    return pixels;
}

namespace {

/// The sum of all values in index order, in double: the order is part of the result, so this sum
/// stays sequential.
double sequential_sum(const float* values, std::size_t count) {
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) sum += values[i];
    return sum;
}

}  // namespace

double Tonemap::decompose(const Image<float>& input, Image<float>* layers) {
    const int width = input.width;
    const int height = input.height;
    const std::size_t count = static_cast<std::size_t>(width) * height;
    const SmoothingSteps steps = smoothing_steps(width < height ? width : height);
    const float* values = input.data.get();

    // The mean's sum is one sequential chain of adds (see bench/README.md); run as a task
    // beside the first smoothing pass, it no longer adds to the request's time (measured: nothing
    // left to wait for when the pass ends). Its order, and so its value, is unchanged.
    //
    // Each pass leaves its band behind as it finishes: band j is the pass's data minus its
    // smoothing, written in place of the data from pass 1 on (pass 0 smooths the input itself, which
    // stays unchanged), and the last pass also takes the mean out of the base. These are the values
    // of separate subtractions afterwards, without their passes over memory, and the five passes
    // share one scratch instead of faulting in fresh planes and grids each time (see
    // bench/README.md).
    double sum = 0.0;
    SmoothingScratch scratch;
    Image<float> band0(width, height, 1);
    run_side_by_side([&sum, values, count] { sum = sequential_sum(values, count); },
                     [&] {
                         layers[1] = tblf(input, input, steps.spatial[0], steps.range[0],
                                          BandSplit{band0.data.get(), 0.0f}, scratch);
                     });
    layers[0] = std::move(band0);
    const double mean = sum / static_cast<double>(count);
    const float removed = static_cast<float>(mean);

    for (int j = 1; j < 5; ++j) {
        const float offset = j < 4 ? 0.0f : removed;
        layers[j + 1] = tblf(layers[j], input, steps.spatial[j], steps.range[j],
                             BandSplit{layers[j].data.get(), offset}, scratch);
    }

    const std::vector<int> pixels = sample_pixels(width, height);
    CI.resize(tonemap_layers, tonemap_constraints);
    double* rows[tonemap_layers];
    const float* planes[tonemap_layers];
    for (int k = 0; k < tonemap_layers; ++k) {
        rows[k] = &CI[k][0];
        planes[k] = layers[k].data.get();
        rows[k][tonemap_constraints - 1] = 1.0;
    }
    // 60000 scattered reads, nearly all cache misses: spread over the workers.
    parallel_ranges(tonemap_samples, samples_per_task, [&](int begin, int end) {
        for (int k = 0; k < tonemap_layers; ++k) {
            for (int j = begin; j < end; ++j) {
                const double sample = planes[k][pixels[j]];
                rows[k][j] = -sample;
                rows[k][tonemap_samples + j] = sample;
            }
        }
    });
    return mean;
}
