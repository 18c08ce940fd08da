#include "imaging/imageio.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include <libraw/libraw.h>

#include "imaging/colour_space.hpp"
#include "imaging/grain_sizes.hpp"
#include "imaging/parallel.hpp"

namespace {

/// Rows converted between two reports of progress. Each band ends with workers waiting for its
/// last tiles while one of them adds the log sum, so fewer bands convert faster; see
/// bench/README.md.
constexpr int conversion_band_rows = 1024;

/// Ends a conversion's progress on every way out of it, a thrown exception included.
class EndsOnExit {
public:
    explicit EndsOnExit(ConversionProgress& progress) : progress_(progress) {}
    EndsOnExit(const EndsOnExit&) = delete;
    EndsOnExit& operator=(const EndsOnExit&) = delete;
    ~EndsOnExit() { progress_.end(); }

private:
    ConversionProgress& progress_;
};

/// LibRaw's output colour space code for CIE XYZ.
constexpr int libraw_output_xyz = 5;
/// LibRaw's interpolation quality code for AHD demosaicing.
constexpr int libraw_quality_ahd = 3;
/// Pixels per byte of the file up to which its picture is believed before LibRaw has read it:
/// lossless raw data takes over a byte per pixel; files packed tighter just skip the early touch.
constexpr std::size_t pixels_per_file_byte = 1;
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

/// ln(1 + Y) for every 16-bit Y, computed once per file on all cores, so that the log sum's one
/// pass in pixel order is additions only: with the logarithms inside it, that pass would outlast
/// the whole conversion (see bench/README.md).
std::vector<double> log_one_plus_table() {
    std::vector<double> table(std::size_t{1} << 16);
    parallel_ranges(table.size(), table_entries_per_task, [&table](std::size_t begin, std::size_t end) {
        for (std::size_t y = begin; y < end; ++y) table[y] = std::log(1.0 + static_cast<double>(y));
    });
    return table;
}

/// One sRGB plane's value plus 1 from X, Y, Z: summed in double precision, stored as float.
float srgb_plus_one(const double (&row)[3], double x, double y, double z) {
    return static_cast<float>(((row[0] * x + row[1] * y) + row[2] * z) + 1.0);
}

/// A three-plane image of width x height whose every page has been touched once. Fresh memory is
/// mapped in on first touch, and for the 137 MiB of a 12-megapixel image that costs several times
/// the conversion that fills it (see bench/README.md); touched while LibRaw unpacks on one core,
/// most of that cost is hidden.
Image<float> touched_image(int width, int height) {
    if (width <= 0 || height <= 0) return Image<float>();
    Image<float> image;
    try {
        image = Image<float>(width, height, 3);
    } catch (const std::bad_alloc&) {
        // LibRaw's verdict on the file decides the reply, not this head start.
        return Image<float>();
    }
    float* const values = image.data.get();
    constexpr std::size_t values_per_page = 4096 / sizeof(float);
    const std::size_t pages = (image.size() + values_per_page - 1) / values_per_page;
    parallel_ranges(pages, touched_pages_per_task, [values](std::size_t begin, std::size_t end) {
        for (std::size_t page = begin; page < end; ++page) values[page * values_per_page] = 0.0f;
    });
    return image;
}

/// Linear sRGB + 1 from LibRaw's XYZ pixels, turned by the given quarter turns as it is
/// written into storage, which is used when it holds exactly as many values; the mean of
/// ln(1 + Y) over the pixels goes to log_mean. Rows are converted band after band, each reported
/// to progress once it is final.
Image<float> upright_linear_srgb(const unsigned short (*pixels)[4], int width, int height, int turns,
                                 Image<float> storage, float& log_mean, ConversionProgress& progress) {
    const TurnMap map = turn_map(width, height, turns);
    Image<float> image = std::move(storage);
    if (image.size() == static_cast<std::size_t>(map.width) * map.height * 3) {
        image.width = map.width;
        image.height = map.height;
    } else {
        image = Image<float>(map.width, map.height, 3);
    }
    float* const red = image.plane_data(0);
    float* const green = image.plane_data(1);
    float* const blue = image.plane_data(2);
    const std::size_t count = static_cast<std::size_t>(width) * height;
    const std::vector<double> log_one_plus = log_one_plus_table();
    double log_sum = 0.0;
    progress.begin(image);
    // The sum's order is fixed, so one worker adds in LibRaw's pixel order while the others
    // convert; converting straight into the turned places spares a turn of the whole image.
    try {
        run_side_by_side(
            [&] {
                for (std::size_t i = 0; i < count; ++i) log_sum += log_one_plus[pixels[i][1]];
            },
            [&] {
                for (int first = 0; first < map.height; first += conversion_band_rows) {
                    const int end = std::min(first + conversion_band_rows, map.height);
                    for_each_turned_in_rows(map, first, end, [=](std::size_t to, std::ptrdiff_t from) {
                        const double x = pixels[from][0], y = pixels[from][1], z = pixels[from][2];
                        red[to] = srgb_plus_one(xyz_to_srgb_d[0], x, y, z);
                        green[to] = srgb_plus_one(xyz_to_srgb_d[1], x, y, z);
                        blue[to] = srgb_plus_one(xyz_to_srgb_d[2], x, y, z);
                    });
                    progress.reach(end);
                }
            });
    } catch (...) {
        // Rows reported final may still be on their way to the client: the progress keeps them.
        progress.end(std::move(image));
        throw;
    }
    log_mean = static_cast<float>(log_sum / static_cast<double>(count));
    return image;
}

/// Sides of the picture that LibRaw delivers, as its output buffer lies before our turn.
struct PictureSize {
    int width;
    int height;
};

/// LibRaw with the file open, or nothing when LibRaw rejects the file. LibRaw's state is large, so
/// it lives on the heap; the handle frees it on every path.
std::unique_ptr<LibRaw> open_raw(std::vector<unsigned char>& bytes) {
    auto decoder = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    set_open_parameters(decoder->imgdata.params);
    if (decoder->open_buffer(bytes.data(), bytes.size()) != LIBRAW_SUCCESS) return nullptr;
    return decoder;
}

/// LibRaw's own account of its output: asked before processing, it works out what processing will
/// make, without changing the decoder's state (adjust_sizes_info_only would), stretching a side to
/// make the pixels square (a DNG's DefaultScale alone can make a picture ten times longer),
/// truncating it to 16 bits as LibRaw stores it, and laying out the rotated sensors of some Fuji
/// cameras; asked after, it tells what processing made. Its swap of the sides of a sideways
/// picture is undone here, as upright_turns does the turning.
PictureSize delivered_size(const LibRaw& decoder) {
    int width = 0, height = 0, colours = 0, bits = 0;
    decoder.get_mem_image_format(&width, &height, &colours, &bits);
    if (decoder.imgdata.sizes.flip & 4) std::swap(width, height);
    return {width, height};
}

/// True when read_raw delivers a picture of this size: a float payload must be able to carry it.
bool decodable(PictureSize size) {
    return size.width > 0 && size.height > 0 && float_payload_fits(size.width, size.height);
}

}  // namespace

