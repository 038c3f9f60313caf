#pragma once

#include <cstddef>
#include <utility>

namespace sexp {

// Backing store for slot arrays and render buffers: the one place that knows the operating
// system. Large arrays are mapped directly (on POSIX systems marked for huge pages: first-touch
// page faults dominate the cost of building a big tree, and 2 MiB pages take 512 times fewer);
// small ones come from operator new like everything else.

// A block of at least `bytes` writable bytes. Throws std::bad_alloc.
void* allocate_slots(std::size_t bytes);

// Releases a block from allocate_slots, given the same `bytes`.
void release_slots(void* p, std::size_t bytes) noexcept;

// The tail of one block after its unused pages were given back. Where given-back pages come
// back on the next touch (POSIX) nothing needs tracking; where they fault when touched
// (Windows), writes past the still-committed part must reclaim them first. A move carries the
// state along with the storage and leaves the source as fresh storage.
class BlockTail {
  public:
    BlockTail() noexcept = default;
    BlockTail(BlockTail&& other) noexcept : writable_(std::exchange(other.writable_, ALL)) {}
    BlockTail& operator=(BlockTail&& other) noexcept {
        writable_ = std::exchange(other.writable_, ALL);
        return *this;
    }

    // Gives the pages of block `p` (`bytes` long, from allocate_slots) past its first `used`
    // bytes back to the system.
    void release(void* p, std::size_t bytes, std::size_t used) noexcept;
    // Before a write that ends at byte `end` of the block: takes given-back pages there back.
    // Throws std::bad_alloc, changing nothing, when the system refuses them.
    void prepare(void* p, std::size_t bytes, std::size_t end) {
        if (end > writable_) [[unlikely]]
            reclaim(p, bytes);
    }
    // Whether a write that ends at byte `end` of the block needs no prepare.
    bool writable(std::size_t end) const noexcept { return end <= writable_; }
    // The block was replaced by fresh storage.
    void reset() noexcept { writable_ = ALL; }

  private:
    static constexpr std::size_t ALL = std::size_t(-1);
    void reclaim(void* p, std::size_t bytes);

    // Bytes from the start of the block that can be written as they are.
    std::size_t writable_ = ALL;
};

} // namespace sexp
