#pragma once

#include <cstdint>

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

    const Node& node(NodeId id) const noexcept { return slab.get(id); }
    Node& node_mut(NodeId id) noexcept { return slab.get_mut(id); }
    NodeId parent(NodeId id) const noexcept { return node(id).parent; }
    NodeId first_child(NodeId id) const noexcept { return node(id).first_child; }
    NodeId last_child(NodeId id) const noexcept { return node(id).last_child; }
    NodeId next_sibling(NodeId id) const noexcept { return node(id).next_sibling; }
    NodeId prev_sibling(NodeId id) const noexcept { return node(id).prev_sibling; }
};

// A tree holding one empty list, its root at slot 0. May throw std::bad_alloc.
Tree make_empty_tree();

} // namespace sexp
