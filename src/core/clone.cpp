#include "core/clone.hpp"

#include <utility>
#include <vector>

#include "core/mutation.hpp"
#include "core/walk.hpp"

namespace sexp {

Tree clone_subtree(const Tree& source, NodeId node, bool own_text) {
    const Node& top = source.node(node);
    if (node == source.root) {
        Tree copy{Slab(source.slab), source.generation, source.root, source.implicit_root,
                  source.in_text_order, nullptr, source.syntax};
        if (source.layout)
            copy.layout = std::make_unique<TreeLayout>(*source.layout); // the text is shared
        return copy;
    }
    Tree copy;
    copy.syntax = source.syntax;
    // Each copy's source, by the copy's id, for the layout (which copies are numbered from 0).
    std::vector<std::pair<NodeId, NodeId>> pairs;
    auto note = [&](NodeId from, NodeId made) {
        if (source.layout)
            pairs.emplace_back(from, made);
    };
    if (top.is_atom()) {
        copy.slab.reserve(1);
        copy.root = copy.slab.insert(Node::make(top.text.copy()));
        copy.in_text_order = true;
        note(node, copy.root);
        copy_layout(source, pairs, copy, own_text);
        return copy;
    }
    // live_count bounds the subtree's size, so the slot array never grows during the copy.
    copy.slab.reserve(source.slab.live_count());
    copy.root = copy.slab.insert(Node::list());
    note(node, copy.root);
    // A pre-order walk over the source, every child included (an atom's too), with
    // `parent_copy` the copy of the parent of the cursor's node: each copy is appended to its
    // new parent, so chains keep their order and ids come out dense.
    Cursor c(node);
    NodeId parent_copy = copy.root;
    bool atom_children = false; // numbered in pre-order, which is text order without them
    for (bool more = c.step(source.slab, true); more;) {
        const Node& s = source.node(c.at);
        NodeId m =
            copy.slab.insert(Node::make(s.is_atom() ? s.text.copy() : AtomText::list_marker()));
        link_child(copy.slab, parent_copy, m);
        note(c.at, m);
        if (s.first_child != NO_NODE) {
            atom_children = atom_children || s.is_atom();
            parent_copy = m;
            c.down(s.first_child);
            continue;
        }
        more = c.next(source.slab,
                      [&](NodeId) { parent_copy = copy.slab.raw(parent_copy).parent; });
    }
    copy.in_text_order = !atom_children;
    copy.slab.release_unused();
    copy_layout(source, pairs, copy, own_text);
    return copy;
}

} // namespace sexp