std::uint64_t raw_picture_pixels(std::vector<unsigned char>& bytes) {
    const std::unique_ptr<LibRaw> decoder = open_raw(bytes);
    if (!decoder) return 0;
    const PictureSize size = delivered_size(*decoder);
    return decodable(size) ? static_cast<std::uint64_t>(size.width) * size.height : 0;
}

Image<float> read_raw(std::vector<unsigned char>& bytes, float& log_mean) {
    ConversionProgress unwatched;
    return read_raw(bytes, log_mean, unwatched);
}

Image<float> read_raw(std::vector<unsigned char>& bytes, float& log_mean, ConversionProgress& progress) {
    const EndsOnExit ends(progress);
    std::unique_ptr<LibRaw> decoder = open_raw(bytes);
    if (!decoder) return Image<float>();
    libraw_data_t& raw = decoder->imgdata;

    // A picture whose float planes no reply could carry is refused before LibRaw unpacks it: LibRaw
    // takes a few bytes labelled lossless JPEG for a black picture of whatever size the tags
    // announce, and decoding 20000 x 20000 of it took 39 s and 7.8 GB.
    const PictureSize announced = delivered_size(*decoder);
    if (!decodable(announced)) return Image<float>();
    // The output is touched early only when the file's bytes could hold its sensor's picture,
    // within LibRaw's own memory limit: a short file that announces a big one makes nothing touched
    // before LibRaw finds it out.
    const std::size_t stored_pixels = static_cast<std::size_t>(raw.sizes.width) * raw.sizes.height;
    const std::size_t pixels = static_cast<std::size_t>(announced.width) * announced.height;
    const std::size_t memory_limit = std::size_t{raw.params.max_raw_memory_mb} << 20;
    const bool plausible =
        stored_pixels <= bytes.size() * pixels_per_file_byte && pixels * 3 * sizeof(float) <= memory_limit;
    bool unpacked = false;
    Image<float> storage;
    run_aside([&] { unpacked = decoder->unpack() == LIBRAW_SUCCESS; },
              [&storage, plausible, announced] {
                  if (plausible) storage = touched_image(announced.width, announced.height);
              });
    if (!unpacked) return Image<float>();
    set_processing_parameters(raw.params, raw.other.iso_speed);
    if (decoder->dcraw_process() != LIBRAW_SUCCESS || raw.image == nullptr) return Image<float>();

    // The size LibRaw reports for its own output once it has processed it is the one its image
    // holds (sizes.iwidth and iheight still hold the half size of the denoising pass): checked
    // again, as no reply may carry more than a float payload holds, whatever LibRaw made.
    const PictureSize delivered = delivered_size(*decoder);
    if (!decodable(delivered)) return Image<float>();
    const int width = delivered.width, height = delivered.height;

    float decoded_log_mean = 0.0f;
    Image<float> upright = upright_linear_srgb(raw.image, width, height, upright_turns(raw.sizes.flip),
                                               std::move(storage), decoded_log_mean, progress);
    log_mean = decoded_log_mean;
    // The image is whole: it goes out while LibRaw's buffers are freed.
    progress.end();
    decoder.reset();
    return upright;
}
