#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <string_view>

#include "core/tree.hpp"

namespace sexp {

// A growable byte buffer that is never zero-filled, so rendering touches each byte once.
class RenderBuffer {
  public:
    RenderBuffer() = default;
    ~RenderBuffer() { release_slots(data_, capacity_); }
    RenderBuffer(const RenderBuffer&) = delete;
    RenderBuffer& operator=(const RenderBuffer&) = delete;

    // Room for `n` more bytes plus a 16-byte overrun for block copies. May throw
    // std::bad_alloc; the contents are kept either way.
    char* ensure(std::size_t n) {
        if (capacity_ - size_ < n + 16)
            grow(n + 16);
        return data_ + size_;
    }
    void commit(char* end) noexcept { size_ = static_cast<std::size_t>(end - data_); }
    std::string_view view() const noexcept { return {data_, size_}; }
    std::size_t size() const noexcept { return size_; }

  private:
    void grow(std::size_t extra);
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Renders into `out` (appending); the buffer is first given room for 8 bytes per live node of
// the whole tree. May throw std::bad_alloc.
void render(const Tree& tree, NodeId node, RenderBuffer& out);

// Appends the canonical text of the subtree under `node` to `out`: lists in parentheses,
// children separated by one space, atoms byte for byte (an atom's own children are not
// written). The root of an implicit-root tree with no children renders as "". The buffer is
// first reserved at 8 bytes per live node of the whole tree. May throw std::bad_alloc.
void render(const Tree& tree, NodeId node, std::string& out);

// True when the two subtrees have the same shape and the same atom bytes; where they stand in
// their trees, their ids and how texts are stored do not matter. May throw std::bad_alloc.
bool subtrees_equal(const Tree& left, NodeId left_node, const Tree& right, NodeId right_node);

} // namespace sexp
