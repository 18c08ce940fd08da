#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include <jpeglib.h>

/// A JPEG file decoded to RGB: interleaved samples, row by row.
struct DecodedJpeg {
    /// Pixels per row.
    int width = 0;
    /// Rows.
    int height = 0;
    /// Red, green, blue per pixel, width x height x 3 bytes.
    std::vector<unsigned char> rgb;
};

namespace jpeg_decoder_detail {

/// The library's error manager and the place to jump back to instead of ending the process.
struct Errors {
    jpeg_error_mgr library;
    std::jmp_buf resume;
};

[[noreturn]] inline void leave(j_common_ptr info) {
    std::longjmp(reinterpret_cast<Errors*>(info->err)->resume, 1);
}

/// Owns the decompression object so that it is destroyed on every path.
struct Decompressor {
    jpeg_decompress_struct info{};
    Errors errors{};
    ~Decompressor() { jpeg_destroy_decompress(&info); }
};

inline bool decode_into(Decompressor& d, const std::vector<unsigned char>& file, DecodedJpeg& out) {
    d.info.err = jpeg_std_error(&d.errors.library);
    d.errors.library.error_exit = leave;
    if (setjmp(d.errors.resume) != 0) return false;
    jpeg_create_decompress(&d.info);
    jpeg_mem_src(&d.info, file.data(), static_cast<unsigned long>(file.size()));
    if (jpeg_read_header(&d.info, TRUE) != JPEG_HEADER_OK) return false;
    d.info.out_color_space = JCS_RGB;
    if (!jpeg_start_decompress(&d.info)) return false;
    out.width = static_cast<int>(d.info.output_width);
    out.height = static_cast<int>(d.info.output_height);
    const std::size_t row_bytes = static_cast<std::size_t>(out.width) * 3;
    out.rgb.resize(row_bytes * out.height);
    while (d.info.output_scanline < d.info.output_height) {
        JSAMPROW row = out.rgb.data() + d.info.output_scanline * row_bytes;
        if (jpeg_read_scanlines(&d.info, &row, 1) != 1) return false;
    }
    return jpeg_finish_decompress(&d.info) != 0;
}

}  // namespace jpeg_decoder_detail

/// Decodes a whole JPEG file held in memory; throws std::runtime_error when the library rejects it.
inline DecodedJpeg decode_jpeg(const std::vector<unsigned char>& file) {
    jpeg_decoder_detail::Decompressor decompressor;
    DecodedJpeg out;
    if (!jpeg_decoder_detail::decode_into(decompressor, file, out))
        throw std::runtime_error("JPEG file does not decode");
    return out;
}
