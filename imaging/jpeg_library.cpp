#include "imaging/jpeg_library.hpp"

#include <algorithm>
#include <exception>
#include <limits>
#include <stdexcept>

#include <jerror.h>

namespace jpeg_library {

namespace {

[[noreturn]] void leave_library(j_common_ptr info) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    // Keep the library's own diagnostic on standard error as well as in the exception.
    (*info->err->output_message)(info);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->resume, 1);
}

/// Smallest size of the output array; doubling from here costs few reallocations for any image.
constexpr std::size_t initial_capacity = 65536;

/// Resizes the array; false when that fails. No exception may travel through the library.
bool resize_bytes(Bytes& bytes, std::size_t count) {
    try {
        bytes.resize(count);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void start_bytes(j_compress_ptr info) {
    auto* destination = reinterpret_cast<ByteDestination*>(info->dest);
    Bytes& bytes = *destination->bytes;
    // A caller that knows about how long the file will be has sized the array already.
    if (bytes.size() < initial_capacity && !resize_bytes(bytes, initial_capacity))
        ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
    destination->library.next_output_byte = bytes.data();
    destination->library.free_in_buffer = bytes.size();
}

boolean grow_bytes(j_compress_ptr info) {
    auto* destination = reinterpret_cast<ByteDestination*>(info->dest);
    Bytes& bytes = *destination->bytes;
    const std::size_t used = bytes.size();
    if (used > std::numeric_limits<std::size_t>::max() / 2) ERREXIT1(info, JERR_OUT_OF_MEMORY, 1);
    // Inside room reserved beforehand the array grows without being moved.
    const std::size_t grown = used < bytes.capacity() ? std::min(2 * used, bytes.capacity()) : 2 * used;
    if (!resize_bytes(bytes, grown)) ERREXIT1(info, JERR_OUT_OF_MEMORY, 1);
    destination->library.next_output_byte = bytes.data() + used;
    destination->library.free_in_buffer = bytes.size() - used;
    return TRUE;
}

void finish_bytes(j_compress_ptr info) {
    auto* destination = reinterpret_cast<ByteDestination*>(info->dest);
    destination->length = destination->bytes->size() - destination->library.free_in_buffer;
}

/// Writes row y of the three planes as red, green, blue per pixel.
void interleave_row(const Image<unsigned char>& image, int y, unsigned char* row) {
    const std::size_t offset = static_cast<std::size_t>(y) * image.width;
    const unsigned char* red = image.plane_data(0) + offset;
    const unsigned char* green = image.plane_data(1) + offset;
    const unsigned char* blue = image.plane_data(2) + offset;
    for (int x = 0; x < image.width; ++x) {
        row[3 * x] = red[x];
        row[3 * x + 1] = green[x];
        row[3 * x + 2] = blue[x];
    }
}

}  // namespace

jpeg_error_mgr* jumping_errors(ErrorManager& errors) {
    jpeg_error_mgr* library = jpeg_std_error(&errors.library);
    library->error_exit = leave_library;
    return library;
}

void create_compressor(Compressor& compressor, Bytes& bytes, int width, int height) {
    jpeg_compress_struct& info = compressor.info;
    jpeg_create_compress(&info);
    compressor.destination.library.init_destination = start_bytes;
    compressor.destination.library.empty_output_buffer = grow_bytes;
    compressor.destination.library.term_destination = finish_bytes;
    compressor.destination.bytes = &bytes;
    info.dest = &compressor.destination.library;

    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    // After the colour space, so that every other parameter is the default for RGB input.
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 100, TRUE);
}

// Nothing with a destructor lives in the frame below that calls the library, so jumping back into
// it skips no clean-up.
bool encode_rows(Compressor& compressor, Bytes& bytes, const Image<unsigned char>& image, int first,
                 int count, unsigned char* row) {
    jpeg_compress_struct& info = compressor.info;
    info.err = jumping_errors(compressor.errors);
    if (setjmp(compressor.errors.resume) != 0) return false;

    create_compressor(compressor, bytes, image.width, count);
    jpeg_start_compress(&info, TRUE);
    // The library copies each row before the call returns, so one row of room serves them all.
    for (int y = first; y < first + count; ++y) {
        interleave_row(image, y, row);
        JSAMPROW rows = row;
        // Our destination never suspends, so every row is taken or the library has jumped out.
        if (jpeg_write_scanlines(&info, &rows, 1) != 1) {
            std::snprintf(compressor.errors.message, sizeof compressor.errors.message,
                          "JPEG encoder did not accept row %d", y);
            return false;
        }
    }
    jpeg_finish_compress(&info);
    return true;
}

Bytes write_in_one_piece(const Image<unsigned char>& image) {
    Bytes file;
    std::vector<unsigned char> row(3 * static_cast<std::size_t>(std::max(image.width, 0)));
    Compressor encoder;
    if (!encode_rows(encoder, file, image, 0, image.height, row.data()))
        throw std::runtime_error(encoder.errors.message);
    file.resize(encoder.destination.length);
    return file;
}

}  // namespace jpeg_library
