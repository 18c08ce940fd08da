#include "app/streamed_payload.hpp"

#include <cstddef>

bool send_as_converted(tcp::socket& socket, const ConversionProgress::Picture& picture,
                       ConversionProgress& progress) {
    const std::size_t row_bytes = static_cast<std::size_t>(picture.width) * sizeof(float);
    const std::size_t plane_bytes = row_bytes * picture.height;
    const auto* const bytes = reinterpret_cast<const unsigned char*>(picture.values);
    ByteArrayPieces payload(socket, 3 * plane_bytes);
    int sent = 0;
    while (sent < picture.height) {
        const int final_rows = progress.wait_for_rows(sent + 1);
        if (final_rows <= sent) return false;
        payload.write(bytes + sent * row_bytes, (final_rows - sent) * row_bytes);
        sent = final_rows;
    }
    payload.write(bytes + plane_bytes, 2 * plane_bytes);
    return payload.left() == 0;
}
