#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <new>
#include <string>
#include <string_view>

#include "core/kept_writer.hpp"
#include "core/text_output.hpp"
#include "core/tree.hpp"
#include "core/walk.hpp"

namespace sexp {


// Writes the text of a subtree, whole or in pieces: each piece goes on where the last one
// stopped. Between pieces the tree may be edited but not shrunk (no node removed): the walk
// then stays inside the tree and ends, though what it writes may or may not show the edits.
class TextWalk {
  public:
    TextWalk(const Tree& tree, NodeId node, Layout layout);
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
    std::optional<KeptWalk> kept_; // when the layout is kept and the tree keeps one
};

// Writes the text of the subtree under `node` to `out`. May throw what out.grow throws.
void render_to(const Tree& tree, NodeId node, TextOutput& out, Layout layout = {});

// Appends the canonical text of the subtree under `node` to `out`: lists in parentheses,
// children separated by one space, atoms byte for byte (an atom's own children are not
// written). The root of an implicit-root tree with no children renders as "". May throw
// std::bad_alloc.
void render(const Tree& tree, NodeId node, std::string& out, Layout layout = {});

// True when the two subtrees have the same shape and the same atom bytes; where they stand in
// their trees, their ids and how texts are stored do not matter. May throw std::bad_alloc.
bool subtrees_equal(const Tree& left, NodeId left_node, const Tree& right, NodeId right_node);

} // namespace sexp
