#include "common/huge_pages.hpp"

#include <cstdint>

#include <sys/mman.h>

namespace {

constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;

}  // namespace

void advise_huge_pages(void* block, std::size_t bytes) {
    if (bytes < 2 * huge_page) return;
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + huge_page - 1) & ~(huge_page - 1);
    const std::uintptr_t last = (start + bytes) & ~(huge_page - 1);
    // A kernel without transparent huge pages refuses the advice; the buffer then works as it is.
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}
