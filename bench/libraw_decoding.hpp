#pragma once

#include <vector>

/// Runs only LibRaw's part of decoding a camera raw file (open, unpack, processing) with the
/// settings that read_raw makes, and none of the service's own conversion: what is left of a
/// "read_raw" request beside this is the service's own work. False when LibRaw rejects the file.
bool decode_with_libraw(std::vector<unsigned char>& file);
