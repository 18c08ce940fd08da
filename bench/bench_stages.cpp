// Times, in-process, each stage of the image requests on the synthetic 12-megapixel photograph,
// in the order a request runs them: payload reading, rotation and conversion, the Lab (or log
// luminance) front end, each of the five smoothing passes, the rest of the decomposition, the
// solver, the recomposition, the conversion to bytes and the reply payloads; then the stages of a
// "read_raw" request. First of all it follows one "tonemap_ldr" through the same steps and shows
// what each step holds in memory. Building the inputs of a stage (the outputs of the stages
// before it) is never timed; freeing a stage's result is.

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "app/raw_command.hpp"
#include "app/startup_environment.hpp"
#include "bench/bench_inputs.hpp"
#include "bench/bench_timing.hpp"
#include "bench/libraw_decoding.hpp"
#include "imaging/bilateral.hpp"
#include "imaging/imageio.hpp"
#include "imaging/tonemap.hpp"

namespace {

/// Timed runs of each stage.
constexpr int runs = 7;
/// Timed runs of each camera raw stage, which are slower.
constexpr int raw_runs = 5;

constexpr int width = photo_width;
constexpr int height = photo_height;

/// Times one stage and prints it.
template <typename Run>
Summary stage(const std::string& name, int count, Run run) {
    const Summary summary = time_calls(count, run);
    print_figure(name, summary);
    return summary;
}

/// Prints a figure derived from others (a difference of medians).
void print_derived(const std::string& name, double median) {
    std::printf("  %-58s                       median %9.2f ms\n", name.c_str(), median);
    std::fflush(stdout);
}

/// This process's resident memory and its peak since the last reset, in MiB.
struct Resident {
    double now = 0.0;
    double peak = 0.0;
};

Resident resident() {
    std::ifstream status("/proc/self/status");
    Resident r;
    std::string key;
    while (status >> key) {
        long kib = 0;
        if (key == "VmRSS:" && status >> kib) r.now = kib / 1024.0;
        if (key == "VmHWM:" && status >> kib) r.peak = kib / 1024.0;
        status.ignore(1 << 16, '\n');
    }
    return r;
}

/// Starts a new peak: the kernel sets the peak back to the present resident size.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

/// Follows memory through the steps of one request: prints, per step, the peak while it ran and
/// what stays resident after it, both above the resident size before the request.
class MemoryTrail {
public:
    MemoryTrail() : base_(resident().now) {
        std::printf(
            "resident memory along one 4000 x 3000 tonemap_ldr, as the handler holds it (MiB above "
            "the %.0f MiB before the request)\n",
            base_);
        reset_peak();
    }

