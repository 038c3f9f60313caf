#pragma once

#include <span>

#include "core/tree.hpp"

namespace sexp {

// Structural edits. None checks its caller's intent: P, A and K are occupied nodes, K is not
// the root and not P or an ancestor of P, A is a child of P other than K. Attaching a node that
// is already attached moves it.

// Makes a fresh, unattached `child` the last child of `parent` (no detaching step).
inline void link_child(Slab& slab, NodeId parent, NodeId child) noexcept {
    Node& p = slab.raw(parent);
    Node& c = slab.raw(child);
    c.parent = parent;
    if (p.last_child != NO_NODE) {
        slab.raw(p.last_child).next_sibling = child;
        c.prev_sibling = p.last_child;
    } else {
        p.first_child = child;
    }
    p.last_child = child;
    ++p.child_count;
}

void append(Tree& tree, NodeId parent, NodeId child) noexcept;
void prepend(Tree& tree, NodeId parent, NodeId child) noexcept;
// With after == NO_NODE, the same as prepend.
void insert_after(Tree& tree, NodeId parent, NodeId after, NodeId child) noexcept;

// Takes `node` out of its parent's chain; its own children stay with it.
void unlink(Tree& tree, NodeId node) noexcept;

// Unlinks `node` and frees it and its whole subtree in pre-order onto the free stack, so the
// next insert reuses the slot of the subtree's last node. Throws std::bad_alloc only before
// anything has changed.
void remove(Tree& tree, NodeId node);

// Removes each of `nodes` as `remove` does, in their order; a node already freed with one
// listed before it (a descendant, or the same node again) is passed over. None is the root.
// Throws std::bad_alloc only before anything has changed.
void remove_all(Tree& tree, std::span<const NodeId> nodes);

// True when `node` is `target` or one of target's ancestors: attaching `node` under `target`
// would make a cycle.
bool is_self_or_ancestor(const Tree& tree, NodeId node, NodeId target) noexcept;

} // namespace sexp
