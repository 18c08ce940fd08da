#pragma once

// Safe use of libjpeg inside the service; internal to the JPEG encoders.
//
// libjpeg reports errors by calling an error handler that must not return; its standard one ends
// the process, which would end the service for every user. Here the handler jumps back into the
// function that made the library call, the owners' destructors release the library's objects and
// buffers, and the caller gets an exception carrying the library's message.
//
// The output goes to a growing byte array of our own rather than the library's memory destination:
// that one frees and replaces its buffer as it grows without telling the caller, so after an error
// the live buffer could be neither found nor freed.

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

#include "imaging/image.hpp"

namespace jpeg_library {

/// A JPEG file, or the array that receives one.
using Bytes = std::vector<unsigned char>;

/// The library's error manager plus what is needed to leave the library on an error.
struct ErrorManager {
    /// The library's part; first, so that the library's pointer to it is a pointer to the whole.
    jpeg_error_mgr library;
    /// Where the function that called the library resumes after an error.
    std::jmp_buf resume;
    /// The library's text for the error.
    char message[JMSG_LENGTH_MAX];
};

/// The standard error manager in errors, set to jump to errors.resume instead of ending the process.
jpeg_error_mgr* jumping_errors(ErrorManager& errors);

/// A destination that collects the file in a byte array of ours, doubled whenever it fills.
struct ByteDestination {
    /// The library's part; first, so that the library's pointer to it is a pointer to the whole.
    jpeg_destination_mgr library;
    /// The array receiving the file, owned by the caller; it may be longer than the file.
    Bytes* bytes;
    /// Bytes of the finished file, known once the library has flushed it.
    std::size_t length;
};

/// Owns one compression object; releases it on every path. The library keeps pointers into this
/// object, so it stays where it was built.
class Compressor {
public:
    /// Zeroed, so that destroying a compression object that was never created does nothing.
    Compressor() : info(), errors(), destination() {}
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    ~Compressor() { jpeg_destroy_compress(&info); }

    /// The library's compression object.
    jpeg_compress_struct info;
    /// The error manager installed in info.
    ErrorManager errors;
    /// The destination installed in info.
    ByteDestination destination;
};

/// Owns one decompression object; releases it on every path.
class Decompressor {
public:
    /// Zeroed, so that destroying a decompression object that was never created does nothing.
    Decompressor() : info(), errors() {}
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
    ~Decompressor() { jpeg_destroy_decompress(&info); }

    /// The library's decompression object.
    jpeg_decompress_struct info;
    /// The error manager installed in info.
    ErrorManager errors;
};

/// Creates the compression object writing into bytes, with the parameters of every file we write
/// for an RGB image of width x height: the library's defaults for RGB input, then quality 100 with
/// baseline tables. Call with the jumping error manager installed and its resume point set.
void create_compressor(Compressor& compressor, Bytes& bytes, int width, int height);

/// Encodes the count rows from row first of the image as a file of their own into bytes; row is
/// room for one interleaved row. False when the library reported an error, whose text is then in
/// compressor.errors.message; the file's length is in compressor.destination.length otherwise.
bool encode_rows(Compressor& compressor, Bytes& bytes, const Image<unsigned char>& image, int first,
                 int count, unsigned char* row);

/// The whole image encoded by one compression object, row after row; throws std::runtime_error
/// with the library's message when the library rejects it.
Bytes write_in_one_piece(const Image<unsigned char>& image);

}  // namespace jpeg_library
