// Times Tonemap::decompose_ldr on the benchmark photograph: Lab conversion, five smoothing
// passes, the mean and the constraint samples. Like the service's own input, the values are
// bytes divided by 255.

#include "app/startup_environment.hpp"
#include "bench/bench_inputs.hpp"
#include "bench/bench_timing.hpp"
#include "imaging/tonemap.hpp"

namespace {

constexpr int runs = 7;

}  // namespace

int main(int, char** argv) {
    // The allocator's settings decide where the passes' buffers come from, so they are the service's.
    settle_startup_environment(argv);
    const Image<float> photo = im2float(im2byte(bench_photo()));
    Image<float> colour;
    Image<float> layers[tonemap_layers];
    print_heading("decompose_ldr 4000 x 3000", runs, "building the photograph");
    print_figure("one call", time_calls(runs, [&] {
                     Tonemap problem;
                     problem.decompose_ldr(photo, colour, layers);
                 }));
    return 0;
}
