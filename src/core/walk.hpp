#pragma once

#include <cstring>
#include <span>
#include <string_view>

#include "core/tree.hpp"
#include "memory/hints.hpp"

namespace sexp {

// Walks over a subtree that need no stack: the parent and sibling links lead back up.

// The node after `at` in pre-order within the subtree under `top`, every child included (an
// atom's too), or NO_NODE when the walk is over. Reads raw records, whose links stay readable
// once marked vacant: removal frees nodes as it walks.
inline NodeId next_preorder(const Slab& slab, NodeId top, NodeId at) noexcept {
    const Node* n = &slab.raw(at);
    if (n->first_child != NO_NODE)
        return n->first_child;
    while (at != top) {
        if (n->next_sibling != NO_NODE)
            return n->next_sibling;
        at = n->parent;
        n = &slab.raw(at);
    }
    return NO_NODE;
}

// The node after `at` in text order within the subtree under `top`, or NO_NODE when the walk is
// over: pre-order, with an atom's own children left out, as its text leaves them out. If `at`
// was moved out from under `top` since it was reached, the walk goes on from its new place and
// ends where the climb runs out of parents.
inline NodeId next_in_text(const Tree& tree, NodeId top, NodeId at) noexcept {
    const Node* n = &tree.node(at);
    if (n->is_list() && n->first_child != NO_NODE)
        return n->first_child;
    while (at != top) {
        if (n->next_sibling != NO_NODE)
            return n->next_sibling;
        at = n->parent;
        if (at == NO_NODE)
            return NO_NODE;
        n = &tree.slab.raw(at); // the parent of an occupied node is occupied
    }
    return NO_NODE;
}

// The first node in text order within the subtree under `top` that `accept` takes, starting
// at `at` itself, or after it when `after` is set; NO_NODE when there is none. One tight loop
// over the links, each record read once: searches spend most of their time here.
template <typename Accept>
NodeId seek_in_text(const Tree& tree, NodeId top, NodeId at, bool after, Accept&& accept) {
    const Slab& slab = tree.slab;
    if (tree.in_text_order) {
        // The subtree is a run of slots: read them one after the other, no link to wait for.
        std::size_t end = subtree_end(tree, top);
        for (std::size_t i = after ? std::size_t{at} + 1 : at; i < end; ++i)
            if (accept(slab.raw(static_cast<NodeId>(i))))
                return static_cast<NodeId>(i);
        return NO_NODE;
    }
    const Node* n = &tree.node(at); // checked once; every link from an occupied node is
    if (!after && accept(*n))
        return at;
    for (;;) {
        if (n->is_list() && n->first_child != NO_NODE) {
            at = n->first_child;
        } else {
            for (;;) {
                if (at == top)
                    return NO_NODE;
                if (n->next_sibling != NO_NODE) {
                    at = n->next_sibling;
                    break;
                }
                at = n->parent;
                if (at == NO_NODE)
                    return NO_NODE; // `at` was moved out from under `top`
                n = &slab.raw(at);
            }
        }
        // Parsed trees lie in the slab in this walk's order: fetch a little ahead.
        prefetch(&slab.raw(at) + 16);
        n = &slab.raw(at);
        if (accept(*n))
            return at;
    }
}

// What a search asks of a node: that it is a list and, unless any list will do, that its first
// child is an atom of exactly the given bytes. A short text is held in an atom's own inline
// form (zero-padded, its length in the tag byte), so one 16-byte compare decides.
class HeadTest {
  public:
    static HeadTest any_list() noexcept {
        HeadTest h;
        h.any_ = true;
        return h;
    }
    // A text longer than INLINE_CAPACITY is not copied: it must outlive the test.
    static HeadTest headed_by(std::string_view text) noexcept {
        HeadTest h;
        if (text.size() <= INLINE_CAPACITY)
            h.short_ = AtomText::make_inline(text.data(), text.size());
        else
            h.long_ = text;
        return h;
    }

    bool matches(const Tree& tree, const Node& n) const noexcept {
        if (!n.is_list())
            return false;
        if (any_)
            return true;
        if (n.first_child == NO_NODE)
            return false;
        // The first child of an occupied list is occupied.
        const AtomText& head = tree.slab.raw(n.first_child).text;
        if (long_.empty()) // a list's or a long text's tag differs from every short text's
            return std::memcmp(&head, &short_, sizeof head) == 0;
        return head.is_heap() && head.view() == long_;
    }

  private:
    HeadTest() noexcept : short_(AtomText::list_marker()) {}
    bool any_ = false;
    AtomText short_;
    std::string_view long_;
};

// Calls `found(id)` for each node that `path` leads to from `start`, in text order: the first
// step picks among start's children, each later step among the children of a node that the
// step before picked. Stops early when `found` returns false. `cursor` has room for one id
// per step.
template <typename Found>
void find_path(const Tree& tree, NodeId start, std::span<const HeadTest> path, NodeId* cursor,
               Found&& found) {
    const std::size_t last = path.size() - 1;
    std::size_t level = 0;
    cursor[0] = tree.node(start).first_child;
    // cursor[0..level] is the way down: at each level, the next child to look at there.
    for (;;) {
        NodeId at = cursor[level];
        if (at == NO_NODE) {
            if (level == 0)
                return;
            --level;
            cursor[level] = tree.slab.raw(cursor[level]).next_sibling;
            continue;
        }
        const Node& n = tree.node(at);
        if (path[level].matches(tree, n)) {
            if (level == last) {
                if (!found(at))
                    return;
            } else {
                cursor[++level] = n.first_child;
                continue;
            }
        }
        cursor[level] = n.next_sibling;
    }
}

// Hands the subtree under `node` to `sink` as nested data, in text order: sink.atom(text) for
// an atom, sink.list(count) for a list whose `count` children come next (so a sink knows when
// a list is complete without being told). Returns false as soon as the sink does.
template <typename Sink> bool walk_data(const Tree& tree, NodeId node, Sink& sink) {
    if (tree.in_text_order) {
        // The subtree is a run of slots, already in the order wanted.
        std::size_t end = subtree_end(tree, node);
        for (std::size_t i = node; i < end; ++i) {
            const Node& n = tree.slab.raw(static_cast<NodeId>(i));
            if (!(n.is_list() ? sink.list(n.child_count) : sink.atom(n.text)))
                return false;
        }
        return true;
    }
    const std::size_t slots = tree.slab.slot_count();
    for (NodeId at = node; at != NO_NODE; at = next_in_text(tree, node, at)) {
        // Parsed trees lie in the slab in this walk's order: fetch a few nodes ahead.
        if (at + 8 < slots)
            prefetch(&tree.slab.raw(at + 8));
        const Node& n = tree.node(at);
        if (!(n.is_list() ? sink.list(n.child_count) : sink.atom(n.text)))
            return false;
    }
    return true;
}

} // namespace sexp
