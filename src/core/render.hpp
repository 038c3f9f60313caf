#pragma once

#include <string>

#include "core/tree.hpp"

namespace sexp {

// Appends the canonical text of the subtree under `node` to `out`: lists in parentheses,
// children separated by one space, atoms byte for byte (an atom's own children are not
// written). The root of an implicit-root tree with no children renders as "". The buffer is
// first reserved at 8 bytes per live node of the whole tree. May throw std::bad_alloc.
void render(const Tree& tree, NodeId node, std::string& out);

// True when the two subtrees have the same shape and the same atom bytes; where they stand in
// their trees, their ids and how texts are stored do not matter. May throw std::bad_alloc.
bool subtrees_equal(const Tree& left, NodeId left_node, const Tree& right, NodeId right_node);

} // namespace sexp
