// Times tblf on the benchmark photograph with the first decomposition pass's steps of a
// 3000-pixel side; the photograph's first plane is both the data and the edge image.

#include "bench/bench_inputs.hpp"
#include "bench/bench_timing.hpp"
#include "imaging/bilateral.hpp"

namespace {

constexpr float spatial_step = 23.4375f;
constexpr float range_step = 0.05f;
constexpr int runs = 7;

}  // namespace

int main() {
    const Image<float> photo = bench_photo();
    const Image<float> lightness = plane(photo, 0);
    print_heading("tblf 4000 x 3000, s = 23.4375, r = 0.05", runs, "building the photograph");
    print_figure("one call (two filter passes)",
                 time_calls(runs, [&] { tblf(lightness, lightness, spatial_step, range_step); }));
    return 0;
}