    /// Runs one step and prints its figures.
    template <typename Step>
    void step(const char* name, Step run) {
        reset_peak();
        run();
        const Resident r = resident();
        std::printf("  %-58s peak %7.0f   after %7.0f\n", name, r.peak - base_, r.now - base_);
        std::fflush(stdout);
    }

private:
    double base_;
};

/// The handler's steps for one "tonemap_ldr", releasing each buffer where the handler does.
void follow_memory(const std::vector<unsigned char>& argb) {
    MemoryTrail trail;
    const ToneSettings s = bench_settings();
    std::vector<unsigned char> payload;
    Image<float> input;
    Tonemap tonemap;
    Image<float> colour;
    Image<float> layers[tonemap_layers];
    Image<unsigned char> result;
    std::vector<unsigned char> reply;
    trail.step("ARGB payload received (the request's byte array)", [&] { payload = argb; });
    trail.step("read_argb, flip, im2float; payload released", [&] {
        input = im2float(flip(read_argb(payload, width, height), 0));
        std::vector<unsigned char>().swap(payload);
    });
    trail.step("decompose_ldr: colour and six layers; input released", [&] {
        tonemap.init_constraints();
        tonemap.decompose_ldr(input, colour, layers);
        input = Image<float>();
    });
    trail.step("compose_ldr and im2byte; colour and layers released", [&] {
        result = im2byte(tonemap.compose_ldr(colour, layers, s.white, s.target_gain, s.dynamic_range,
                                             s.brightness, s.bright_detail_falloff, s.dark_detail_falloff,
                                             s.black_point, s.fine_detail_boost, s.saturation));
        colour = Image<float>();
        for (Image<float>& layer : layers) layer = Image<float>();
    });
    trail.step("write_argb (sent, then released)", [&] { reply = write_argb(result); });
    trail.step("write_jpeg (sent, then released)", [&] {
        std::vector<unsigned char>().swap(reply);
        reply = write_jpeg(result);
    });
}

void bench_ldr_and_common(const std::vector<unsigned char>& argb, const std::vector<unsigned char>& floats) {
    print_heading("stages of the image requests, 4000 x 3000", runs,
                  "building each stage's input; the steps of the rest of the request");
    stage("payload reading: read_argb (ARGB, 46 MiB)", runs, [&] { read_argb(argb, width, height); });
    stage("payload reading: read_float (planar float, 137 MiB)", runs,
          [&] { read_float(floats, width, height); });

    const Image<unsigned char> bytes = read_argb(argb, width, height);
    stage("rotation: flip by a quarter turn (8-bit; rotation 0 moves)", runs, [&] { flip(bytes, 1); });
    stage("conversion: im2float", runs, [&] { im2float(bytes); });
    const Image<float> rgb = im2float(bytes);

    Image<float> colour;
    stage("Lab conversion: clamped_lightness", runs, [&] { clamped_lightness(rgb, colour); });
    const Image<float> lightness = clamped_lightness(rgb, colour);

    // Each pass smooths the previous pass's result along the lightness's edges.
    const SmoothingSteps steps = smoothing_steps(height < width ? height : width);
    std::vector<Image<float>> smoothed;
    smoothed.push_back(lightness);
    double passes = 0.0;
    for (int j = 0; j < 5; ++j) {
        const std::string name = "tblf pass " + std::to_string(j + 1) + " (s " +
                                 std::to_string(steps.spatial[j]) + ", r " + std::to_string(steps.range[j]) +
                                 ")";
        passes +=
            stage(name, runs, [&] { tblf(smoothed[j], lightness, steps.spatial[j], steps.range[j]); }).median;
        smoothed.push_back(tblf(smoothed[j], lightness, steps.spatial[j], steps.range[j]));
    }
    smoothed.clear();

    Image<float> layers[tonemap_layers];
    Tonemap tonemap;
    tonemap.init_constraints();
    const Summary decompose = stage("decompose: five passes, band differences, mean, sampling", runs,
                                    [&] { tonemap.decompose(lightness, layers); });
    print_derived("  of which outside the passes (median - sum of pass medians)", decompose.median - passes);
    stage("sampling: sample_pixels alone (the CI fill is inside decompose)", runs,
          [&] { sample_pixels(width, height); });

    const ToneSettings s = bench_settings();
    QuadProgPP::Vector<double> gains;
    const Summary solver = stage("solver: Tonemap::compose", runs,
                                 [&] { tonemap.compose(s.target_gain, s.dynamic_range, gains); });
    Image<float> composed;
    const Summary compose_ldr = stage("compose_ldr: solver and recomposition", runs, [&] {
        composed = tonemap.compose_ldr(colour, layers, s.white, s.target_gain, s.dynamic_range, s.brightness,
                                       s.bright_detail_falloff, s.dark_detail_falloff, s.black_point,
                                       s.fine_detail_boost, s.saturation);
    });
    print_derived("  recomposition (compose_ldr - solver, medians)", compose_ldr.median - solver.median);

    stage("im2byte", runs, [&] { im2byte(composed); });
    const Image<unsigned char> result = im2byte(composed);
    stage("write_argb", runs, [&] { write_argb(result); });
    stage("write_jpeg", runs, [&] { write_jpeg(result); });

    stage("decompose reply: write_image3 of the colour image", runs, [&] { write_image3(colour); });
    stage("decompose reply: write_constraints", runs, [&] { write_constraints(tonemap); });

    // The float path: its own front end and composition, on the photograph taken as linear light.
    const Image<float> linear = read_float(floats, width, height);
    Image<float> ratios;
    stage("HDR front end: normalised_log_luminance", runs, [&] { normalised_log_luminance(linear, ratios); });
    tonemap.decompose_hdr(linear, ratios, layers);
    const Summary compose_hdr = stage("compose_hdr: solver and recomposition", runs, [&] {
        tonemap.compose_hdr(ratios, layers, s.white, s.target_gain, s.dynamic_range, s.brightness,
                            s.bright_detail_falloff, s.dark_detail_falloff, s.black_point,
                            s.fine_detail_boost, s.saturation);
    });
    print_derived("  recomposition (compose_hdr - solver, medians)", compose_hdr.median - solver.median);
}

void bench_raw() {
    std::vector<unsigned char> file = photo_dng(width, height);
    print_heading("stages of read_raw, a 4000 x 3000 DNG", raw_runs,
                  "building the DNG and each stage's input");
    // LibRaw alone and read_raw in pairs, so that the two figures of a run meet the same load.
    float log_mean = 0.0f;
    bool decoded = true;
    const std::vector<Summary> pair = time_phases(raw_runs, [&] {
        auto start = BenchClock::now();
        decoded = decode_with_libraw(file) && decoded;
        const double libraw = elapsed_ms(start, BenchClock::now());
        start = BenchClock::now();
        read_raw(file, log_mean);
        const double whole = elapsed_ms(start, BenchClock::now());
        return std::vector<double>{libraw, whole, whole - libraw};
    });
    if (!decoded) std::printf("  LibRaw rejected the benchmark DNG\n");
    print_figure("LibRaw alone: open, unpack, processing", pair[0]);
    print_figure("read_raw: LibRaw, conversion to sRGB, turn", pair[1]);
    print_figure("  conversion and turn: read_raw - LibRaw, per run", pair[2]);
    const Image<float> full = read_raw(file, log_mean);
    stage("resize to the reduced copy", raw_runs,
          [&] { resize(full, reduced_size(full.width, full.height), false, false); });
    const Image<float> reduced = resize(full, reduced_size(full.width, full.height), false, false);
    stage("raw_preview", raw_runs, [&] { raw_preview(reduced, exposure_scale(log_mean)); });
    const Image<unsigned char> preview = raw_preview(reduced, exposure_scale(log_mean));
    stage("write_argb of the preview", raw_runs, [&] { write_argb(preview); });
}

}  // namespace

int main(int, char** argv) {
    // LibRaw's stages run under the service's OpenMP and allocator settings.
    settle_startup_environment(argv);
    const Image<float> photo = bench_photo();
    const std::vector<unsigned char> argb = argb_payload(photo);
    const std::vector<unsigned char> floats = float_payload(photo);
    // First, while no stage has left freed memory behind in the allocator.
    follow_memory(argb);
    bench_ldr_and_common(argb, floats);
    bench_raw();
    return 0;
}
