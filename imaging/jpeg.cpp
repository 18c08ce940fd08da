#include "imaging/imageio.hpp"
#include "imaging/jpeg_strips.hpp"

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <jpeglib.h>

#include "common/huge_pages.hpp"
#include "common/large_buffers.hpp"
#include "imaging/grain_sizes.hpp"
#include "imaging/jpeg_library.hpp"
#include "imaging/parallel.hpp"

// Speed: colour conversion, chroma subsampling, the DCT and quantisation of one row of MCUs depend
// on that row's pixels alone; only the entropy coding runs through the whole image. So a large
// image is cut into strips of whole MCU rows, each strip is encoded as a file of its own on the
// shared workers, its quantised blocks are read back losslessly into arrays for the whole image,
// and the library's transcoder entropy-codes those arrays with the same parameters, starting on
// each strip as soon as it is in. The bytes are those of encoding the image in one piece: a strip
// starts on an MCU row boundary, so its subsampling pairs the same rows, the last strip pads the
// bottom edge exactly as the whole image does, and the dummy blocks at the right and bottom edges
// are rebuilt by the transcoder the way the encoder makes them. What remains is mostly the serial
// entropy coding; see bench/README.md.

namespace {

using jpeg_library::Bytes;
using jpeg_library::Compressor;
using jpeg_library::create_compressor;
using jpeg_library::Decompressor;
using jpeg_library::encode_rows;
using jpeg_library::ErrorManager;
using jpeg_library::jumping_errors;
using jpeg_library::write_in_one_piece;

/// Where one component's quantised blocks lie in the arrays of the whole image.
struct ComponentBlocks {
    /// The component's horizontal and vertical sampling factors.
    int h_samp;
    int v_samp;
    /// Blocks per array row, whole MCUs.
    JDIMENSION width;
    /// Block rows of the array, whole MCUs.
    JDIMENSION rows;
    /// Block rows that one strip contributes (the last strip may contribute fewer).
    JDIMENSION rows_per_strip;
    /// The array's rows, writable.
    JBLOCKARRAY blocks;
};

/// How the image is cut into strips, and the arrays that collect the strips' blocks.
struct StripLayout {
    /// Pixel rows per strip, whole MCU rows.
    int strip_rows = 0;
    /// Number of strips; below 2 the image is encoded in one piece.
    int strips = 0;
    /// Components of the file.
    int components = 0;
    /// Each component's blocks.
    ComponentBlocks component[MAX_COMPONENTS];
    /// The library's handles of the arrays, as the transcoder takes them.
    jvirt_barray_ptr arrays[MAX_COMPONENTS];
};

JDIMENSION divide_rounding_up(long long value, long long divisor) {
    return static_cast<JDIMENSION>((value + divisor - 1) / divisor);
}

JDIMENSION round_up(JDIMENSION value, int multiple) {
    return divide_rounding_up(value, multiple) * static_cast<JDIMENSION>(multiple);
}

// The functions below that call the library return false when it reported an error, whose text is
// then in the owner's error manager. Nothing with a destructor lives in their frames, so jumping
// back into them skips no clean-up.

/// Creates the compressor of the whole file into bytes, cuts the image into strips of at least
/// strip_rows rows and, when there are two strips or more, makes the arrays for the quantised
/// blocks of the whole image in the compressor's memory.
bool prepare_whole(Compressor& whole, Bytes& bytes, const Image<unsigned char>& image, int strip_rows,
                   StripLayout& layout) {
    jpeg_compress_struct& info = whole.info;
    info.err = jumping_errors(whole.errors);
    if (setjmp(whole.errors.resume) != 0) return false;

    create_compressor(whole, bytes, image.width, image.height);
    int max_h = 1;
    int max_v = 1;
    for (int c = 0; c < info.num_components; ++c) {
        max_h = std::max(max_h, info.comp_info[c].h_samp_factor);
        max_v = std::max(max_v, info.comp_info[c].v_samp_factor);
    }
    const int mcu_rows = max_v * DCTSIZE;
    // Strips taller than the image are cut down to it first, where the rounding cannot overflow.
    const int rows = std::min(std::max(strip_rows, 1), std::max(image.height, 1));
    layout.strip_rows = static_cast<int>(round_up(static_cast<JDIMENSION>(rows), mcu_rows));
    // An empty image goes to the one-piece encoder, which reports it as the library does.
    layout.strips = image.width < 1 || image.height < 1
                        ? 0
                        : static_cast<int>(divide_rounding_up(image.height, layout.strip_rows));
    if (layout.strips < 2) return true;

    auto* common = reinterpret_cast<j_common_ptr>(&info);
    layout.components = info.num_components;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& component = info.comp_info[c];
        ComponentBlocks& blocks = layout.component[c];
        blocks.h_samp = component.h_samp_factor;
        blocks.v_samp = component.v_samp_factor;
        const JDIMENSION width =
            divide_rounding_up(static_cast<long long>(image.width) * blocks.h_samp, max_h * DCTSIZE);
        const JDIMENSION height =
            divide_rounding_up(static_cast<long long>(image.height) * blocks.v_samp, max_v * DCTSIZE);
        blocks.width = round_up(width, blocks.h_samp);
        blocks.rows = round_up(height, blocks.v_samp);
        blocks.rows_per_strip = static_cast<JDIMENSION>(layout.strip_rows / mcu_rows * blocks.v_samp);
        // One access to the whole array: the strips then write their rows without calling the
        // library, side by side.
        layout.arrays[c] = (*info.mem->request_virt_barray)(common, JPOOL_IMAGE, FALSE, blocks.width,
                                                            blocks.rows, blocks.rows);
    }
    (*info.mem->realize_virt_arrays)(common);
    for (int c = 0; c < info.num_components; ++c) {
        ComponentBlocks& blocks = layout.component[c];
        blocks.blocks = (*info.mem->access_virt_barray)(common, layout.arrays[c], 0, blocks.rows, TRUE);
        // The library allocates an array this size in one piece; when it has, its fresh pages
        // are faulted in far faster as huge pages.
        const std::size_t row_blocks = blocks.width;
        if (blocks.blocks[blocks.rows - 1] == blocks.blocks[0] + (blocks.rows - 1) * row_blocks)
            advise_huge_pages(blocks.blocks[0], blocks.rows * row_blocks * sizeof(JBLOCK));
    }
    return true;
}

