#pragma once

#include <functional>
#include <vector>

/// Linear camera values of one scene point: 0 is the black level, 1 the white level.
/// The synthetic camera's colour space is linear sRGB, so these are also linear sRGB values.
struct SceneColour {
    /// Red.
    double red;
    /// Green.
    double green;
    /// Blue.
    double blue;
};

/// The scene's colour at a stored (unturned) pixel position.
using Scene = std::function<SceneColour(int x, int y)>;

/// What a test chooses about a synthetic camera raw file.
struct DngDescription {
    /// Stored width of the sensor image; the decoder refuses sides below 22.
    int width = 64;
    /// Stored height of the sensor image.
    int height = 48;
    /// TIFF orientation code (1 upright, 3 half turn, 6 needs a clockwise turn, 8 a counter-clockwise one).
    int orientation = 1;
    /// ISO speed written to the EXIF directory.
    int iso = 100;
    /// The picture the sensor saw.
    Scene scene;
    /// Width the tags announce in place of the stored one, as a damaged or hostile file would;
    /// 0 announces the stored width.
    int announced_width = 0;
    /// Height the tags announce in place of the stored one; 0 announces the stored height.
    int announced_height = 0;
    /// Labels the stored mosaic lossless-JPEG compressed: LibRaw finds no JPEG stream in it and
    /// still accepts the file, as a black picture of the announced sides.
    bool labelled_lossless_jpeg = false;
    /// The DefaultScale tag's horizontal and vertical scales: a sensor of pixels that are not square
    /// is stretched by their quotient; {1, 1} writes no tag.
    double default_scale[2] = {1.0, 1.0};
};

/// Black level of every synthetic file, in sensor counts.
constexpr int dng_black_level = 512;
/// White level of every synthetic file, in sensor counts.
constexpr int dng_white_level = 16383;

/// A scene of one colour everywhere.
Scene uniform_scene(SceneColour colour);

/// Builds a complete little-endian DNG in memory: one uncompressed 16-bit RGGB mosaic in IFD 0
/// (unless it is labelled otherwise), an sRGB-primaries colour matrix for D65, the orientation tag
/// and an EXIF directory with the ISO.
std::vector<unsigned char> make_dng(const DngDescription& description);

/// A file of a few kilobytes that announces 5000 x 4000 pixels ten times as tall as wide: it fits a
/// float payload as announced, but not once LibRaw has stretched it to square pixels.
DngDescription overstretched_dng();
