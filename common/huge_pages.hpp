#pragma once

#include <cstddef>

/// Asks the kernel to back the whole 2 MiB pages inside a large block with huge pages. A hint only:
/// the values are untouched. The first touch of a fresh 48 MB buffer costs about 150 ms in small
/// pages on our machines and about 12 ms in huge ones, and every image request writes hundreds of
/// megabytes of fresh buffers, its received payload among them.
void advise_huge_pages(void* block, std::size_t bytes);
