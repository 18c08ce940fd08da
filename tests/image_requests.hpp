#pragma once

#include <string>

#include "tests/tone_settings.hpp"
#include "tests/wire_client.hpp"

/// A decomposition request: the pixels, width, height and rotation.
inline Request decompose_request(const std::string& command, const WireBytes& pixels, int width, int height,
                                 int rotation = 0) {
    Request request(command);
    request.bytes(pixels).integer(width).integer(height).integer(rotation);
    return request;
}

/// Appends the eleven settings of a tone-mapping request.
inline Request& append_settings(Request& request, const ToneSettings& s) {
    request.number(s.white[0]).number(s.white[1]).number(s.white[2]).number(s.target_gain);
    request.number(s.dynamic_range).number(s.brightness).number(s.bright_detail_falloff);
    request.number(s.dark_detail_falloff).number(s.black_point).number(s.fine_detail_boost);
    return request.number(s.saturation);
}

/// A tone-mapping request: the decomposition request followed by the eleven settings.
inline Request tonemap_request(const std::string& command, const WireBytes& pixels, int width, int height,
                               int rotation = 0, const ToneSettings& s = {}) {
    Request request = decompose_request(command, pixels, width, height, rotation);
    return append_settings(request, s);
}
