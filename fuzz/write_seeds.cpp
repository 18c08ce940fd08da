// Writes the seed corpora of the fuzz targets into the folder given as the first argument: valid
// requests of every command, typed value streams, and small camera raw files.
#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tests/dng_writer.hpp"
#include "tests/wire_client.hpp"

namespace {

void write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

/// Pixels of a small image: ARGB (4 bytes a pixel) or planar float (12 bytes a pixel).
WireBytes small_pixels(int width, int height, bool hdr) {
    WireBytes pixels(static_cast<std::size_t>(width) * height * (hdr ? 12 : 4));
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = hdr ? static_cast<unsigned char>(i % 4 == 3 ? 0x3f : i * 37)
                        : static_cast<unsigned char>(i * 53 + 7);
    return pixels;
}

Request image_request(const std::string& name, bool hdr, bool tonemap) {
    Request request(name);
    request.bytes(small_pixels(6, 4, hdr)).integer(6).integer(4).integer(1);
    if (tonemap) {
        request.number(1).number(1).number(1);
        for (const double setting : {1.0, 2.0, 0.5, 0.2, 0.1, 0.05, 0.3, 1.0}) request.number(setting);
    }
    return request;
}

void write_command_seeds(const std::string& folder) {
    write_file(folder + "/version", Request("version").data());
    write_file(folder + "/policy", Request("<policy-file-request/>").data());
    write_file(folder + "/unknown", Request("nothing").data());
    write_file(folder + "/tonemap_ldr", image_request("tonemap_ldr", false, true).data());
    write_file(folder + "/tonemap_hdr", image_request("tonemap_hdr", true, true).data());
    write_file(folder + "/decompose_ldr", image_request("decompose_ldr", false, false).data());
    write_file(folder + "/decompose_hdr", image_request("decompose_hdr", true, false).data());
    DngDescription dng;
    dng.width = 24;
    dng.height = 24;
    dng.scene = uniform_scene({0.4, 0.5, 0.3});
    write_file(folder + "/read_raw", Request("read_raw").bytes(make_dng(dng)).data());
}

void write_codec_seeds(const std::string& folder) {
    // The first byte is the number of values, the next bytes their kinds (see codec_fuzzer.cpp).
    WireBytes all_kinds{7, 0, 1, 2, 3, 4, 5, 6};
    const Request values = Request("values")
                               .boolean(true)
                               .integer(-5)
                               .integer(65535)
                               .number(2.5)
                               .number(0.1)
                               .string("text")
                               .bytes({1, 2, 3});
    all_kinds.insert(all_kinds.end(), values.data().begin(), values.data().end());
    write_file(folder + "/all_kinds", all_kinds);

    WireBytes nulls{2, 5, 6};
    const Request null_values = Request("values").null().null();
    nulls.insert(nulls.end(), null_values.data().begin(), null_values.data().end());
    write_file(folder + "/nulls", nulls);

    WireBytes policy{0};
    const Request policy_request("<policy-file-request/>");
    policy.insert(policy.end(), policy_request.data().begin(), policy_request.data().end());
    write_file(folder + "/policy", policy);
}

void write_raw_seeds(const std::string& folder) {
    for (const int orientation : {1, 3, 6, 8}) {
        DngDescription dng;
        dng.width = 24 + orientation;
        dng.height = 22 + orientation;
        dng.orientation = orientation;
        dng.scene = [](int x, int y) {
            return SceneColour{(x % 5) / 5.0, (y % 3) / 3.0, ((x + y) % 7) / 7.0};
        };
        write_file(folder + "/orientation_" + std::to_string(orientation) + ".dng", make_dng(dng));
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::cerr << "usage: write_seeds <corpus folder>\n";
        return 2;
    }
    const std::string corpus = argv[1];
    write_codec_seeds(corpus + "/codec");
    write_command_seeds(corpus + "/command");
    write_raw_seeds(corpus + "/raw");
    return 0;
}
