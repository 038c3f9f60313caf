#include "core/build.hpp"

#include "core/mutation.hpp"
#include "core/walk.hpp"

namespace sexp {

Builder::Builder(Tree& tree, NodeId parent) noexcept
    : tree_(tree), parent_(parent), into_(parent), old_last_(tree.node(parent).last_child),
      old_count_(tree.node(parent).child_count), mark_(tree.slab.mark()),
      old_order_(tree.in_text_order) {
    // New nodes go to the end of the slots, in pre-order: the text order holds when they come
    // last in the text too, under a list that ends the tree.
    tree.in_text_order = tree.in_text_order && tree.slab.free_stack().empty() &&
                         tree.node(parent).is_list() &&
                         subtree_end(tree, parent) == tree.slab.slot_count();
}

// Takes the new last children of `parent_` off again and frees every node made since the mark,
// in the order they were made: pre-order of the new forms, which the walk repeats.
void Builder::undo() noexcept {
    Slab& slab = tree_.slab;
    Node& p = slab.raw(parent_);
    tree_.in_text_order = old_order_;
    NodeId first = old_last_ == NO_NODE ? p.first_child : slab.raw(old_last_).next_sibling;
    if (first == NO_NODE)
        return; // nothing was made
    p.last_child = old_last_;
    p.child_count = old_count_;
    if (old_last_ == NO_NODE)
        p.first_child = NO_NODE;
    else
        slab.raw(old_last_).next_sibling = NO_NODE;
    std::size_t k = 0;
    for (NodeId top = first; top != NO_NODE;) {
        NodeId next_top = slab.raw(top).next_sibling; // read before the walk vacates `top`
        Cursor c(top);
        for (bool more = true; more;) {
            NodeId at = c.at;
            more = c.step(slab, true);
            slab.undo_insert(mark_, k++, at);
        }
        top = next_top;
    }
    slab.undo_to(mark_);
}

void Builder::add(const BuildStep& step) {
    if (step.is_atom())
        atom(step.text());
    else if (step.is_open())
        open();
    else
        close();
}

void append_built(Tree& tree, NodeId parent, std::span<const BuildStep> steps) {
    Builder b(tree, parent);
    std::size_t count = 0;
    for (const BuildStep& s : steps)
        count += s.is_atom() || s.is_open();
    b.reserve(count);
    for (const BuildStep& s : steps)
        b.add(s);
    b.commit();
}

} // namespace sexp
