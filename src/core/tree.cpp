#include "core/tree.hpp"

namespace sexp {

Tree make_empty_tree() {
    Tree t;
    t.slab.reserve(4);
    t.root = t.slab.insert(Node::list());
    return t;
}

} // namespace sexp
