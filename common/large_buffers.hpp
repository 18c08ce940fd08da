#pragma once

#include <cstddef>
#include <memory>

#include "common/huge_pages.hpp"

// Every large buffer of ours is advised huge pages here, when it is made and before anything
// touches it, so that its pages are faulted in as huge ones from the first write.

/// A buffer of count values left unset, backed by huge pages where it is large enough to benefit.
template <typename T>
std::unique_ptr<T[]> allocate_pixels(std::size_t count) {
    std::unique_ptr<T[]> buffer(new T[count]);
    advise_huge_pages(buffer.get(), count * sizeof(T));
    return buffer;
}

/// Reserves room for capacity elements in a contiguous container (a vector or a string) and
/// advises the whole reserved storage huge pages; only the pages its elements then fill are touched.
template <typename Container>
void reserve_in_huge_pages(Container& container, std::size_t capacity) {
    container.reserve(capacity);
    advise_huge_pages(container.data(), container.capacity() * sizeof(typename Container::value_type));
}
