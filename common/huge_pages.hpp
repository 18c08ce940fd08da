#pragma once

#include <cstddef>

/// Asks the kernel to back the whole 2 MiB pages inside a large block with huge pages. A hint only:
/// the values are untouched. Huge pages make the first touch of a fresh buffer several times
/// cheaper (see bench/README.md), and every image request writes hundreds of megabytes of fresh
/// buffers, its received payload among them.
void advise_huge_pages(void* block, std::size_t bytes);
