#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "core/tree.hpp"

namespace sexp {

// Where rendered text goes: the writable window [cur, end), refilled by grow(). `high`
// collects the OR of every text byte written, so bit 7 of any of its bytes set means the
// text is not pure ASCII.
class TextOutput {
  public:
    char* cur = nullptr;
    char* end = nullptr;
    std::uint64_t high = 0;

    bool is_ascii() const noexcept { return (high & 0x8080808080808080ull) == 0; }
    // Makes room for at least `need` more bytes after `cur`, plus 16 for block copies,
    // keeping what was written. May throw std::bad_alloc, keeping it too.
    virtual void grow(std::size_t need) = 0;

  protected:
    TextOutput() = default;
    ~TextOutput() = default;
};

// Writes the text of the subtree under `node` to `out`. May throw what out.grow throws.
void render_to(const Tree& tree, NodeId node, TextOutput& out);

// A growable byte buffer that is never zero-filled, so rendering touches each byte once.
class RenderBuffer final : public TextOutput {
  public:
    RenderBuffer() = default;
    ~RenderBuffer() { release_slots(data_, capacity_); }
    RenderBuffer(const RenderBuffer&) = delete;
    RenderBuffer& operator=(const RenderBuffer&) = delete;

    void grow(std::size_t need) override;
    std::string_view view() const noexcept {
        return {data_, static_cast<std::size_t>(cur - data_)};
    }

  private:
    char* data_ = nullptr;
    std::size_t capacity_ = 0;
};

// Appends the canonical text of the subtree under `node` to `out`: lists in parentheses,
// children separated by one space, atoms byte for byte (an atom's own children are not
// written). The root of an implicit-root tree with no children renders as "". May throw
// std::bad_alloc.
void render(const Tree& tree, NodeId node, std::string& out);

// True when the two subtrees have the same shape and the same atom bytes; where they stand in
// their trees, their ids and how texts are stored do not matter. May throw std::bad_alloc.
bool subtrees_equal(const Tree& left, NodeId left_node, const Tree& right, NodeId right_node);

} // namespace sexp
