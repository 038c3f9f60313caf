#include "core/render.hpp"

#include <algorithm>
#include <new>
#include <string>
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
    void bytes(const char* p, std::size_t n) {
        room(n);
        std::memcpy(out.cur, p, n);
        out.cur += n;
    }
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
        bytes(v.data(), v.size());
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

// The text of the subtree under the cursor's top, from the cursor's node on. The cursor climbs
// back up after a node without children is written, closing lists. BROKEN adds the line breaks
// of a broken layout: before a child that is a list, and before every child after one.
template <bool BROKEN, bool BUDGET> struct Walker {
    const Tree& tree;
    Emit emit;
    const Layout& layout;
    std::string& pad;
    const RenderBuffer* buffer; // with BUDGET: the walk pauses once it holds `budget` bytes
    std::size_t budget;
    bool hash_lines_ = hash_lines(tree.syntax);

    void newline(std::size_t depth) {
        std::size_t unit = layout.indent.size();
        if (unit != 0 && depth > (std::size_t(-1) / 2 - 16) / unit)
            throw std::bad_alloc();
        std::size_t n = depth * unit;
        while (pad.size() < n)
            pad.append(layout.indent);
        emit.room(n + 1);
        *emit.out.cur++ = '\n';
        std::memcpy(emit.out.cur, pad.data(), n);
        emit.out.cur += n;
    }

    // Returns true when the text is complete. An edit between two pieces can move the cursor's
    // node out from under the top: the climb then ends where its depth runs out.
    bool run(Cursor& saved, bool& broke_saved) {
        // Locals, which the text written through a char pointer cannot alias.
        Cursor c = saved;
        bool broke = broke_saved;
        struct Save {
            Cursor& to;
            const Cursor& from;
            bool& broke_to;
            const bool& broke_from;
            ~Save() {
                to = from;
                broke_to = broke_from;
            }
        } save{saved, c, broke_saved, broke};
        const Slab& slab = tree.slab;
        const std::size_t slots = slab.slot_count();
        for (;;) {
            if (BUDGET && buffer->size() >= budget)
                return false;
            const Node* n = &tree.node(c.at); // checked once: reached through a link
            // Parsed trees lie in the slab in this walk's order: fetch a few nodes ahead.
            if (c.at + 8 < slots)
                prefetch(&slab.raw(c.at + 8));
            if (n->is_list()) {
                emit.put('(');
                if (n->first_child != NO_NODE) {
                    c.down(n->first_child);
                    if constexpr (BROKEN) {
                        broke = tree.node(c.at).is_list();
                        if (broke)
                            newline(c.depth);
                    }
                    continue;
                }
                emit.put(')');
            } else {
                emit.atom(n->text);
            }
            bool closed = false; // the node before the next one is a list just closed
            if (!c.next(slab, [&](NodeId) {
                    emit.put(')');
                    closed = true;
                }))
                return true;
            // Every node on the way up was checked when it was visited.
            if constexpr (BROKEN) {
                const Node& next = tree.node(c.at);
                broke = broke || closed || n->is_list() || next.is_list();
                // An atom that starts a line with '#' would read as a comment where such lines
                // are comments: it stays on the line before.
                bool hash = hash_lines_ && next.is_atom() && next.text.view().substr(0, 1) == "#";
                if (broke && !hash)
                    newline(c.depth);
                else
                    emit.put(' ');
            } else {
                emit.put(' ');
            }
        }
    }
};

} // namespace

TextWalk::TextWalk(const Tree& tree, NodeId node, Layout layout)
    : cursor_(node), done_(renders_empty(tree, node)), layout_(layout) {
    if (layout.kept && tree.layout) {
        kept_.emplace(tree, node);
        done_ = false;
    }
}

bool TextWalk::write(const Tree& tree, TextOutput& out) {
    if (done_)
        return true;
    if (kept_)
        return done_ = kept_->write(tree, out, std::size_t(-1));
    done_ = layout_.broken ? run(Walker<true, false>{tree, {out}, layout_, pad_, nullptr, 0})
                           : run(Walker<false, false>{tree, {out}, layout_, pad_, nullptr, 0});
    return done_;
}

bool TextWalk::write(const Tree& tree, RenderBuffer& out, std::size_t budget) {
    if (done_)
        return true;
    if (kept_)
        return done_ = kept_->write(tree, out, budget);
    done_ = layout_.broken ? run(Walker<true, true>{tree, {out}, layout_, pad_, &out, budget})
                           : run(Walker<false, true>{tree, {out}, layout_, pad_, &out, budget});
    return done_;
}

void render_to(const Tree& tree, NodeId node, TextOutput& out, Layout layout) {
    TextWalk(tree, node, layout).write(tree, out);
}

void render(const Tree& tree, NodeId node, std::string& out, Layout layout) {
    RenderBuffer buf;
    render_to(tree, node, buf, layout);
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
