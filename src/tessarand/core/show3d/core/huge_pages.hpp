// Large buffers that are written once from start to end. Fresh memory costs
// one page fault per 4 KB page on first write; asking the kernel for huge
// pages over the buffer makes that one fault per 2 MB. Advice only: where the
// kernel has none to give, or does not know the call, nothing changes.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace show3d {

// Below this, the faults saved do not pay for the call. Above the second,
// fresh huge pages were seen to stall for seconds on a virtual machine whose
// memory its host fills lazily, while small pages did not.
constexpr size_t huge_pages_from_bytes = size_t(4) << 20, huge_pages_to_bytes = size_t(128) << 20;

inline void prefer_huge_pages(void *data, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes < huge_pages_from_bytes || bytes > huge_pages_to_bytes) return;
    constexpr uintptr_t huge = uintptr_t(2) << 20;
    uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + huge - 1) & ~(huge - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(huge - 1);
    if (end > begin) madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

} // namespace show3d
