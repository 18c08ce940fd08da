#pragma once

#include <cmath>
#include <cstdint>

#include "imaging/image.hpp"

/// A photograph-like gamma-encoded RGB image, every value in [0.2, 0.95]: smooth colour
/// gradients, a disc and a rectangle with sharp edges, and seeded noise. Deterministic.
inline Image<float> synthetic_photo(int width, int height, std::uint32_t seed = 1) {
    Image<float> photo(width, height, 3);
    std::uint32_t state = seed | 1u;
    auto noise = [&state]() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
    };
    const double pi = 3.141592653589793;
    for (int c = 0; c < 3; ++c) {
        float* plane = photo.plane_data(c);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const double u = (x + 0.5) / width;
                const double v = (y + 0.5) / height;
                double value = 0.55 + 0.25 * std::sin(pi * (u * (0.6 + 0.3 * c) + v * 0.9));
                const double du = u - 0.3;
                const double dv = v - 0.45;
                if (du * du + dv * dv < 0.04) value = 0.85 - 0.1 * c;
                if (u > 0.6 && u < 0.85 && v > 0.15 && v < 0.7) value = 0.3 + 0.05 * c;
                value += 0.04 * noise();
                plane[y * width + x] = static_cast<float>(std::fmin(0.95, std::fmax(0.2, value)));
            }
        }
    }
    return photo;
}
