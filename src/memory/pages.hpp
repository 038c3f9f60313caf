#pragma once

#include <cstddef>

namespace sexp {

// Backing store for slot arrays and render buffers: the one place that knows the operating
// system. Large arrays are mapped directly (on POSIX systems marked for huge pages: first-touch
// page faults dominate the cost of building a big tree, and 2 MiB pages take 512 times fewer);
// small ones come from operator new like everything else.

// A block of at least `bytes` writable bytes. Throws std::bad_alloc.
void* allocate_slots(std::size_t bytes);

// Releases a block from allocate_slots, given the same `bytes`.
void release_slots(void* p, std::size_t bytes) noexcept;

// Gives the pages of a block past its first `used` bytes back to the system. Returns how many
// bytes from the start stay writable without reclaim_tail: all `bytes` where given-back pages
// come back on the next touch, else `used` rounded up to whole pages.
std::size_t release_tail(void* p, std::size_t bytes, std::size_t used) noexcept;

// Makes the whole block writable again after release_tail returned `writable`. Throws
// std::bad_alloc, changing nothing, when the system refuses the pages.
void reclaim_tail(void* p, std::size_t bytes, std::size_t writable);

} // namespace sexp
