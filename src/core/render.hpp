#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "core/tree.hpp"
#include "core/walk.hpp"

namespace sexp {

// Where rendered text goes: the writable window [cur, end), refilled by grow(). `high`
// collects the OR of every text byte written, so that one ASCII test of it tells whether the
// text is pure ASCII.
class TextOutput {
  public:
    char* cur = nullptr;
    char* end = nullptr;
    std::uint64_t high = 0;

    bool is_ascii() const noexcept { return ascii_word(high); }
    // Makes room for at least `need` more bytes after `cur`, plus 16 for block copies,
    // keeping what was written. May throw std::bad_alloc, keeping it too.
    virtual void grow(std::size_t need) = 0;
    // What was written since the output was last emptied.
    virtual std::string_view written() const noexcept = 0;

  protected:
    TextOutput() = default;
    ~TextOutput() = default;
};

// How text is laid out. Canonical: one line, children separated by one space. Broken: a list
// that holds a list puts its opening parenthesis and leading atoms on one line, then each
// child from its first list child on on a line of its own, `indent` once more per level; a
// list that holds no list stays on one line. Kept: a tree that keeps the layout of the text it
// was read from is written as that layout has it (see KeptWalk); others canonically.
struct Layout {
    bool broken = false;
    std::string_view indent;
    bool kept = false;
};

class KeptWalk;

class RenderBuffer;

// Writes the text of a subtree, whole or in pieces: each piece goes on where the last one
// stopped. Between pieces the tree may be edited but not shrunk (no node removed): the walk
// then stays inside the tree and ends, though what it writes may or may not show the edits.
class TextWalk {
  public:
    TextWalk(const Tree& tree, NodeId node, Layout layout);
    ~TextWalk();
    TextWalk(TextWalk&&) noexcept;
    TextWalk& operator=(TextWalk&&) noexcept;
    // Writes the rest of the text. True once the whole text is written. May throw what
    // out.grow throws; the walk is then unusable.
    bool write(const Tree& tree, TextOutput& out);
    // Writes on until `out` holds at least `budget` bytes or the text is complete.
    bool write(const Tree& tree, RenderBuffer& out, std::size_t budget);

  private:
    template <typename Walker> bool run(Walker walker) { return walker.run(cursor_, broke_); }

    Cursor cursor_;      // at the next node to write; what goes before it is written
    bool broke_ = false; // the last atom written began a line of its own
    bool done_ = false;
    Layout layout_;
    std::string pad_; // the layout's indent, repeated for the deepest line so far
    std::unique_ptr<KeptWalk> kept_;
};

// Writes the text of the subtree under `node` to `out`. May throw what out.grow throws.
void render_to(const Tree& tree, NodeId node, TextOutput& out, Layout layout = {});

// A growable byte buffer that is never zero-filled, so rendering touches each byte once.
class RenderBuffer final : public TextOutput {
  public:
    RenderBuffer() = default;
    ~RenderBuffer() { release_slots(data_, capacity_); }
    RenderBuffer(const RenderBuffer&) = delete;
    RenderBuffer& operator=(const RenderBuffer&) = delete;

    void grow(std::size_t need) override;
    std::string_view view() const noexcept { return {data_, size()}; }
    std::string_view written() const noexcept override { return view(); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(cur - data_); }
    // Forgets what was written, keeping the storage.
    void clear() noexcept {
        cur = data_;
        high = 0;
    }

  private:
    char* data_ = nullptr;
    std::size_t capacity_ = 0;
};

// Appends the canonical text of the subtree under `node` to `out`: lists in parentheses,
// children separated by one space, atoms byte for byte (an atom's own children are not
// written). The root of an implicit-root tree with no children renders as "". May throw
// std::bad_alloc.
void render(const Tree& tree, NodeId node, std::string& out, Layout layout = {});

// True when the two subtrees have the same shape and the same atom bytes; where they stand in
// their trees, their ids and how texts are stored do not matter. May throw std::bad_alloc.
bool subtrees_equal(const Tree& left, NodeId left_node, const Tree& right, NodeId right_node);

} // namespace sexp
