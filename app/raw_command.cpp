#include "app/raw_command.hpp"

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/commands.hpp"
#include "app/compute_threads.hpp"
#include "app/image_request_slot.hpp"
#include "app/log.hpp"
#include "app/streamed_payload.hpp"
#include "imaging/imageio.hpp"
#include "server/flash_types.hpp"

namespace {

/// The longest side of the reduced copy, in pixels.
constexpr float reduced_side = 800.0f;
/// What a value at the log-mean luminance becomes before the display exponent: about 0.5 after it.
constexpr double preview_mid_grey = 0.21431429682896863;
/// The display exponent, a single-precision constant used in double precision.
constexpr double preview_exponent = static_cast<double>(0.45f);

/// The shorter side scaled by reduced_side / longer; the quotient is rounded to double before the
/// product, which is what makes 1078 x 1078 come out 799 x 800.
int scaled_side(int shorter, int longer) {
    const double quotient = static_cast<double>(reduced_side) / longer;
    return static_cast<int>(quotient * shorter);
}

/// The planar float payload as it lies in the image's own buffer: write_float's bytes, uncopied
/// (payloads are the host's bytes, which the build only allows to be little-endian).
ByteArrayView float_payload_view(const Image<float>& image) {
    return {reinterpret_cast<const unsigned char*>(image.data.get()), image.size() * sizeof(float)};
}

}  // namespace

Tuple2<int> reduced_size(int width, int height) {
    if (width > height && width > reduced_side)
        return {static_cast<int>(reduced_side), scaled_side(height, width)};
    if (width <= height && height > reduced_side)
        return {scaled_side(width, height), static_cast<int>(reduced_side)};
    return {width, height};
}

float exposure_scale(float log_mean) {
    return static_cast<float>(std::exp(static_cast<double>(log_mean)) / preview_mid_grey);
}

Image<unsigned char> raw_preview(const Image<float>& reduced, float scale) {
    return im2byte(power(reduced / scale, preview_exponent));
}

void read_raw_handler(socket_ptr socket) {
    log_line("INFO: Command received - read_raw");
    ImageRequestSlot slot(*socket, "read_raw", raw_file_pixels(announced_payload_size(*socket)));
    std::vector<unsigned char> raw_file;
    *socket >> raw_file;
    slot.payload_arrived();
    const std::size_t file_size = raw_file.size();
    // What the decoding holds follows the picture LibRaw delivers, which a file's length does not
    // tell: LibRaw parses the file on a compute thread, and the share grows here, as a compute
    // thread that waited for room would keep the share holders from finishing.
    const std::uint64_t picture_pixels = compute([&] { return raw_picture_pixels(raw_file); });
    slot.grow_to(raw_decoding_pixels(file_size, picture_pixels));

    // The full image goes out band by band as the conversion makes it final, and the reduced copy
    // and its preview are made while the rest of it is on its way. log_mean is written only when
    // decoding succeeds; a failed decode leaves no value to scale.
    ConversionProgress progress;
    float log_mean = 0.0f;
    Image<float> full;
    Image<float> reduced;
    std::vector<unsigned char> preview;
    Computation work([&] {
        full = read_raw(raw_file, log_mean, progress);
        std::vector<unsigned char>().swap(raw_file);
        reduced = resize(full, reduced_size(full.width, full.height), false, false);
        preview = write_argb(raw_preview(reduced, exposure_scale(log_mean)));
    });
    const ConversionProgress::Picture picture = progress.wait_for_picture();
    // Without a picture the decoder either rejected the file, which gets the empty reply, or
    // failed, which must end the connection before anything is written.
    if (picture.values == nullptr) work.wait();
    if (!send_as_converted(*socket, picture, progress)) {
        // Only a failure cuts a conversion short: its cause ends the connection, the reply cut short.
        work.wait();
        throw std::logic_error("the conversion was cut short without a failure");
    }
    *socket << picture.width << picture.height;
    work.wait();
    *socket << float_payload_view(reduced);
    *socket << reduced.width << reduced.height;
    *socket << preview;
    log_line("INFO: Raw image read - " + std::to_string(full.width) + " x " + std::to_string(full.height) +
             ", " + std::to_string(file_size) + " bytes");
}
