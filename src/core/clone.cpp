#include "core/clone.hpp"

#include <utility>

#include "core/mutation.hpp"

namespace sexp {

Tree clone_subtree(const Tree& source, NodeId node) {
    const Node& top = source.node(node);
    if (node == source.root)
        return Tree{Slab(source.slab), source.generation, source.root, source.implicit_root,
                    source.in_text_order};
    Tree copy;
    if (top.is_atom()) {
        copy.slab.reserve(1);
        copy.root = copy.slab.insert(Node::make(top.text.copy()));
        copy.in_text_order = true;
        return copy;
    }
    // live_count bounds the subtree's size, so the slot array never grows during the copy.
    copy.slab.reserve(source.slab.live_count());
    copy.root = copy.slab.insert(Node::list());
    // A pre-order walk along the source's links, so no stack is needed. `at` is the next
    // source node to copy and `parent_copy` the copy of its parent; each copy is appended to
    // its new parent, so chains keep their order and ids come out dense. Children of atoms
    // are copied too.
    NodeId at = top.first_child;
    NodeId parent_copy = copy.root;
    bool atom_children = false; // numbered in pre-order, which is text order without them
    while (at != NO_NODE) {
        const Node& s = source.node(at);
        NodeId m = copy.slab.insert(Node::make(s.is_atom() ? s.text.copy() : AtomText::list_marker()));
        link_child(copy.slab, parent_copy, m);
        if (s.first_child != NO_NODE) {
            atom_children = atom_children || s.is_atom();
            parent_copy = m;
            at = s.first_child;
            continue;
        }
        // Climb to the next node in pre-order, the copy's parent climbing along.
        for (;;) {
            const Node& done = source.slab.raw(at);
            if (done.next_sibling != NO_NODE) {
                at = done.next_sibling;
                break;
            }
            at = done.parent;
            if (at == node) {
                at = NO_NODE;
                break;
            }
            parent_copy = copy.slab.raw(parent_copy).parent;
        }
    }
    copy.in_text_order = !atom_children;
    copy.slab.release_unused();
    return copy;
}

} // namespace sexp
