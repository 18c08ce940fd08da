#include "tests/dng_writer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

namespace {

enum TiffType : std::uint16_t {
    tiff_byte = 1,
    tiff_ascii = 2,
    tiff_short = 3,
    tiff_long = 4,
    tiff_rational = 5,
    tiff_srational = 10
};

/// One directory entry; values of more than four bytes are stored after the directories.
struct TiffEntry {
    std::uint16_t tag;
    std::uint16_t type;
    std::uint32_t count;
    std::vector<unsigned char> value;
};

void put16(std::vector<unsigned char>& out, std::uint32_t v) {
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}

void put32(std::vector<unsigned char>& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

TiffEntry shorts(std::uint16_t tag, std::vector<std::uint32_t> values) {
    TiffEntry e{tag, tiff_short, static_cast<std::uint32_t>(values.size()), {}};
    for (std::uint32_t v : values) put16(e.value, v);
    return e;
}

TiffEntry longs(std::uint16_t tag, std::vector<std::uint32_t> values) {
    TiffEntry e{tag, tiff_long, static_cast<std::uint32_t>(values.size()), {}};
    for (std::uint32_t v : values) put32(e.value, v);
    return e;
}

TiffEntry bytes(std::uint16_t tag, std::vector<unsigned char> values) {
    return TiffEntry{tag, tiff_byte, static_cast<std::uint32_t>(values.size()), std::move(values)};
}

TiffEntry ascii(std::uint16_t tag, const std::string& text) {
    TiffEntry e{tag, tiff_ascii, static_cast<std::uint32_t>(text.size() + 1), {}};
    e.value.assign(text.begin(), text.end());
    e.value.push_back(0);
    return e;
}

/// Rationals with the denominator 10000, signed or not.
TiffEntry rationals(std::uint16_t tag, std::uint16_t type, const std::vector<double>& values) {
    TiffEntry e{tag, type, static_cast<std::uint32_t>(values.size()), {}};
    for (double v : values) {
        put32(e.value, static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(v * 10000.0))));
        put32(e.value, 10000);
    }
    return e;
}

std::size_t directory_size(const std::vector<TiffEntry>& entries) { return 2 + 12 * entries.size() + 4; }

std::size_t overflow_size(const std::vector<TiffEntry>& entries) {
    std::size_t size = 0;
    for (const TiffEntry& e : entries)
        if (e.value.size() > 4) size += (e.value.size() + 1) & ~std::size_t{1};
    return size;
}

/// Writes a directory at the end of out, its long values at data_offset onwards (appended to data).
void write_directory(std::vector<unsigned char>& out, std::vector<TiffEntry> entries,
                     std::uint32_t& data_offset, std::vector<unsigned char>& data) {
    std::sort(entries.begin(), entries.end(),
              [](const TiffEntry& a, const TiffEntry& b) { return a.tag < b.tag; });
    put16(out, static_cast<std::uint32_t>(entries.size()));
    for (const TiffEntry& e : entries) {
        put16(out, e.tag);
        put16(out, e.type);
        put32(out, e.count);
        if (e.value.size() <= 4) {
            std::vector<unsigned char> inline_value = e.value;
            inline_value.resize(4, 0);
            out.insert(out.end(), inline_value.begin(), inline_value.end());
        } else {
            put32(out, data_offset);
            data.insert(data.end(), e.value.begin(), e.value.end());
            if (e.value.size() % 2) data.push_back(0);
            data_offset += static_cast<std::uint32_t>((e.value.size() + 1) & ~std::size_t{1});
        }
    }
    put32(out, 0);
}

/// Sensor counts for a scene value, clipped to the sensor's range.
std::uint32_t counts(double value) {
    double v = dng_black_level + value * (dng_white_level - dng_black_level);
    return static_cast<std::uint32_t>(std::lround(std::clamp(v, 0.0, 65535.0)));
}

}  // namespace

Scene uniform_scene(SceneColour colour) {
    return [colour](int, int) { return colour; };
}