/// Reads the quantised blocks of strip number strip, the length bytes at file, back and copies
/// them into the arrays of the whole image.
bool copy_strip_blocks(Decompressor& reader, const unsigned char* file, std::size_t length,
                       const StripLayout& layout, int strip) {
    jpeg_decompress_struct& info = reader.info;
    info.err = jumping_errors(reader.errors);
    if (setjmp(reader.errors.resume) != 0) return false;

    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, file, static_cast<unsigned long>(length));
    jpeg_read_header(&info, TRUE);
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&info);
    auto* common = reinterpret_cast<j_common_ptr>(&info);
    bool fits = arrays != nullptr && info.num_components == layout.components;
    for (int c = 0; fits && c < layout.components; ++c) {
        const jpeg_component_info& component = info.comp_info[c];
        const ComponentBlocks& blocks = layout.component[c];
        const JDIMENSION first_row = static_cast<JDIMENSION>(strip) * blocks.rows_per_strip;
        const JDIMENSION rows = round_up(component.height_in_blocks, component.v_samp_factor);
        const bool last = strip == layout.strips - 1;
        fits = component.h_samp_factor == blocks.h_samp && component.v_samp_factor == blocks.v_samp &&
               round_up(component.width_in_blocks, component.h_samp_factor) == blocks.width &&
               (last ? first_row + rows == blocks.rows : rows == blocks.rows_per_strip);
        for (JDIMENSION y = 0; fits && y < rows; ++y) {
            JBLOCKARRAY row = (*info.mem->access_virt_barray)(common, arrays[c], y, 1, FALSE);
            std::memcpy(blocks.blocks[first_row + y], row[0], blocks.width * sizeof(JBLOCK));
        }
    }
    if (!fits) {
        std::snprintf(reader.errors.message, sizeof reader.errors.message,
                      "JPEG strip %d does not match the layout of the whole image", strip);
        return false;
    }
    return true;
}

/// Encodes one strip as a file of its own and copies its blocks into the whole image's arrays;
/// throws on a library error.
void encode_strip(const Image<unsigned char>& image, const StripLayout& layout, int strip) {
    const int first = strip * layout.strip_rows;
    const int count = std::min(layout.strip_rows, image.height - first);
    Bytes file;
    std::size_t length = 0;
    {
        std::vector<unsigned char> row(3 * static_cast<std::size_t>(image.width));
        Compressor encoder;
        if (!encode_rows(encoder, file, image, first, count, row.data()))
            throw std::runtime_error(encoder.errors.message);
        length = encoder.destination.length;
    }
    Decompressor reader;
    if (!copy_strip_blocks(reader, file.data(), length, layout, strip))
        throw std::runtime_error(reader.errors.message);
}

/// The strips of one image: which are taken, which are in, and the first failure. Strips are
/// taken in order, by the workers and by the entropy coder when it would otherwise wait, so the
/// coder never waits for a strip that nobody is encoding, even on a single worker.
class StripWork {
public:
    /// No strip taken yet.
    StripWork(const Image<unsigned char>& image, const StripLayout& layout)
        : image(image), layout(layout), done(new std::atomic<bool>[static_cast<std::size_t>(layout.strips)]) {
        for (int strip = 0; strip < layout.strips; ++strip) done[strip].store(false);
    }

    /// Encodes the first strip nobody has taken; false when none is left or the work has stopped.
    /// A failure is recorded, never thrown.
    bool encode_next() {
        if (stopped.load(std::memory_order_acquire)) return false;
        const int strip = next.fetch_add(1);
        if (strip >= layout.strips) return false;
        try {
            encode_strip(image, layout, strip);
            done[strip].store(true, std::memory_order_release);
        } catch (...) {
            fail(std::current_exception());
        }
        return true;
    }

