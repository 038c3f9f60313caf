#include "core/build.hpp"

#include "core/mutation.hpp"
#include "core/walk.hpp"

namespace sexp {

namespace {

// Takes the new last children of `parent` (those after `old_last`) off again and frees every
// node made since `mark`. They were made in pre-order of the new forms, which the walk repeats.
void undo_append(Tree& tree, NodeId parent, NodeId old_last, std::uint32_t old_count,
                 const Slab::Mark& mark) noexcept {
    Slab& slab = tree.slab;
    Node& p = slab.raw(parent);
    NodeId first = old_last == NO_NODE ? p.first_child : slab.raw(old_last).next_sibling;
    if (first == NO_NODE)
        return; // the first node could not be made
    p.last_child = old_last;
    p.child_count = old_count;
    if (old_last == NO_NODE)
        p.first_child = NO_NODE;
    else
        slab.raw(old_last).next_sibling = NO_NODE;
    std::size_t k = 0;
    for (NodeId top = first; top != NO_NODE;) {
        NodeId next_top = slab.raw(top).next_sibling; // read before the walk vacates `top`
        for (NodeId at = top; at != NO_NODE; at = next_preorder(slab, top, at))
            slab.undo_insert(mark, k++, at);
        top = next_top;
    }
    slab.undo_to(mark);
}

} // namespace

void append_built(Tree& tree, NodeId parent, std::span<const BuildStep> steps) {
    Slab& slab = tree.slab;
    const Node& p = tree.node(parent);
    const NodeId old_last = p.last_child;
    const std::uint32_t old_count = p.child_count;
    const Slab::Mark mark = slab.mark();
    std::size_t count = 0;
    for (const BuildStep& s : steps)
        count += s.is_atom() || s.is_open();
    try {
        slab.reserve_inserts(count);
        // Each node is linked as soon as it is made, so every node made so far hangs under
        // `parent` in pre-order, which is what undoing relies on.
        NodeId into = parent;
        for (const BuildStep& s : steps) {
            if (!s.is_atom() && !s.is_open()) {
                into = slab.raw(into).parent;
                continue;
            }
            Node node = !s.is_atom() ? Node::list()
                        : s.size <= INLINE_CAPACITY
                            ? Node::make(AtomText::make_inline(s.data, s.size))
                            : Node::atom(s.text());
            NodeId id = slab.insert(node);
            link_child(slab, into, id);
            if (s.is_open())
                into = id;
        }
    } catch (...) {
        undo_append(tree, parent, old_last, old_count, mark);
        throw;
    }
}

} // namespace sexp
