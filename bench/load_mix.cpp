#include "bench/load_mix.hpp"

#include <cstdint>

#include "bench/bench_inputs.hpp"
#include "tests/image_requests.hpp"
#include "tests/synthetic_photo.hpp"

namespace {

/// The marker byte and the 32-bit count that precede the bytes of a byte array.
constexpr std::size_t marker_and_count = 5;

MixedRequest image_request(RequestKind kind, int width, int height, int rotation, std::uint32_t seed) {
    const WireBytes pixels = argb_payload(synthetic_photo(width, height, seed));
    const std::string command = command_of(kind);
    Request request = kind == RequestKind::tone_mapping
                          ? tonemap_request(command, pixels, width, height, rotation, bench_settings())
                          : decompose_request(command, pixels, width, height, rotation);
    const std::size_t payload_begin = command.size() + 1 + marker_and_count;
    return {kind,
            command + " " + std::to_string(width) + "x" + std::to_string(height) + " r" +
                std::to_string(rotation),
            std::move(request),
            payload_begin,
            payload_begin + pixels.size(),
            {}};
}

}  // namespace

const char* command_of(RequestKind kind) {
    switch (kind) {
        case RequestKind::version: return "version";
        case RequestKind::tone_mapping: return "tonemap_ldr";
        case RequestKind::decomposition: return "decompose_ldr";
    }
    return "";
}

LoadMix::LoadMix() {
    requests_.push_back({RequestKind::version, "version", Request("version"), 0, 0, {}});
    requests_.push_back(image_request(RequestKind::tone_mapping, 64, 48, 0, 11));
    requests_.push_back(image_request(RequestKind::tone_mapping, 97, 61, 1, 12));
    requests_.push_back(image_request(RequestKind::tone_mapping, 160, 120, 2, 13));
    requests_.push_back(image_request(RequestKind::tone_mapping, 320, 240, 3, 14));
    requests_.push_back(image_request(RequestKind::decomposition, 64, 48, 1, 15));
    requests_.push_back(image_request(RequestKind::decomposition, 120, 90, 0, 16));
    for (std::size_t i = 0; i < requests_.size(); ++i) {
        of_kind_[static_cast<std::size_t>(requests_[i].kind)].push_back(i);
        if (requests_[i].kind != RequestKind::version) images_.push_back(i);
    }
}

const MixedRequest& LoadMix::pick(std::mt19937& random) const {
    const unsigned fifth = random() % 5;
    const RequestKind kind = fifth < 2   ? RequestKind::version
                             : fifth < 4 ? RequestKind::tone_mapping
                                         : RequestKind::decomposition;
    const std::vector<std::size_t>& choices = of_kind_[static_cast<std::size_t>(kind)];
    return requests_[choices[random() % choices.size()]];
}

const MixedRequest& LoadMix::pick_image(std::mt19937& random) const {
    return requests_[images_[random() % images_.size()]];
}
