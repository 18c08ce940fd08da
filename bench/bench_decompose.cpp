// Times Tonemap::decompose_ldr on a synthetic 12-megapixel photograph: Lab conversion, five
// smoothing passes, the mean and the constraint samples. Like the service's own input, the
// values are bytes divided by 255.
// Excluded from the timings: building the synthetic image.

#include "imaging/tonemap.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <vector>

#include "tests/synthetic_photo.hpp"

namespace {

constexpr int width = 4000;
constexpr int height = 3000;
constexpr int runs = 7;

}  // namespace

int main()
{
    Image<float> photo = synthetic_photo(width, height);
    for (std::size_t i = 0; i < photo.size(); ++i)
        photo.data[i] = static_cast<int>(photo.data[i] * 255.0f + 0.5f) / 255.0f;
    Image<float> colour;
    Image<float> layers[6];

    using clock = std::chrono::steady_clock;
    std::vector<double> ms;
    double checksum = 0.0;
    for (int run = 0; run <= runs; ++run) {
        Tonemap tonemap;
        const auto start = clock::now();
        checksum += tonemap.decompose_ldr(photo, colour, layers);
        const auto stop = clock::now();
        if (run > 0) ms.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("decompose_ldr %dx%d: min %.1f ms, median %.1f ms per call (%d runs after one "
                "warm-up; image synthesis excluded; checksum %.9f)\n",
                width, height, ms.front(), ms[ms.size() / 2], runs, checksum);
    return 0;
}
