#include "core/tree.hpp"

namespace sexp {

Tree make_empty_tree() {
    Tree t;
    t.slab.reserve(4);
    t.root = t.slab.insert(Node::list());
    t.in_text_order = true;
    return t;
}

} // namespace sexp
