#include "imaging/imageio.hpp"

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include <jpeglib.h>
#include <jerror.h>

// libjpeg reports errors by calling an error handler that must not return; its standard one ends
// the process, which would end the service for every user. Here the handler jumps back into
// encode(), the owner's destructor releases the compression object and the output buffer, and the
// caller gets an exception carrying the library's message.
//
// The output goes to a growing buffer of our own rather than the library's memory destination:
// that one frees and replaces its buffer as it grows without telling the caller, so after an error
// the live buffer could be neither found nor freed.

namespace {

/// The library's error manager plus what is needed to leave the encoder on an error.
struct ErrorManager {
    /// The library's part; first, so that the library's pointer to it is a pointer to the whole.
    jpeg_error_mgr library;
    /// Where encode() resumes after an error.
    std::jmp_buf resume;
    /// The library's text for the error.
    char message[JMSG_LENGTH_MAX];
};

/// A destination that collects the file in one buffer, doubled whenever it fills.
struct BufferDestination {
    /// The library's part; first, so that the library's pointer to it is a pointer to the whole.
    jpeg_destination_mgr library;
    /// The collected bytes, from malloc; released by the owning encoder.
    unsigned char* buffer;
    /// Bytes allocated at buffer.
    std::size_t capacity;
    /// Bytes of the finished file, known once the library has flushed it.
    std::size_t length;
};

/// First size of the output buffer; doubling from here costs few reallocations for any image.
constexpr std::size_t initial_capacity = 65536;

[[noreturn]] void leave_encoder(j_common_ptr info) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    // Keep the library's own diagnostic on standard error as well as in the exception.
    (*info->err->output_message)(info);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->resume, 1);
}

void start_buffer(j_compress_ptr info) {
    auto* destination = reinterpret_cast<BufferDestination*>(info->dest);
    destination->buffer = static_cast<unsigned char*>(std::malloc(initial_capacity));
    if (destination->buffer == nullptr) ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
    destination->capacity = initial_capacity;
    destination->library.next_output_byte = destination->buffer;
    destination->library.free_in_buffer = destination->capacity;
}

boolean grow_buffer(j_compress_ptr info) {
    auto* destination = reinterpret_cast<BufferDestination*>(info->dest);
    const std::size_t used = destination->capacity;
    if (used > std::numeric_limits<std::size_t>::max() / 2) ERREXIT1(info, JERR_OUT_OF_MEMORY, 1);
    // On failure realloc leaves the old buffer in place, so the owner still releases it.
    auto* grown = static_cast<unsigned char*>(std::realloc(destination->buffer, 2 * used));
    if (grown == nullptr) ERREXIT1(info, JERR_OUT_OF_MEMORY, 1);
    destination->buffer = grown;
    destination->capacity = 2 * used;
    destination->library.next_output_byte = grown + used;
    destination->library.free_in_buffer = destination->capacity - used;
    return TRUE;
}

void finish_buffer(j_compress_ptr info) {
    auto* destination = reinterpret_cast<BufferDestination*>(info->dest);
    destination->length = destination->capacity - destination->library.free_in_buffer;
}

/// Owns everything the library holds during one encoding; releases it on every path. The library
/// keeps pointers into this object, so it stays where it was built.
class JpegEncoder {
public:
    /// Zeroed, so that destroying a compression object that was never created does nothing.
    JpegEncoder() : info(), errors(), destination() {}
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;
    ~JpegEncoder() {
        jpeg_destroy_compress(&info);
        std::free(destination.buffer);
    }

    /// The library's compression object.
    jpeg_compress_struct info;
    /// The error manager installed in info.
    ErrorManager errors;
    /// The destination installed in info.
    BufferDestination destination;
};

/// Runs the whole compression of interleaved RGB rows; false when the library reported an error,
/// whose text is then in the encoder's error manager. Nothing with a destructor lives in this
/// frame, so jumping back into it skips no clean-up.
bool encode(JpegEncoder& encoder, unsigned char* rgb, int width, int height) {
    jpeg_compress_struct& info = encoder.info;
    info.err = jpeg_std_error(&encoder.errors.library);
    encoder.errors.library.error_exit = leave_encoder;
    if (setjmp(encoder.errors.resume) != 0) return false;

    jpeg_create_compress(&info);
    encoder.destination.library.init_destination = start_buffer;
    encoder.destination.library.empty_output_buffer = grow_buffer;
    encoder.destination.library.term_destination = finish_buffer;
    info.dest = &encoder.destination.library;

    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    // After the colour space, so that every other parameter is the default for RGB input.
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 100, TRUE);
    jpeg_start_compress(&info, TRUE);

    const std::size_t row_bytes = 3 * static_cast<std::size_t>(width);
    for (int y = 0; y < height; ++y) {
        JSAMPROW row = rgb + static_cast<std::size_t>(y) * row_bytes;
        // Our destination never suspends, so every row is taken or the library has jumped out.
        if (jpeg_write_scanlines(&info, &row, 1) != 1) {
            std::snprintf(encoder.errors.message, sizeof encoder.errors.message,
                          "JPEG encoder did not accept row %d", y);
            return false;
        }
    }
    jpeg_finish_compress(&info);
    return true;
}

}  // namespace

std::vector<unsigned char> write_jpeg(const Image<unsigned char>& image) {
    if (image.channels != 3) throw std::invalid_argument("JPEG encoding needs three planes");

    const std::size_t pixels = image.size() / 3;
    std::vector<unsigned char> rgb(image.size());
    const unsigned char* red = image.plane_data(0);
    const unsigned char* green = image.plane_data(1);
    const unsigned char* blue = image.plane_data(2);
    for (std::size_t i = 0; i < pixels; ++i) {
        rgb[3 * i] = red[i];
        rgb[3 * i + 1] = green[i];
        rgb[3 * i + 2] = blue[i];
    }

    JpegEncoder encoder;
    if (!encode(encoder, rgb.data(), image.width, image.height))
        throw std::runtime_error(encoder.errors.message);
    const unsigned char* file = encoder.destination.buffer;
    return std::vector<unsigned char>(file, file + encoder.destination.length);
}
