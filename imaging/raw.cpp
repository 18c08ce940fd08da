#include "imaging/imageio.hpp"

#include <cmath>
#include <memory>
#include <utility>

#include <libraw/libraw.h>

namespace {

/// CIE XYZ (D65) to linear sRGB, rows red, green, blue.
constexpr double xyz_to_srgb[3][3] = {
    {3.241, -1.5374, -0.4986},
    {-0.9692, 1.876, 0.0416},
    {0.0556, -0.204, 1.057},
};

/// LibRaw's output colour space code for CIE XYZ.
constexpr int libraw_output_xyz = 5;
/// LibRaw's interpolation quality code for AHD demosaicing.
constexpr int libraw_quality_ahd = 3;
/// The wavelet denoising threshold below which no file goes.
constexpr float minimum_noise_threshold = 100.0f;

/// Quarter turns counter-clockwise that make upright an image with LibRaw's orientation code.
int upright_turns(int orientation) {
    switch (orientation) {
        case 5: return 1;
        case 3: return 2;
        case 6: return 3;
        default: return 0;
    }
}

/// Wavelet denoising grows with the sensor gain the file was shot at; the product is taken in
/// single precision.
float noise_threshold(float iso_speed) {
    const float scaled = 0.125f * iso_speed;
    return minimum_noise_threshold > scaled ? minimum_noise_threshold : scaled;
}

/// Settings that must be in place before the file is opened.
void set_open_parameters(libraw_output_params_t& params) {
    // A DNG's embedded colour profile was made for its sensor: at this value LibRaw uses it for
    // DNG files and its own tables for the others.
    params.use_camera_matrix = 1;
    // A fixed daylight balance rather than the as-shot one, so that a scene decodes alike
    // whatever the camera's white-balance setting was.
    params.use_camera_wb = 0;
    // The full image is sent to the client, which gets its reduced copy from us as well.
    params.half_size = 0;
}

/// Settings made once the file is unpacked: the denoising threshold needs the ISO speed it read.
void set_processing_parameters(libraw_output_params_t& params, float iso_speed) {
    // Linear output: the log mean and the exposure scale assume values proportional to light.
    params.gamm[0] = 1.0;
    params.gamm[1] = 1.0;
    // LibRaw's own sRGB output would clip out-of-gamut colours at 0; converting from XYZ here, in
    // double precision, keeps them.
    params.output_color = libraw_output_xyz;
    // Denoising follows the sensor gain: files shot at a higher ISO speed are noisier.
    params.threshold = noise_threshold(iso_speed);
    // AHD (adaptive homogeneity-directed) demosaicing keeps edges free of the zipper artefacts
    // that plain interpolation leaves.
    params.user_qual = libraw_quality_ahd;
}

/// Linear sRGB + 1 from LibRaw's XYZ pixels; the mean of ln(1 + Y) goes to log_mean.
Image<float> xyz_to_linear_srgb(const unsigned short (*pixels)[4], int width, int height, float& log_mean) {
    Image<float> image(width, height, 3);
    float* const red = image.plane_data(0);
    float* const green = image.plane_data(1);
    float* const blue = image.plane_data(2);
    const std::size_t count = static_cast<std::size_t>(width) * height;
    double log_sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = pixels[i][0], y = pixels[i][1], z = pixels[i][2];
        red[i] = static_cast<float>(((xyz_to_srgb[0][0] * x + xyz_to_srgb[0][1] * y) + xyz_to_srgb[0][2] * z) + 1.0);
        green[i] = static_cast<float>(((xyz_to_srgb[1][0] * x + xyz_to_srgb[1][1] * y) + xyz_to_srgb[1][2] * z) + 1.0);
        blue[i] = static_cast<float>(((xyz_to_srgb[2][0] * x + xyz_to_srgb[2][1] * y) + xyz_to_srgb[2][2] * z) + 1.0);
        log_sum += std::log(1.0 + y);
    }
    log_mean = static_cast<float>(log_sum / static_cast<double>(count));
    return image;
}

}  // namespace

Image<float> read_raw(std::vector<unsigned char>& bytes, float& log_mean) {
    // LibRaw's state is large, so it lives on the heap; the handle frees it on every path.
    const auto decoder = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    libraw_data_t& raw = decoder->imgdata;

    set_open_parameters(raw.params);
    if (decoder->open_buffer(bytes.data(), bytes.size()) != LIBRAW_SUCCESS) return Image<float>();
    if (decoder->unpack() != LIBRAW_SUCCESS) return Image<float>();
    set_processing_parameters(raw.params, raw.other.iso_speed);
    if (decoder->dcraw_process() != LIBRAW_SUCCESS || raw.image == nullptr) return Image<float>();

    // sizes.iwidth and iheight still hold the half size of the denoising pass after processing,
    // while image holds the full picture: take the size LibRaw reports for its own output, whose
    // width/height swap for sideways orientations is undone because upright_turns does the turning.
    int width = 0, height = 0, colours = 0, bits = 0;
    decoder->get_mem_image_format(&width, &height, &colours, &bits);
    if (raw.sizes.flip & 4) std::swap(width, height);
    if (width <= 0 || height <= 0) return Image<float>();

    float decoded_log_mean = 0.0f;
    Image<float> decoded = xyz_to_linear_srgb(raw.image, width, height, decoded_log_mean);
    Image<float> upright = flip(std::move(decoded), upright_turns(raw.sizes.flip));
    log_mean = decoded_log_mean;
    return upright;
}
