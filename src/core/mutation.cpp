#include "core/mutation.hpp"

#include "core/walk.hpp"

namespace sexp {

void unlink(Tree& tree, NodeId node) noexcept {
    tree.in_text_order = false;
    Node& n = tree.node_mut(node);
    if (n.prev_sibling != NO_NODE)
        tree.node_mut(n.prev_sibling).next_sibling = n.next_sibling;
    else if (n.parent != NO_NODE)
        tree.node_mut(n.parent).first_child = n.next_sibling;
    if (n.next_sibling != NO_NODE)
        tree.node_mut(n.next_sibling).prev_sibling = n.prev_sibling;
    else if (n.parent != NO_NODE)
        tree.node_mut(n.parent).last_child = n.prev_sibling;
    if (n.parent != NO_NODE) {
        --tree.node_mut(n.parent).child_count;
        mark_edited(tree, n.parent);
    }
    n.parent = NO_NODE;
    n.prev_sibling = NO_NODE;
    n.next_sibling = NO_NODE;
}

namespace {

// Reads K and detaches it: the common first step of every attach.
Node& detach_for_attach(Tree& tree, NodeId child) noexcept {
    Node& k = tree.node_mut(child);
    if (k.parent != NO_NODE)
        unlink(tree, child);
    return k;
}

} // namespace

void append(Tree& tree, NodeId parent, NodeId child) noexcept {
    tree.in_text_order = false;
    Node& k = detach_for_attach(tree, child);
    Node& p = tree.node_mut(parent);
    k.parent = parent;
    k.prev_sibling = p.last_child;
    k.next_sibling = NO_NODE;
    if (p.last_child != NO_NODE)
        tree.node_mut(p.last_child).next_sibling = child;
    else
        p.first_child = child;
    p.last_child = child;
    ++p.child_count;
    mark_edited(tree, parent);
}

void prepend(Tree& tree, NodeId parent, NodeId child) noexcept {
    tree.in_text_order = false;
    Node& k = detach_for_attach(tree, child);
    Node& p = tree.node_mut(parent);
    k.parent = parent;
    k.prev_sibling = NO_NODE;
    k.next_sibling = p.first_child;
    if (p.first_child != NO_NODE)
        tree.node_mut(p.first_child).prev_sibling = child;
    else
        p.last_child = child;
    p.first_child = child;
    ++p.child_count;
    mark_edited(tree, parent);
}

void insert_after(Tree& tree, NodeId parent, NodeId after, NodeId child) noexcept {
    if (after == NO_NODE) {
        prepend(tree, parent, child);
        return;
    }
    tree.in_text_order = false;
    Node& k = detach_for_attach(tree, child);
    // Read A only now: detaching K may have changed A's next_sibling.
    Node& a = tree.node_mut(after);
    k.parent = parent;
    k.prev_sibling = after;
    k.next_sibling = a.next_sibling;
    if (a.next_sibling != NO_NODE)
        tree.node_mut(a.next_sibling).prev_sibling = child;
    else
        tree.node_mut(parent).last_child = child;
    a.next_sibling = child;
    ++tree.node_mut(parent).child_count;
    mark_edited(tree, parent);
}

void remove(Tree& tree, NodeId node) {
    tree.node(node); // faults on a vacant slot before anything changes
    // Count first, so that the only allocation (room on the free stack) happens before the
    // tree is touched: a failure then leaves it exactly as it was.
    std::size_t count = 0;
    Cursor c(node);
    do {
        tree.node(c.at);
        ++count;
    } while (c.step(tree.slab, true));
    tree.slab.reserve_free(count);
    unlink(tree, node); // ends the text order: slots fall vacant
    // Pre-order: `at` is freed before its children are visited; its links survive vacancy.
    c = Cursor(node);
    // A freed slot has no layout: the node that takes it next was not read from text.
    SpanArray* spans = tree.layout ? &tree.layout->spans : nullptr;
    for (bool more = true; more;) {
        NodeId at = c.at;
        more = c.step(tree.slab, true);
        tree.slab.remove(at);
        if (spans != nullptr && at < spans->size())
            (*spans)[at] = Span{};
    }
}

void remove_all(Tree& tree, std::span<const NodeId> nodes) {
    // Room on the free stack for all that goes, made once, so that no removal can fail after
    // the first has been done. The listed subtrees may overlap: their sizes summed bound what
    // is freed, and so do the occupied slots, where counting stops.
    const std::size_t occupied = tree.slab.live_count();
    std::size_t bound = 0;
    for (NodeId id : nodes) {
        tree.node(id); // faults on a vacant slot before anything changes
        for (Cursor c(id); bound < occupied;) {
            ++bound;
            if (!c.step(tree.slab, true))
                break;
        }
    }
    tree.slab.reserve_free(bound);
    for (NodeId id : nodes)
        if (!tree.slab.raw(id).is_vacant())
            remove(tree, id);
}

bool is_self_or_ancestor(const Tree& tree, NodeId node, NodeId target) noexcept {
    for (NodeId at = target; at != NO_NODE; at = tree.node(at).parent)
        if (at == node)
            return true;
    return false;
}

} // namespace sexp
