#include "bench/libraw_decoding.hpp"

#include <memory>

#include <libraw/libraw.h>

// These settings restate those of imaging/raw.cpp, which keeps them private; LibRaw's processing
// time depends on them (demosaicing method, denoising), so the two must stay alike.
bool decode_with_libraw(std::vector<unsigned char>& file) {
    const auto decoder = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    libraw_output_params_t& params = decoder->imgdata.params;
    params.use_camera_matrix = 1;
    params.use_camera_wb = 0;
    params.half_size = 0;
    if (decoder->open_buffer(file.data(), file.size()) != LIBRAW_SUCCESS) return false;
    if (decoder->unpack() != LIBRAW_SUCCESS) return false;
    params.gamm[0] = 1.0;
    params.gamm[1] = 1.0;
    params.output_color = 5;  // CIE XYZ
    const float scaled = 0.125f * decoder->imgdata.other.iso_speed;
    params.threshold = 100.0f > scaled ? 100.0f : scaled;
    params.user_qual = 3;  // AHD demosaicing
    return decoder->dcraw_process() == LIBRAW_SUCCESS && decoder->imgdata.image != nullptr;
}