    /// Waits until the strip's blocks are in, encoding untaken strips meanwhile; false when the
    /// work has stopped on a failure.
    bool wait_for(int strip) {
        while (!done[strip].load(std::memory_order_acquire)) {
            if (stopped.load(std::memory_order_acquire)) return false;
            if (!encode_next()) std::this_thread::yield();
        }
        return true;
    }

    /// Records the first failure and stops the work.
    void fail(std::exception_ptr failure) {
        {
            const std::lock_guard<std::mutex> lock(guard);
            if (!error) error = failure;
        }
        stopped.store(true, std::memory_order_release);
    }

    /// Throws the first failure, if any; call once no one works on the strips any more.
    void rethrow_failure() const {
        if (error) std::rethrow_exception(error);
    }

    /// The strips' layout.
    const StripLayout& strips() const { return layout; }

private:
    const Image<unsigned char>& image;
    const StripLayout& layout;
    std::unique_ptr<std::atomic<bool>[]> done;
    std::atomic<int> next{0};
    std::atomic<bool> stopped{false};
    std::mutex guard;
    std::exception_ptr error;
};

/// The library's access to a virtual array, which the entropy coder of the whole file calls for
/// each MCU row of blocks.
using ArrayAccess = JBLOCKARRAY (*)(j_common_ptr, jvirt_barray_ptr, JDIMENSION, JDIMENSION, boolean);

/// What the entropy coder's array access needs to wait for the strips: found through the
/// compression object's client data.
struct WaitingAccess {
    /// The strips being encoded.
    StripWork* work;
    /// The library's own access.
    ArrayAccess library_access;
    /// The whole file's error manager, to leave the library when a strip failed.
    ErrorManager* errors;
};

/// The library's access to the block rows [start_row, start_row + rows), once the strips that
/// hold them are in.
JBLOCKARRAY access_when_encoded(j_common_ptr info, jvirt_barray_ptr array, JDIMENSION start_row,
                                JDIMENSION rows, boolean writable) {
    auto* waiting = static_cast<WaitingAccess*>(info->client_data);
    const StripLayout& layout = waiting->work->strips();
    for (int c = 0; c < layout.components; ++c) {
        if (array != layout.arrays[c] || rows == 0) continue;
        const JDIMENSION per_strip = layout.component[c].rows_per_strip;
        const int last = static_cast<int>(std::min<JDIMENSION>((start_row + rows - 1) / per_strip,
                                                               static_cast<JDIMENSION>(layout.strips - 1)));
        for (int strip = static_cast<int>(start_row / per_strip); strip <= last; ++strip) {
            if (!waiting->work->wait_for(strip)) {
                std::snprintf(waiting->errors->message, sizeof waiting->errors->message,
                              "JPEG strip %d was not encoded", strip);
                std::longjmp(waiting->errors->resume, 1);
            }
        }
    }
    return (*waiting->library_access)(info, array, start_row, rows, writable);
}

/// Entropy-codes the blocks of the whole image into the file, each strip as soon as it is in.
bool finish_whole(Compressor& whole, StripLayout& layout, WaitingAccess& waiting) {
    jpeg_compress_struct& info = whole.info;
    if (setjmp(whole.errors.resume) != 0) return false;
    waiting.library_access = info.mem->access_virt_barray;
    waiting.errors = &whole.errors;
    info.client_data = &waiting;
    info.mem->access_virt_barray = access_when_encoded;
    jpeg_write_coefficients(&info, layout.arrays);
    jpeg_finish_compress(&info);
    return true;
}

/// Pixels per strip: enough that the per-strip set-up is small beside the work, few enough that
/// a 12-megapixel image gives every core several strips to balance.
constexpr long long strip_pixels = 262144;

}  // namespace

std::vector<unsigned char> write_jpeg_in_strips(const Image<unsigned char>& image, int strip_rows) {
    if (image.channels != 3) throw std::invalid_argument("JPEG encoding needs three planes");

    Bytes file;
    Compressor whole;
    StripLayout layout;
    if (!prepare_whole(whole, file, image, strip_rows, layout))
        throw std::runtime_error(whole.errors.message);
    if (layout.strips < 2) return write_in_one_piece(image);

    // Room for a file as large as the pixels, which a photograph's never nears: the file then
    // grows in place, without copies, and its pages are faulted in as huge ones. Only what the
    // file uses is ever touched.
    reserve_in_huge_pages(file, image.size());

    StripWork work(image, layout);
    WaitingAccess waiting{&work, nullptr, nullptr};
    run_side_by_side(
        [&work, &layout] {
            parallel_ranges(layout.strips, heavy_items_per_task, [&work](int begin, int end) {
                for (int strip = begin; strip < end; ++strip) work.encode_next();
            });
        },
        [&work, &whole, &layout, &waiting] {
            if (!finish_whole(whole, layout, waiting))
                work.fail(std::make_exception_ptr(std::runtime_error(whole.errors.message)));
        });
    work.rethrow_failure();
    file.resize(whole.destination.length);
    return file;
}

std::vector<unsigned char> write_jpeg(const Image<unsigned char>& image) {
    const long long width = std::max(image.width, 1);
    return write_jpeg_in_strips(image, static_cast<int>(std::max(1LL, strip_pixels / width)));
}
