#pragma once

#include <vector>

#include "imaging/image.hpp"

/// The bytes write_jpeg gives for the image, encoded in horizontal strips of at least strip_rows
/// rows side by side on the shared workers (strip_rows is rounded up to whole rows of blocks); an
/// image that fits in one strip is encoded in one piece. write_jpeg picks the strip height itself;
/// this lets the strip boundaries be placed anywhere.
std::vector<unsigned char> write_jpeg_in_strips(const Image<unsigned char>& image, int strip_rows);
