#include "core/render.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "memory/hints.hpp"

namespace sexp {

void RenderBuffer::grow(std::size_t need) {
    std::size_t used = static_cast<std::size_t>(cur - data_);
    std::size_t want = std::max(capacity_ * 2, used + need + 16);
    char* fresh = static_cast<char*>(allocate_slots(want)); // huge pages for big texts too
    if (used > 0)
        std::memcpy(fresh, data_, used);
    release_slots(data_, capacity_);
    data_ = fresh;
    capacity_ = want;
    cur = data_ + used;
    end = data_ + capacity_;
}

namespace {

// The text of the subtree under `node`, handed piece by piece to `sink` (open, close, space,
// atom). A pre-order walk along the links, so no stack is needed: `at` is the node to write
// next; after a node without children is written we climb, closing lists, to the next sibling.
template <typename Sink> void walk_text(const Tree& tree, NodeId node, Sink& sink) {
    const Slab& slab = tree.slab;
    const std::size_t slots = slab.slot_count();
    NodeId at = node;
    for (;;) {
        const Node* n = &tree.node(at); // checked once: reached through a link
        // Parsed trees lie in the slab in this walk's order: fetch a few nodes ahead.
        if (at + 8 < slots)
            prefetch(&slab.raw(at + 8));
        if (n->is_list()) {
            sink.open();
            if (n->first_child != NO_NODE) {
                at = n->first_child;
                continue;
            }
            sink.close();
        } else {
            sink.atom(n->text);
        }
        // Every node on the way up was checked when it was visited.
        while (at != node) {
            if (n->next_sibling != NO_NODE) {
                sink.space();
                at = n->next_sibling;
                break;
            }
            at = n->parent;
            n = &slab.raw(at);
            sink.close();
        }
        if (at == node)
            return;
    }
}

bool renders_empty(const Tree& tree, NodeId node) noexcept {
    return node == tree.root && tree.implicit_root && tree.node(node).first_child == NO_NODE;
}

// Writes pieces through the output's raw cursor, checking room once per piece; short texts
// go as one 16-byte block whose overrun the room check covers.
struct Emit {
    TextOutput& out;
    void room(std::size_t n) {
        if (static_cast<std::size_t>(out.end - out.cur) < n + 16) [[unlikely]]
            out.grow(n);
    }
    void put(char c) {
        room(1);
        *out.cur++ = c;
    }
    void open() { put('('); }
    void close() { put(')'); }
    void space() { put(' '); }
    void atom(const AtomText& t) {
        if (t.is_inline()) {
            room(INLINE_CAPACITY);
            std::uint64_t w[2];
            std::memcpy(w, &t, 16);
            std::memcpy(out.cur, w, 16);
            out.high |= w[0] | (w[1] & 0x00FFFFFFFFFFFFFFull); // the tag byte is not text
            out.cur += t.tag();
            return;
        }
        std::string_view v = t.view();
        room(v.size());
        std::memcpy(out.cur, v.data(), v.size());
        out.cur += v.size();
        std::size_t i = 0;
        for (; i + 8 <= v.size(); i += 8) {
            std::uint64_t word;
            std::memcpy(&word, v.data() + i, 8);
            out.high |= word;
        }
        for (; i < v.size(); ++i)
            out.high |= static_cast<unsigned char>(v[i]);
    }
};

} // namespace

void render_to(const Tree& tree, NodeId node, TextOutput& out) {
    if (renders_empty(tree, node))
        return;
    Emit emit{out};
    walk_text(tree, node, emit);
}

void render(const Tree& tree, NodeId node, std::string& out) {
    RenderBuffer buf;
    render_to(tree, node, buf);
    out.append(buf.view());
}

bool subtrees_equal(const Tree& left, NodeId left_node, const Tree& right, NodeId right_node) {
    std::vector<std::pair<NodeId, NodeId>> stack;
    stack.reserve(16);
    stack.emplace_back(left_node, right_node);
    // Every pair on the stack is still to be compared; a list pair pushes its children.
    while (!stack.empty()) {
        auto [l, r] = stack.back();
        stack.pop_back();
        const Node& ln = left.node(l);
        const Node& rn = right.node(r);
        if (ln.is_list()) {
            if (!rn.is_list() || ln.child_count != rn.child_count)
                return false;
            NodeId a = ln.first_child, b = rn.first_child;
            while (a != NO_NODE && b != NO_NODE) {
                const Node& an = left.node(a);
                const Node& bn = right.node(b);
                // Atom pairs are settled here; only list pairs wait on the stack.
                if (an.is_list() || bn.is_list())
                    stack.emplace_back(a, b);
                else if (an.text.view() != bn.text.view())
                    return false;
                a = an.next_sibling;
                b = bn.next_sibling;
            }
        } else if (!rn.is_atom() || ln.text.view() != rn.text.view()) {
            return false;
        }
    }
    return true;
}

} // namespace sexp
