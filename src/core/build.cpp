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
    // Copies may have given the new nodes a layout; the slots go back without one.
    SpanArray* spans = tree_.layout ? &tree_.layout->spans : nullptr;
    for (NodeId top = first; top != NO_NODE;) {
        NodeId next_top = slab.raw(top).next_sibling; // read before the walk vacates `top`
        Cursor c(top);
        for (bool more = true; more;) {
            NodeId at = c.at;
            more = c.step(slab, true);
            slab.undo_insert(mark_, k++, at);
            if (spans != nullptr && at < spans->size())
                (*spans)[at] = Span{};
        }
        top = next_top;
    }
    slab.undo_to(mark_);
}

void Builder::copy(const Tree& from, bool own_text) {
    Slab& slab = tree_.slab;
    std::vector<std::pair<NodeId, NodeId>> pairs; // each copy's source, for its layout
    const bool layout = from.layout && tree_.layout;
    Cursor c(from.root);
    // `into_` is the copy of the parent of the cursor's node.
    for (bool more = true; more;) {
        const Node& s = from.node(c.at);
        NodeId m;
        if (s.is_list())
            m = slab.insert_unlinked(nullptr, 0);
        else if (s.text.is_inline())
            m = slab.insert_unlinked(s.text.view().data(), s.text.view().size());
        else
            m = slab.insert(Node::make(s.text.copy()));
        place(m, false);
        if (layout)
            pairs.emplace_back(c.at, m);
        if (s.first_child != NO_NODE) {
            into_ = m;
            c.down(s.first_child);
            continue;
        }
        more = c.next(from.slab, [&](NodeId) { into_ = slab.raw(into_).parent; });
    }
    if (layout)
        copy_layout(from, pairs, tree_, own_text);
}

void Builder::add(const BuildStep& step, std::span<const TreeCopy> copies) {
    if (step.is_atom())
        atom(step.text());
    else if (step.is_open())
        open();
    else if (step.is_close())
        close();
    else
        copy(copies[step.copy_index()].tree, copies[step.copy_index()].own_text);
}

void append_built(Tree& tree, NodeId parent, std::span<const BuildStep> steps,
                  std::span<const TreeCopy> copies) {
    Builder b(tree, parent);
    std::size_t count = 0;
    for (const BuildStep& s : steps)
        count += s.is_atom() || s.is_open();
    for (const TreeCopy& c : copies)
        count += c.tree.slab.live_count();
    b.reserve(count);
    for (const BuildStep& s : steps)
        b.add(s, copies);
    b.commit();
}

} // namespace sexp
