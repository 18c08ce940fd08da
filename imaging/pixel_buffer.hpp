#pragma once

#include <cstddef>
#include <memory>

/// Asks the kernel to back the whole 2 MiB pages inside a large block with huge pages. A hint only:
/// the values are untouched. The first touch of a fresh 48 MB image costs about 150 ms in small pages
/// on our machines and about 12 ms in huge ones, and every request writes gigabytes of fresh buffers.
void advise_huge_pages(void* block, std::size_t bytes);

/// A buffer of count values left unset, backed by huge pages where it is large enough to benefit.
template <typename T>
std::unique_ptr<T[]> allocate_pixels(std::size_t count) {
    std::unique_ptr<T[]> buffer(new T[count]);
    advise_huge_pages(buffer.get(), count * sizeof(T));
    return buffer;
}
