#pragma once

#include <cstdint>
#include <memory>

#include "core/layout.hpp"
#include "memory/slab.hpp"

namespace sexp {

// One S-expression tree: every node, reachable or detached, lives in `slab`.
// Invariants: the root's slot is occupied and the root has no parent or siblings; every node
// with a parent lies on that parent's child chain, whose links agree both ways; `child_count`
// equals the chain's length; parent links never loop. `root` never changes.
struct Tree {
    Slab slab;
    // Removal counter: a handle made before the latest removal is stale (unless it names root).
    std::uint64_t generation = 0;
    NodeId root = 0;
    // Set only for a tree parsed from text with no form; the root then renders as "" while it
    // has no children.
    bool implicit_root = false;
    // Set while the slots hold exactly the tree's nodes in text order from slot 0, none vacant,
    // detached or hung under an atom, so that every subtree is a run of slots; searches then
    // scan instead of following links. Parsing and copying make such trees; an edit that could
    // break it clears it, for good.
    bool in_text_order = false;
    // The text the tree was read from and where each node lies in it, for trees read so as to
    // keep it; null otherwise.
    std::unique_ptr<TreeLayout> layout;
    // The syntax the tree was read in, which its text is written for (plain for a tree made
    // from nothing).
    Syntax syntax = Syntax::Plain;

    const Node& node(NodeId id) const noexcept { return slab.get(id); }
    Node& node_mut(NodeId id) noexcept { return slab.get_mut(id); }
    NodeId parent(NodeId id) const noexcept { return node(id).parent; }
    NodeId first_child(NodeId id) const noexcept { return node(id).first_child; }
    NodeId last_child(NodeId id) const noexcept { return node(id).last_child; }
    NodeId next_sibling(NodeId id) const noexcept { return node(id).next_sibling; }
    NodeId prev_sibling(NodeId id) const noexcept { return node(id).prev_sibling; }
};

// Notes that the shape of what lies under `id` changed, for a tree that keeps its layout:
// `id`, if a list, and every list above it can no longer be written as their text. Stops at a
// list so marked already, since the lists above it are.
inline void mark_edited(Tree& tree, NodeId id) noexcept {
    if (!tree.layout)
        return;
    for (NodeId at = id; at != NO_NODE;) {
        Node& n = tree.slab.raw(at);
        if (n.is_list()) {
            if (n.edits() & Node::EDITED_SHAPE)
                return;
            n.mark(Node::EDITED_SHAPE);
        }
        at = n.parent;
    }
}

// Notes that the atom `id` has a new text, for a tree that keeps its layout: the lists above
// it are written as their text with that atom's part of it replaced. Stops at a list marked
// already, since the lists above a marked one are marked too.
void mark_value_edited(Tree& tree, NodeId id);

// A tree holding one empty list, its root at slot 0. May throw std::bad_alloc.
Tree make_empty_tree();

// Stores `node` as a new detached node (see Slab::insert), which ends the text order.
inline NodeId add_detached(Tree& tree, Node node) {
    tree.in_text_order = false;
    return tree.slab.insert(node);
}

// The slot after the subtree under `node` when the tree is in text order.
inline std::size_t subtree_end(const Tree& tree, NodeId node) noexcept {
    for (NodeId at = node; at != NO_NODE; at = tree.slab.raw(at).parent)
        if (tree.slab.raw(at).next_sibling != NO_NODE)
            return tree.slab.raw(at).next_sibling;
    return tree.slab.slot_count();
}

} // namespace sexp
