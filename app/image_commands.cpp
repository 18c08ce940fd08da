#include <algorithm>
#include <string>
#include <vector>

#include "app/commands.hpp"
#include "app/compute_threads.hpp"
#include "app/image_request_slot.hpp"
#include "app/log.hpp"
#include "app/request_limits.hpp"
#include "imaging/image.hpp"
#include "imaging/imageio.hpp"
#include "imaging/tonemap.hpp"
#include "server/flash_types.hpp"

namespace {

/// The eight composition parameters, in the order the client sends them.
struct ComposeParameters {
    double target_gain;
    double dynamic_range;
    double brightness;
    double bright_detail_falloff;
    double dark_detail_falloff;
    double black_point;
    double fine_detail_boost;
    double saturation;
};

/// The image part of a request: its payload and the integers that describe it.
struct ImagePayload {
    std::vector<unsigned char> pixels;
    int width = 0;
    int height = 0;
    int rotation = 0;
};

ImagePayload read_image_payload(tcp::socket& socket) {
    ImagePayload payload;
    socket >> payload.pixels >> payload.width >> payload.height >> payload.rotation;
    return payload;
}

/// Logs a refusal when the reason is not empty; true when the request may go on.
bool accept_request(const std::string& command, const std::string& reason) {
    if (reason.empty()) return true;
    log_line("ERROR: Request refused - " + command + ": " + reason);
    return false;
}

/// The upright working image, or the empty image when the request is refused. The payload's
/// bytes are released once the image is built. 8-bit input is turned while it is still bytes.
Image<float> build_input(const std::string& command, ImagePayload& payload, bool hdr, bool tonemap) {
    const std::size_t length = payload.pixels.size();
    const ImageRequest request{payload.width, payload.height, payload.rotation, length, hdr, tonemap};
    if (!accept_request(command, check_image_request(request))) return {};
    Image<float> input =
        hdr ? flip(read_float(payload.pixels, payload.width, payload.height), payload.rotation)
            : im2float(flip(read_argb(payload.pixels, payload.width, payload.height), payload.rotation));
    std::vector<unsigned char>().swap(payload.pixels);
    if (hdr && !accept_request(command, check_hdr_luminance(input))) return {};
    return input;
}

/// The colour front end: fills the colour image and returns the working image that the smoothing
/// passes split. The input is released once the front end has read it: 137 MiB less at the peak
/// of a 12-megapixel request than with Tonemap::decompose_ldr and decompose_hdr, whose values
/// these are.
Image<float> colour_front_end(Image<float> input, bool hdr, Image<float>& colour) {
    return hdr ? normalised_log_luminance(input, colour) : clamped_lightness(input, colour);
}

std::string command_name(const char* action, bool hdr) {
    return std::string(action) + (hdr ? "_hdr" : "_ldr");
}

/// Copies three of the layers into the planes of one three-plane image of the same size.
void gather_layers(const Image<float>* layers, Image<float>& triple) {
    for (int c = 0; c < 3; ++c)
        std::copy(layers[c].data.get(), layers[c].data.get() + layers[c].size(), triple.plane_data(c));
}

/// What a tone-mapping request sends back: the 8-bit result and its ARGB payload.
struct ToneMapped {
    Image<unsigned char> result;
    std::vector<unsigned char> argb;
};

/// The share of the image budget that the request on socket needs, from its announced payload.
std::uint64_t pixels_announced(tcp::socket& socket, bool hdr) {
    return image_request_pixels(announced_payload_size(socket), hdr ? 12 : 4);
}

void tonemap(socket_ptr socket, bool hdr) {
    ImageRequestSlot slot(*socket, command_name("tonemap", hdr), pixels_announced(*socket, hdr));
    ImagePayload payload = read_image_payload(*socket);
    double white[3];
    *socket >> white[0] >> white[1] >> white[2];
    ComposeParameters p;
    *socket >> p.target_gain >> p.dynamic_range >> p.brightness >> p.bright_detail_falloff >>
        p.dark_detail_falloff >> p.black_point >> p.fine_detail_boost >> p.saturation;
    slot.payload_arrived();

    const ToneMapped mapped = compute([&] {
        ToneMapped reply;
        Image<float> input = build_input(command_name("tonemap", hdr), payload, hdr, true);
        if (input.size() == 0) return reply;
        Tonemap problem;
        problem.init_constraints();
        Image<float> colour;
        Image<float> layers[tonemap_layers];
        problem.decompose(colour_front_end(std::move(input), hdr, colour), layers);
        const auto compose = hdr ? &Tonemap::compose_hdr : &Tonemap::compose_ldr;
        reply.result = im2byte((problem.*compose)(
            colour, layers, white, p.target_gain, p.dynamic_range, p.brightness, p.bright_detail_falloff,
            p.dark_detail_falloff, p.black_point, p.fine_detail_boost, p.saturation));
        reply.argb = write_argb(reply.result);
        return reply;
    });
    if (mapped.result.size() == 0) return;

    // The JPEG is encoded while the ARGB reply is sent, which takes as long as the client needs to
    // read 4 bytes a pixel.
    std::vector<unsigned char> jpeg;
    Computation encoding([&] { jpeg = write_jpeg(mapped.result); });
    *socket << mapped.argb << mapped.result.width << mapped.result.height;
    encoding.wait();
    *socket << jpeg;
}

void decompose(socket_ptr socket, bool hdr) {
    ImageRequestSlot slot(*socket, command_name("decompose", hdr), pixels_announced(*socket, hdr));
    ImagePayload payload = read_image_payload(*socket);
    slot.payload_arrived();
    Image<float> colour;
    Image<float> working;
    const bool accepted = compute([&] {
        Image<float> input = build_input(command_name("decompose", hdr), payload, hdr, false);
        if (input.size() == 0) return false;
        working = colour_front_end(std::move(input), hdr, colour);
        return true;
    });
    if (!accepted) return;
    const int width = colour.width;
    const int height = colour.height;

    // The colour image, the first reply value, is final once the front end has run: it goes out
    // while the smoothing passes split the working image.
    Tonemap problem;
    Image<float> layers[tonemap_layers];
    double mean = 0.0;
    Computation passes([&] {
        mean = problem.decompose(working, layers);
        working = Image<float>();
    });
    // One payload at a time, so that no two payload copies are held at once.
    *socket << compute([&] { return write_image3(colour); });
    colour = Image<float>();
    passes.wait();
    for (const Image<float>* first : {layers, layers + 3}) {
        *socket << compute([&] {
            Image<float> triple(width, height, 3);
            gather_layers(first, triple);
            return write_image3(triple);
        });
    }
    *socket << compute([&] { return write_constraints(problem); });
    *socket << mean << width << height;
}

}  // namespace

void tonemap_ldr_handler(socket_ptr socket) {
    log_line("INFO: Command received - tonemap_ldr");
    tonemap(socket, false);
}

void tonemap_hdr_handler(socket_ptr socket) {
    log_line("INFO: Command received - tonemap_hdr");
    tonemap(socket, true);
}

void decompose_ldr_handler(socket_ptr socket) {
    log_line("INFO: Command received - decompose_ldr");
    decompose(socket, false);
}

void decompose_hdr_handler(socket_ptr socket) {
    log_line("INFO: Command received - decompose_hdr");
    decompose(socket, true);
}
