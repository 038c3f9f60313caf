#pragma once

#include "core/tree.hpp"

namespace sexp {

// A deep, independent copy of the subtree under `node` (an occupied slot of `source`):
// - the root: the whole tree slot for slot (same ids, free stack, generation, implicit_root,
//   detached nodes included);
// - another atom: a one-node tree of its text;
// - another list: a compact copy numbered 0, 1, 2, ... in pre-order, generation 0.
// A layout goes along: the copy's own text, and with `own_text` false the text around the
// top too. May throw std::bad_alloc; the source is never changed.
Tree clone_subtree(const Tree& source, NodeId node, bool own_text = true);

} // namespace sexp
