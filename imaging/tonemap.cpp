#include "imaging/tonemap.hpp"

#include <cmath>
#include <cstddef>

#include "imaging/bilateral.hpp"

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

double Tonemap::decompose(const Image<float>& input, Image<float>* layers) {
    const int width = input.width;
    const int height = input.height;
    const std::size_t count = static_cast<std::size_t>(width) * height;
    const SmoothingSteps steps = smoothing_steps(width < height ? width : height);

    // A copy, not a move: the input stays the edge image of every pass and is summed below.
    layers[0] = input;
    for (int j = 0; j < 5; ++j) {
        layers[j + 1] = tblf(layers[j], input, steps.spatial[j], steps.range[j]);
        float* band = layers[j].data.get();
        const float* smoother = layers[j + 1].data.get();
        for (std::size_t i = 0; i < count; ++i) band[i] = band[i] - smoother[i];
    }

    const float* values = input.data.get();
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) sum += values[i];
    const double mean = sum / static_cast<double>(count);

    const float removed = static_cast<float>(mean);
    float* base = layers[5].data.get();
    for (std::size_t i = 0; i < count; ++i) base[i] = base[i] - removed;

    const std::vector<int> pixels = sample_pixels(width, height);
    CI.resize(tonemap_layers, tonemap_constraints);
    for (int k = 0; k < tonemap_layers; ++k) {
        const float* layer = layers[k].data.get();
        double* row = &CI[k][0];
        for (int j = 0; j < tonemap_samples; ++j) {
            const double sample = layer[pixels[j]];
            row[j] = -sample;
            row[tonemap_samples + j] = sample;
        }
        row[tonemap_constraints - 1] = 1.0;
    }
    return mean;
}
