#pragma once

#include <cstddef>
#include <memory>

#include "common/huge_pages.hpp"

/// A buffer of count values left unset, backed by huge pages where it is large enough to benefit.
template <typename T>
std::unique_ptr<T[]> allocate_pixels(std::size_t count) {
    std::unique_ptr<T[]> buffer(new T[count]);
    advise_huge_pages(buffer.get(), count * sizeof(T));
    return buffer;
}
