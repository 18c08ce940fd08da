// Feeds arbitrary bytes to the camera raw decoder.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/imageio.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<unsigned char> bytes(data, data + size);
    float log_mean = 0.0f;
    read_raw(bytes, log_mean);
    return 0;
}
