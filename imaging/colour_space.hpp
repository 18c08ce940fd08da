#pragma once

// The sRGB / CIE XYZ (D65) constants of the colour conversions. Each is written in the precision
// its arithmetic uses: a float constant multiplies a double as the float widened, which is not the
// double nearest the decimal, so the float and the double forms are separate values, both fixed.

/// Linear sRGB to CIE XYZ, rows X, Y, Z; the Y row is the luminance. Single precision.
inline constexpr float srgb_to_xyz_f[3][3] = {
    {0.4124f, 0.3576f, 0.1805f},
    {0.2126f, 0.7152f, 0.0722f},
    {0.0193f, 0.1192f, 0.9505f},
};

/// CIE XYZ to linear sRGB, rows red, green, blue. Single precision, for the tone-mapped output.
inline constexpr float xyz_to_srgb_f[3][3] = {
    {3.241f, -1.5374f, -0.4986f},
    {-0.9692f, 1.876f, 0.0416f},
    {0.0556f, -0.204f, 1.057f},
};

/// CIE XYZ to linear sRGB, rows red, green, blue: the decimals in double precision, for the
/// camera raw conversion, which is done in double throughout.
inline constexpr double xyz_to_srgb_d[3][3] = {
    {3.241, -1.5374, -0.4986},
    {-0.9692, 1.876, 0.0416},
    {0.0556, -0.204, 1.057},
};

/// The D65 reference white X, Y, Z, with Y = 1. Single precision.
inline constexpr float reference_white_f[3] = {0.9505f, 1.0f, 1.0891f};
