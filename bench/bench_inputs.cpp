#include "bench/bench_inputs.hpp"

#include <cstddef>

#include "imaging/imageio.hpp"
#include "tests/dng_writer.hpp"
#include "tests/synthetic_photo.hpp"

Image<float> bench_photo() { return synthetic_photo(photo_width, photo_height); }

std::vector<unsigned char> argb_payload(const Image<float>& photo) { return write_argb(im2byte(photo)); }

std::vector<unsigned char> float_payload(const Image<float>& photo) { return write_float(photo); }

ToneSettings bench_settings() { return working_settings(0.3); }

std::vector<unsigned char> photo_dng(int width, int height) {
    const Image<float> photo = synthetic_photo(width, height);
    DngDescription description;
    description.width = width;
    description.height = height;
    // Squared display values come close to linear light and keep the scene's edges and noise.
    description.scene = [&photo, width](int x, int y) {
        const std::size_t i = static_cast<std::size_t>(y) * width + x;
        const double red = photo.plane_data(0)[i];
        const double green = photo.plane_data(1)[i];
        const double blue = photo.plane_data(2)[i];
        return SceneColour{red * red, green * green, blue * blue};
    };
    return make_dng(description);
}