DngDescription overstretched_dng() {
    DngDescription d;
    d.scene = uniform_scene({0.2, 0.2, 0.2});
    d.labelled_lossless_jpeg = true;
    d.announced_width = 5000;
    d.announced_height = 4000;
    d.default_scale[1] = 10.0;
    return d;
}

std::vector<unsigned char> make_dng(const DngDescription& d) {
    const std::uint32_t w = static_cast<std::uint32_t>(d.width);
    const std::uint32_t h = static_cast<std::uint32_t>(d.height);

    // XYZ (D65) to linear sRGB: the synthetic camera sees in sRGB primaries.
    const std::vector<double> xyz_to_camera = {3.2406, -1.5372, -0.4986, -0.9689, 1.8758,
                                               0.0415, 0.0557,  -0.2040, 1.0570};

    const std::uint32_t announced_w =
        d.announced_width > 0 ? static_cast<std::uint32_t>(d.announced_width) : w;
    const std::uint32_t announced_h =
        d.announced_height > 0 ? static_cast<std::uint32_t>(d.announced_height) : h;

    std::vector<TiffEntry> raw_ifd = {
        longs(254, {0}),  // the full-resolution image
        longs(256, {announced_w}),
        longs(257, {announced_h}),
        shorts(258, {16}),
        shorts(259, {d.labelled_lossless_jpeg ? 7u : 1u}),  // lossless JPEG, or uncompressed
        shorts(262, {32803}),                               // colour filter array
        ascii(271, "Synthetic"),
        ascii(272, "Test Sensor"),
        longs(273, {0}),  // strip offset, set below
        shorts(274, {static_cast<std::uint32_t>(d.orientation)}),
        shorts(277, {1}),
        longs(278, {h}),
        longs(279, {w * h * 2}),
        shorts(284, {1}),
        shorts(33421, {2, 2}),
        bytes(33422, {0, 1, 1, 2}),  // R G / G B
        longs(34665, {0}),           // EXIF directory offset, set below
        bytes(50706, {1, 4, 0, 0}),
        bytes(50707, {1, 1, 0, 0}),
        ascii(50708, "Synthetic Test Sensor"),
        longs(50714, {dng_black_level}),
        longs(50717, {dng_white_level}),
        rationals(50721, tiff_srational, xyz_to_camera),
        rationals(50728, tiff_rational, {1.0, 1.0, 1.0}),
        shorts(50778, {21}),  // D65
    };
    if (d.default_scale[0] != 1.0 || d.default_scale[1] != 1.0)
        raw_ifd.push_back(rationals(50718, tiff_rational, {d.default_scale[0], d.default_scale[1]}));
    std::vector<TiffEntry> exif_ifd = {shorts(34855, {static_cast<std::uint32_t>(d.iso)})};

    const std::uint32_t exif_offset = static_cast<std::uint32_t>(8 + directory_size(raw_ifd));
    std::uint32_t data_offset = static_cast<std::uint32_t>(exif_offset + directory_size(exif_ifd));
    const std::uint32_t strip_offset =
        static_cast<std::uint32_t>(data_offset + overflow_size(raw_ifd) + overflow_size(exif_ifd));
    for (TiffEntry& e : raw_ifd) {
        if (e.tag == 273) e = longs(273, {strip_offset});
        if (e.tag == 34665) e = longs(34665, {exif_offset});
    }

    std::vector<unsigned char> out = {'I', 'I', 42, 0};
    put32(out, 8);
    std::vector<unsigned char> data;
    write_directory(out, raw_ifd, data_offset, data);
    write_directory(out, exif_ifd, data_offset, data);
    out.insert(out.end(), data.begin(), data.end());

    out.reserve(out.size() + static_cast<std::size_t>(w) * h * 2);
    for (int y = 0; y < d.height; ++y)
        for (int x = 0; x < d.width; ++x) {
            const SceneColour c = d.scene(x, y);
            const bool even_row = y % 2 == 0, even_column = x % 2 == 0;
            const double value = even_row && even_column     ? c.red
                                 : !even_row && !even_column ? c.blue
                                                             : c.green;
            put16(out, counts(value));
        }
    return out;
}
