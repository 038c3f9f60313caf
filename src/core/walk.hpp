#pragma once

#include <cstring>
#include <span>
#include <string_view>

#include "core/tree.hpp"
#include "memory/hints.hpp"

namespace sexp {

// A place in a walk over the subtree under `top`, stepped along the links in pre-order, so no
// stack is needed: after a node whose children the walk does not enter, it climbs to the next
// sibling of the nearest node on the way up that has one. Every walk over a tree steps with
// it. The climb stops at `top`, and where the parents run out (a node moved away between
// steps of a walk that lets the tree be edited meanwhile). Records are read raw: a vacant one
// keeps its links, which removal relies on while it frees nodes as it walks.
struct Cursor {
    // Where `depth` is not known: after a scan of slots, which does not follow the links.
    static constexpr std::size_t UNKNOWN_DEPTH = std::size_t(-1) / 2;

    NodeId top;
    NodeId at;
    std::size_t depth = 0; // levels of `at` below `top`

    explicit Cursor(NodeId start) noexcept : top(start), at(start) {}

    // Into `first`, the first child of `at`.
    void down(NodeId first) noexcept {
        at = first;
        ++depth;
    }

    // Past `at` and everything below it. `up(id)` is called with each node the climb returns
    // to, whose children are then all done. False when the walk is over.
    template <typename Up> bool next(const Slab& slab, Up&& up) {
        const Node* n = &slab.raw(at);
        while (at != top && depth != 0) {
            if (n->next_sibling != NO_NODE) {
                at = n->next_sibling;
                return true;
            }
            if (n->parent == NO_NODE)
                return false;
            at = n->parent;
            --depth;
            up(at);
            n = &slab.raw(at);
        }
        return false;
    }
    bool next(const Slab& slab) noexcept {
        return next(slab, [](NodeId) noexcept {});
    }

    // One step in pre-order: into the children of `at` when `enter` and it has some.
    bool step(const Slab& slab, bool enter) noexcept {
        NodeId first = slab.raw(at).first_child;
        if (enter && first != NO_NODE) {
            down(first);
            return true;
        }
        return next(slab);
    }
};

// Which nodes a walk visits: in text order, an atom's own children are left out, as its text
// leaves them out; every node is the whole pre-order.
enum class Visit : std::uint8_t { TextOrder, Every };

// The node after `at` in pre-order within the subtree under `top`, every child included (an
// atom's too), or NO_NODE when the walk is over.
inline NodeId next_preorder(const Slab& slab, NodeId top, NodeId at) noexcept {
    Cursor c(top);
    c.at = at;
    c.depth = at == top ? 0 : Cursor::UNKNOWN_DEPTH;
    return c.step(slab, true) ? c.at : NO_NODE;
}

// Calls `visit(id, node)` for the nodes of the subtree under `c.top` in the order `which`
// says, from `c.at` on (after it when `after`), until `visit` returns false; leaves the cursor
// on that node and returns true, or returns false once the walk is over. Where the tree lies
// in its slots in text order, the subtree is a run of slots, read one after the other with no
// link to wait for; elsewhere the links are followed, and a walk may resume after the tree was
// edited (not shrunk) from where it stopped.
template <Visit WHICH, typename F>
bool visit_from(const Tree& tree, Cursor& c, bool after, F&& visit) {
    const Slab& slab = tree.slab;
    if (tree.in_text_order) {
        // No node hangs under an atom there, so both orders are the slot order.
        std::size_t end = subtree_end(tree, c.top);
        for (std::size_t i = after ? std::size_t{c.at} + 1 : c.at; i < end; ++i) {
            if (!visit(static_cast<NodeId>(i), slab.raw(static_cast<NodeId>(i)))) {
                c.at = static_cast<NodeId>(i);
                c.depth = i == c.top ? 0 : Cursor::UNKNOWN_DEPTH;
                return true;
            }
        }
        return false;
    }
    const std::size_t slots = slab.slot_count();
    const Node* n = &tree.node(c.at); // checked once; every link from an occupied node is
    if (after && !c.step(slab, WHICH == Visit::Every || n->is_list()))
        return false;
    for (;;) {
        // Parsed trees lie in the slab in this walk's order: fetch a little ahead.
        if (c.at + 16 < slots)
            prefetch(&slab.raw(c.at + 16));
        n = &slab.raw(c.at);
        if (!visit(c.at, *n))
            return true;
        if (!c.step(slab, WHICH == Visit::Every || n->is_list()))
            return false;
    }
}

// The first node of the subtree under `top` in the order `which` says that `accept` takes,
// starting at `at` itself, or after it when `after` is set; NO_NODE when there is none.
template <Visit WHICH = Visit::TextOrder, typename Accept>
NodeId seek_in_text(const Tree& tree, NodeId top, NodeId at, bool after, Accept&& accept) {
    Cursor c(top);
    c.at = at;
    c.depth = at == top ? 0 : Cursor::UNKNOWN_DEPTH;
    return visit_from<WHICH>(tree, c, after, [&](NodeId, const Node& n) { return !accept(n); })
               ? c.at
               : NO_NODE;
}

// The node after `at` in text order within the subtree under `top`, or NO_NODE.
inline NodeId next_in_text(const Tree& tree, NodeId top, NodeId at) noexcept {
    return seek_in_text(tree, top, at, true, [](const Node&) noexcept { return true; });
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
    Cursor c(node);
    return !visit_from<Visit::TextOrder>(tree, c, false, [&](NodeId, const Node& n) {
        return n.is_list() ? sink.list(n.child_count) : sink.atom(n.text);
    });
}

} // namespace sexp
